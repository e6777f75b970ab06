#pragma once
// The audit trail: an append-only table AuditLog of who did what to which device and with
// what outcome. Rows are chained like the seals:
//   Hash = SHA-256( field(At) field(UserName) field(HostName) field(Program) field(Action)
//                   field(Device) field(Records) field(Outcome) field(PrevHash) )
// with field() as in Seal.h and PrevHash the Hash of the row before (by Seq), "" for the
// first. At is UTC "yyyy-MM-ddTHH:mm:ss.zzzZ".
//
// Actions written by the program: connect, download, set-time, set-device-number,
// delete-device-files, export-xls, export-pdf, delete (the history page's hidden deletion),
// seal, tombstone, sign, desk-key, desk-label, instrument-set, instrument-log.
#include "store/SQLite.h"

#include <QList>
#include <QString>

namespace Audit {

// The program field of entries made from the window and from the command line.
inline const char* const kPage = "page";
inline const char* const kCli = "cli";

struct Entry {
    qint64 seq = 0;
    QString at, user, host, program, action, device, records, outcome, prevHash, hash;
};

QString ComputeHash(const Entry& e);
QString CurrentUser();
QString CurrentHost();

// Appends one entry in its own write transaction. False when it could not be written.
bool Append(SQLite::Database& db, const QString& program, const QString& action,
            const QString& device, const QString& records, const QString& outcome);
// The same inside a transaction the caller holds.
bool AppendInTransaction(SQLite::Database& db, const QString& program, const QString& action,
                         const QString& device, const QString& records, const QString& outcome);
// Opens the database file, appends, closes: for callers without an open connection.
bool AppendTo(const QString& databasePath, const QString& program, const QString& action,
              const QString& device, const QString& records, const QString& outcome);

// Entries in Seq order, of one device (empty: all) from a date on (empty: all; compared
// with At as text, so "2026-12-08" takes the whole day). ok is false when the table cannot
// be read.
QList<Entry> List(SQLite::Database& db, const QString& device, const QString& since, bool* ok);

// The Seq of every entry whose hash or link to the entry before does not hold.
struct ChainCheck {
    bool readable = true;
    QList<Entry> broken;
    qint64 lastSeq = 0;
    QString lastHash;
};
ChainCheck CheckChain(SQLite::Database& db);

} // namespace Audit
