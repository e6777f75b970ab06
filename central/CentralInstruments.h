#pragma once
// Uploading this desk's register of instruments and its log of calibrations, accuracy checks,
// repairs, certifications and notes to the central store, after the records.
//
// The register: one row per desk and device with the latest values the desk keeps; a row
// that changed on the desk replaces the desk's row on the server, an unchanged one is not
// written. The log is append-only: entries the server lacks are inserted under this desk,
// each with its hash (the desk's signed audit trail names the same hash). An entry the server
// holds for this desk and entry number with other values, or one the desk no longer holds, is
// a conflict: reported, and neither side changed. Each part runs in a transaction of its own.
// The local database is only read.
#include <QString>
#include <QStringList>

namespace Central {

class PgConnection;

struct InstrumentSyncResult {
    bool ok = false;
    QString error;         // why it stopped (ok false)
    bool present = false;  // the desk keeps a register or a log at all
    qint64 register_ = 0;  // register rows written (new or changed)
    qint64 logEntries = 0; // log entries the server did not have
    QStringList conflicts; // one text per entry that differs from the server's copy
};

// Runs on an open connection whose tables are at this program's version. station: the desk
// the rows go under; device: only this device's rows (empty: all).
InstrumentSyncResult SyncInstruments(PgConnection& db, const QString& dbPath,
                                     const QString& station, const QString& device);

} // namespace Central
