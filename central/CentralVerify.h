#pragma once
// Checking the central store as a desk checks its own database: every desk's copy of a record
// against that desk's seal (row hash, photograph hash, the photograph's bytes, the seal's own
// hash), the desks' chain signatures against the key registered for each desk, the audit
// entries' hashes and signatures, the heads the server witnessed at each sync, the instruments'
// log entries (each against its hash and the hash its desk's audit entry names), and conflicts
// between desks (the same record key with different values or photographs). It only reads: a
// reader's login suffices, and everything is read in one snapshot.
//
// Which key a desk's signatures must carry: the one registered for it by the administrator
// (desks.key_fingerprint, also for a removed desk); for a station that is no registered desk
// (rows the tables' owner uploaded, or from before roles) every key that station uploaded.
//
// A seal counts as signed when a valid signature of its desk names the head of its device's
// chain at or after it: each seal names the one before it (PrevSeal) and the signed head
// commits to every link behind it.
#include "store/Seal.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

namespace Central {

class PgConnection;

struct VerifyOptions {
    QString device;       // empty: every device
    bool pictures = true; // false: rows, seals and chains only (the photographs' bytes unread)
    bool records = false; // fill VerifyReport::states
};

// One problem, in the line format of a desk's own verify with the desk added: a record's key
// and its problem ("ROW-CHANGED", ...), or for audit entries, signatures and witnesses the
// chain's device (or "audit"), "audit N", "signature N" or "witness N", date and time; for a
// log entry its device and "log N" ("LOG-CHANGED", "LOG-UNAUDITED", "LOG-REMOVED").
// A conflict names every desk holding the record, comma-separated.
struct VerifyLine {
    QString device, recordNo, date, time, problem, desk;
    QStringList Cells() const { return {device, recordNo, date, time, problem, desk}; }
};

// One record's state for a list or a report.
struct RecordCheck {
    QString problem;        // "" verified
    QString seal, sealedAt; // of the copy with the problem, else of one desk's copy
    bool late = false;      // sealed after it was stored
};

struct VerifyReport {
    bool readable = false; // false: the store could not be read (error says why)
    QString error;
    qint64 verified = 0;     // desk copies whose row, photograph and signed seal all hold
    QList<VerifyLine> lines; // by device, record number and desk
    QStringList keys;        // the fingerprints trusted, by desk
    // With VerifyOptions::records: per record key (Seal::RecordKey) the first problem any
    // desk's copy has, "CONFLICT" when desks differ, "" when every copy verified.
    QHash<QString, RecordCheck> states;
    qint64 Problems() const { return lines.size(); }
};

// A record's state as the list's mark and the PDF report show it.
Seal::Status StatusOf(const RecordCheck& check);

// Runs the check on an open connection (its time-outs and interrupt apply); stop, when set,
// ends it between steps with readable false.
VerifyReport VerifyCentral(PgConnection& db, const VerifyOptions& options,
                           const std::atomic<bool>* stop = nullptr);

} // namespace Central
