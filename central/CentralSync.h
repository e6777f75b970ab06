#pragma once
// Uploading this desk's records to the central store: every record, title set, photograph,
// seal, audit entry, desk key and chain signature this desk's copy on the server lacks, then
// the register of instruments and the log entries (central/CentralInstruments.h). Rows
// are sent in batches, one transaction each, so a sync that is cut off leaves whole batches
// only and the next sync sends the rest. The server keeps one copy per desk: a login
// registered as a desk uploads under that desk's name, the tables' owner under Station. The
// same record with the same values and photograph from another desk corroborates this one;
// different values or photograph, or a seal that differs from this desk's earlier upload, is
// a conflict; neither side is changed. Before anything is sent, the chain heads the server
// witnessed at the last sync must still be in this desk's chains; after a sync the new heads
// are witnessed with the server's time. The local database is opened read-only.
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace Central {

struct SyncOptions {
    QString conninfo; // libpq connection string
    QString device;   // only this device's records, titles and seals; empty: all
    QString dbPath;   // empty: the program's brtx.db
    QString picRoot;  // empty: the program's pic folder
    QString station;  // empty: StationName() of the program folder's Language.ini
    int batchRecords = 1000;
    qint64 batchPictureBytes = 8 * 1024 * 1024; // photograph bytes per statement
};

struct SyncResult {
    bool ok = false;
    QString error;         // why it stopped (ok false)
    qint64 records = 0;    // records the server did not have
    qint64 pictures = 0;   // photographs the server did not have
    qint64 skipped = 0;    // records the server had already
    QStringList conflicts; // one text per record or log entry that differs from the server's

    bool instruments = false; // the desk keeps a register or log of instruments
    qint64 registerRows = 0;  // register rows the server did not have, or had with other values
    qint64 logEntries = 0;    // log entries the server did not have
    // The closing line: "synced: N records, N pictures, skipped: N".
    QString Summary() const;
    // "instruments: N register rows, N log entries" ("" when the desk keeps none).
    QString InstrumentSummary() const;
};

// stage: "records", "seals" or "audit"; done of total rows of that stage.
using SyncProgress = std::function<void(const QString& stage, qint64 done, qint64 total)>;

// Runs one sync. stop, when given, ends it between batches (ok false, "stopped").
SyncResult SyncToCentral(const SyncOptions& options, const SyncProgress& progress = {},
                         const std::atomic<bool>* stop = nullptr);

// A sync of one device's records to the store conninfo names, for the docking station: it
// returns "" when it worked, else why not.
std::function<QString(const QString& device)> DeviceSync(const QString& conninfo);

} // namespace Central
