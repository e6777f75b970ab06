#pragma once
// The register of instruments and their logs (calibrations, accuracy checks, repairs,
// certifications, notes), in two tables of their own beside the records:
//   Instrument     one row per device number: when it was first and last linked, its last
//                  download, and what the desk keeps about it (label, serial, model, location,
//                  status with its date, notes, due-date intervals).
//   InstrumentLog  append-only entries. An entry is never changed: a correction is a new
//                  entry naming the one it supersedes.
// Every change is audited in the same transaction: a register edit as "instrument-set", an
// entry as "instrument-log" whose Records field is "entry N" and whose Outcome is the entry's
// hash, so the signed audit trail vouches for every entry:
//   EntryHash = SHA-256( field(Id) field(Device) field(Kind) field(At) field(Technician)
//               field(StandardKind) field(Lot) field(Expiry) field(Target) field(Unit)
//               field(Measured) field(Tolerance) field(Result) field(Reason)
//               field(Attachment) field(AttachmentSha256) field(Supersedes) field(RecordedAt) )
// with field() as in Seal.h (numbers as decimal text, Supersedes "" when none).
#include "store/SQLite.h"

#include <QList>
#include <QString>

namespace Instruments {

struct Instrument {
    QString device, type, firstLink, lastLink, lastDownload;
    QString label, serial, model, location, status, statusDate, notes;
    int calibrationDays = 0; // 0: the [Global] default
    int accuracyDays = 0;
    qint64 records = 0;      // stored records of the device
    bool registered = false; // false: known from its records only
};

struct LogEntry {
    qint64 id = 0;
    QString device, kind, at, technician;
    QString standardKind, lot, expiry, target, unit;
    QString measured;                     // values separated by commas, as given
    QString tolerance;                    // "0.008" or "10%"
    QString result;                       // "pass", "fail" or "" (repair, certification, note)
    QString reason;                       // why it failed
    QString attachment, attachmentSha256; // relative to the data folder ("certs/<device>/...")
    qint64 supersedes = 0;
    QString recordedAt, hash;
    bool superseded = false; // a later entry supersedes this one
};

QString EntryHash(const LogEntry& e);

// Creates the two tables when missing; false when they cannot be made.
bool EnsureTables(SQLite::Database& db);

// A link to the device: registered on its first, last link noted on every one.
bool NoteLink(SQLite::Database& db, const QString& device, const QString& type);
// A download from the device ended.
bool NoteDownload(SQLite::Database& db, const QString& device);

// Every registered instrument and every device number with stored records, by device number.
// ok is false when the tables cannot be read. Nothing is written.
QList<Instrument> List(SQLite::Database& db, bool* ok);
// One instrument (registered or known from records); false when neither.
bool Find(SQLite::Database& db, const QString& device, Instrument* out);

// Writes the editable fields of `edited` (registering the device when needed) and audits it.
bool Update(SQLite::Database& db, const Instrument& edited, const QString& program, QString* error);

// Appends e (its id, recording time and hash are set here), audited and signed in one
// transaction. A supersedes naming no entry of the same device is refused.
bool AppendLog(SQLite::Database& db, LogEntry& e, const QString& program, QString* error);

// The device's entries (all devices when empty) by id, with superseded marked.
QList<LogEntry> Log(SQLite::Database& db, const QString& device, bool* ok);

// Entries whose hash does not match the audit entry made with them (or that have none), and
// audit entries naming an entry that is gone.
struct LogProblem {
    qint64 id = 0;
    QString device;
    QString state; // "LOG-CHANGED", "LOG-UNAUDITED" or "LOG-REMOVED"
    QString at;    // the entry's date and time, when it is there
};
QList<LogProblem> CheckLog(SQLite::Database& db, bool* ok);

} // namespace Instruments
