#include "store/Instruments.h"

#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Seal.h"
#include "store/Stmt.h"

#include <QHash>
#include <QMap>
#include <QSet>

namespace Instruments {

namespace {

const char* const kCreateInstrument =
    "CREATE TABLE IF NOT EXISTS Instrument (DeviceID TEXT PRIMARY KEY, DeviceType TEXT, "
    "FirstLink TEXT, LastLink TEXT, LastDownload TEXT, Label TEXT, Serial TEXT, Model TEXT, "
    "Location TEXT, Status TEXT, StatusDate TEXT, Notes TEXT, CalibrationDays INTEGER, "
    "AccuracyDays INTEGER)";
const char* const kCreateLog =
    "CREATE TABLE IF NOT EXISTS InstrumentLog (Id INTEGER PRIMARY KEY AUTOINCREMENT, DeviceID "
    "TEXT NOT NULL, Kind TEXT NOT NULL, At TEXT NOT NULL, Technician TEXT, StandardKind TEXT, "
    "Lot TEXT, Expiry TEXT, Target TEXT, Unit TEXT, Measured TEXT, Tolerance TEXT, Result TEXT, "
    "Reason TEXT, Attachment TEXT, AttachmentSha256 TEXT, Supersedes INTEGER, RecordedAt TEXT "
    "NOT NULL, Hash TEXT NOT NULL)";
const char* const kLogColumns =
    "Id,DeviceID,Kind,At,Technician,StandardKind,Lot,Expiry,Target,Unit,Measured,Tolerance,"
    "Result,Reason,Attachment,AttachmentSha256,Supersedes,RecordedAt,Hash";

bool HasTable(SQLite::Database& db, const char* name) {
    SQLite::Stmt s(db.Handle(), "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?");
    s.bind(1, QString::fromLatin1(name));
    return s.step() == SQLITE_ROW;
}

bool Exec(SQLite::Database& db, const char* sql) {
    return db.ExecuteSQL(QString::fromLatin1(sql)) == SQLITE_OK;
}

// Runs body inside BEGIN IMMEDIATE .. COMMIT; rolls back when it or the commit fails.
template <typename Body> bool InWriteTransaction(SQLite::Database& db, Body body) {
    if (!Exec(db, "BEGIN IMMEDIATE"))
        return false;
    if (body() && Exec(db, "COMMIT"))
        return true;
    Exec(db, "ROLLBACK");
    return false;
}

Instrument ReadInstrument(const SQLite::Stmt& s) {
    Instrument i;
    i.device = s.text(0);
    i.type = s.text(1);
    i.firstLink = s.text(2);
    i.lastLink = s.text(3);
    i.lastDownload = s.text(4);
    i.label = s.text(5);
    i.serial = s.text(6);
    i.model = s.text(7);
    i.location = s.text(8);
    i.status = s.text(9);
    i.statusDate = s.text(10);
    i.notes = s.text(11);
    i.calibrationDays = int(s.int64(12));
    i.accuracyDays = int(s.int64(13));
    i.registered = s.int64(14) != 0;
    i.records = s.int64(15);
    return i;
}

// Registered instruments and devices with records, with their record counts; one device or
// all.
QList<Instrument> Select(SQLite::Database& db, const QString& device, bool* ok) {
    QList<Instrument> out;
    const bool instruments = HasTable(db, "Instrument");
    const bool records = HasTable(db, "ValueInfo");
    const QString counts =
        records ? QStringLiteral("SELECT Machine_NO AS D, count(*) AS N FROM ValueInfo GROUP BY "
                                 "Machine_NO")
                : QStringLiteral("SELECT NULL AS D, 0 AS N WHERE 0");
    const QString registered =
        instruments ? QStringLiteral("SELECT DeviceID,DeviceType,FirstLink,LastLink,LastDownload,"
                                     "Label,Serial,Model,Location,Status,StatusDate,Notes,"
                                     "CalibrationDays,AccuracyDays FROM Instrument")
                    : QStringLiteral("SELECT NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,"
                                     "NULL,NULL,NULL,NULL WHERE 0");
    // Every device of either side once: a full outer join of the two by device number.
    const QString sql =
        "WITH c(D,N) AS (" + counts +
        "), r(DeviceID,DeviceType,FirstLink,LastLink,LastDownload,Label,Serial,"
        "Model,Location,Status,StatusDate,Notes,CalibrationDays,AccuracyDays) AS (" +
        registered +
        "), ids AS (SELECT DeviceID AS D FROM r UNION SELECT D FROM c WHERE D "
        "IS NOT NULL) SELECT ids.D,r.DeviceType,r.FirstLink,r.LastLink,"
        "r.LastDownload,r.Label,r.Serial,r.Model,r.Location,r.Status,"
        "r.StatusDate,r.Notes,r.CalibrationDays,r.AccuracyDays,r.DeviceID IS NOT "
        "NULL,coalesce(c.N,0) FROM ids LEFT JOIN r ON r.DeviceID=ids.D LEFT "
        "JOIN c ON c.D=ids.D WHERE ?1='' OR ids.D=?1 ORDER BY ids.D";
    SQLite::Stmt s(db.Handle(), sql.toUtf8());
    s.bind(1, device);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out << ReadInstrument(s);
    if (ok)
        *ok = s.ok() && rc == SQLITE_DONE;
    return out;
}

// Inserts the device's register row when missing.
bool Register(SQLite::Database& db, const QString& device) {
    SQLite::Stmt s(db.Handle(), "INSERT OR IGNORE INTO Instrument(DeviceID) VALUES(?)");
    s.bind(1, device);
    return s.step() == SQLITE_DONE;
}

} // namespace

QString EntryHash(const LogEntry& e) {
    Sha256 hash;
    const QString id = QString::number(e.id);
    const QString supersedes = e.supersedes > 0 ? QString::number(e.supersedes) : QString();
    for (const QString* f :
         {&id, &e.device, &e.kind, &e.at, &e.technician, &e.standardKind, &e.lot, &e.expiry,
          &e.target, &e.unit, &e.measured, &e.tolerance, &e.result, &e.reason, &e.attachment,
          &e.attachmentSha256, &supersedes, &e.recordedAt})
        Seal::AddField(hash, f->toUtf8());
    return Seal::Hex(hash.result());
}

bool EnsureTables(SQLite::Database& db) {
    return db.IsOpen() && !db.IsReadOnly() && Seal::EnsureTables(db) &&
           Exec(db, kCreateInstrument) && Exec(db, kCreateLog);
}

bool NoteLink(SQLite::Database& db, const QString& device, const QString& type) {
    if (device.isEmpty() || !EnsureTables(db))
        return false;
    SQLite::Stmt s(db.Handle(),
                   "INSERT INTO Instrument(DeviceID,DeviceType,FirstLink,LastLink) "
                   "VALUES(?1,?2,?3,?3) ON CONFLICT(DeviceID) DO UPDATE SET LastLink=?3, "
                   "DeviceType=?2, FirstLink=coalesce(FirstLink,?3)");
    s.bind(1, device).bind(2, type).bind(3, Seal::UtcNow());
    return s.step() == SQLITE_DONE;
}

bool NoteDownload(SQLite::Database& db, const QString& device) {
    if (device.isEmpty() || !EnsureTables(db))
        return false;
    SQLite::Stmt s(db.Handle(), "INSERT INTO Instrument(DeviceID,LastDownload) VALUES(?1,?2) ON "
                                "CONFLICT(DeviceID) DO UPDATE SET LastDownload=?2");
    s.bind(1, device).bind(2, Seal::UtcNow());
    return s.step() == SQLITE_DONE;
}

QList<Instrument> List(SQLite::Database& db, bool* ok) {
    return Select(db, QString(), ok);
}

bool Find(SQLite::Database& db, const QString& device, Instrument* out) {
    if (device.isEmpty())
        return false;
    bool ok = false;
    const QList<Instrument> found = Select(db, device, &ok);
    if (!ok || found.isEmpty())
        return false;
    if (out)
        *out = found.first();
    return true;
}

bool Update(SQLite::Database& db, const Instrument& edited, const QString& program,
            QString* error) {
    if (edited.device.isEmpty() || !EnsureTables(db)) {
        if (error)
            *error = QStringLiteral("the register cannot be written");
        return false;
    }
    const bool ok = InWriteTransaction(db, [&] {
        if (!Register(db, edited.device))
            return false;
        SQLite::Stmt s(db.Handle(),
                       "UPDATE Instrument SET Label=?2,Serial=?3,Model=?4,Location=?5,Status=?6,"
                       "StatusDate=?7,Notes=?8,CalibrationDays=nullif(?9,0),"
                       "AccuracyDays=nullif(?10,0) WHERE DeviceID=?1");
        s.bind(1, edited.device).bind(2, edited.label).bind(3, edited.serial);
        s.bind(4, edited.model).bind(5, edited.location).bind(6, edited.status);
        s.bind(7, edited.statusDate).bind(8, edited.notes);
        s.bind(9, qint64(edited.calibrationDays)).bind(10, qint64(edited.accuracyDays));
        if (s.step() != SQLITE_DONE)
            return false;
        const QString what =
            QStringLiteral("label=%1; serial=%2; model=%3; location=%4; status=%5 %6; "
                           "calibration-days=%7; accuracy-days=%8")
                .arg(edited.label, edited.serial, edited.model, edited.location, edited.status,
                     edited.statusDate)
                .arg(edited.calibrationDays)
                .arg(edited.accuracyDays);
        return Audit::AppendInTransaction(db, program, QStringLiteral("instrument-set"),
                                          edited.device, what, QStringLiteral("ok")) &&
               Desk::SignHeads(db, {{QString::fromLatin1(Desk::kAuditChain), Desk::LastInsert(db)}},
                               program);
    });
    if (!ok && error)
        *error = QStringLiteral("the register cannot be written");
    return ok;
}

bool AppendLog(SQLite::Database& db, LogEntry& e, const QString& program, QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (e.device.isEmpty() || !EnsureTables(db))
        return fail(QStringLiteral("the log cannot be written"));
    QString refused;
    const bool ok = InWriteTransaction(db, [&] {
        if (e.supersedes > 0) {
            SQLite::Stmt s(db.Handle(), "SELECT 1 FROM InstrumentLog WHERE Id=? AND DeviceID=?");
            s.bind(1, e.supersedes).bind(2, e.device);
            if (s.step() != SQLITE_ROW) {
                refused =
                    QStringLiteral("entry %1 of %2 does not exist").arg(e.supersedes).arg(e.device);
                return false;
            }
        }
        if (!Register(db, e.device))
            return false;
        // The id is the next of the table's sequence: it is hashed with the entry.
        SQLite::Stmt next(db.Handle(), "SELECT coalesce((SELECT seq FROM sqlite_sequence WHERE "
                                       "name='InstrumentLog'),0)+1");
        if (next.step() != SQLITE_ROW)
            return false;
        e.id = next.int64(0);
        e.recordedAt = Seal::UtcNow();
        e.hash = EntryHash(e);
        SQLite::Stmt s(db.Handle(),
                       QByteArray("INSERT INTO InstrumentLog(") + kLogColumns +
                           ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,nullif(?,0),?,?)");
        s.bind(1, e.id).bind(2, e.device).bind(3, e.kind).bind(4, e.at).bind(5, e.technician);
        s.bind(6, e.standardKind).bind(7, e.lot).bind(8, e.expiry).bind(9, e.target);
        s.bind(10, e.unit).bind(11, e.measured).bind(12, e.tolerance).bind(13, e.result);
        s.bind(14, e.reason).bind(15, e.attachment).bind(16, e.attachmentSha256);
        s.bind(17, e.supersedes).bind(18, e.recordedAt).bind(19, e.hash);
        if (s.step() != SQLITE_DONE)
            return false;
        return Audit::AppendInTransaction(db, program, QStringLiteral("instrument-log"), e.device,
                                          QStringLiteral("entry %1").arg(e.id), e.hash) &&
               Desk::SignHeads(db, {{QString::fromLatin1(Desk::kAuditChain), Desk::LastInsert(db)}},
                               program);
    });
    if (!ok)
        return fail(refused.isEmpty() ? QStringLiteral("the log cannot be written") : refused);
    return true;
}

QList<LogEntry> Log(SQLite::Database& db, const QString& device, bool* ok) {
    QList<LogEntry> out;
    if (!HasTable(db, "InstrumentLog")) {
        if (ok)
            *ok = db.IsOpen();
        return out;
    }
    // Which entries are superseded is worked out here: a correlated look-up per entry has no
    // index to use and grew with the square of the log (a minute for 10,000 entries). An
    // entry is superseded only by one of its own device (AppendLog refuses any other), so one
    // device's rows suffice, and a row naming another device's entry supersedes nothing.
    SQLite::Stmt s(db.Handle(), QByteArray("SELECT ") + kLogColumns +
                                    " FROM InstrumentLog WHERE ?1='' OR DeviceID=?1 ORDER BY Id");
    s.bind(1, device);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        LogEntry e;
        e.id = s.int64(0);
        QString* fields[] = {
            &e.device,    &e.kind,   &e.at,     &e.technician, &e.standardKind,
            &e.lot,       &e.expiry, &e.target, &e.unit,       &e.measured,
            &e.tolerance, &e.result, &e.reason, &e.attachment, &e.attachmentSha256};
        for (int i = 0; i < 15; ++i)
            *fields[i] = s.text(i + 1);
        e.supersedes = s.int64(16);
        e.recordedAt = s.text(17);
        e.hash = s.text(18);
        out << e;
    }
    QSet<QPair<QString, qint64>> superseded;
    for (const LogEntry& e : std::as_const(out))
        if (e.supersedes > 0)
            superseded.insert({e.device, e.supersedes});
    for (LogEntry& e : out)
        e.superseded = superseded.contains({e.device, e.id});
    if (ok)
        *ok = s.ok() && rc == SQLITE_DONE;
    return out;
}

QList<LogProblem> CheckLog(SQLite::Database& db, bool* ok) {
    QList<LogProblem> problems;
    bool read = true;
    const QList<LogEntry> entries = Log(db, QString(), &read);
    bool auditRead = true;
    // The hash each "instrument-log" audit entry vouches for, by entry id.
    QMap<qint64, QPair<QString, QString>> vouched; // id -> (device, hash)
    for (const Audit::Entry& a : Audit::List(db, QString(), QString(), &auditRead)) {
        if (a.action != QLatin1String("instrument-log") ||
            !a.records.startsWith(QLatin1String("entry ")))
            continue;
        vouched.insert(a.records.mid(6).toLongLong(), {a.device, a.outcome});
    }
    if (ok)
        *ok = read && auditRead;
    QHash<qint64, bool> present;
    for (const LogEntry& e : entries) {
        present.insert(e.id, true);
        const auto v = vouched.constFind(e.id);
        if (v == vouched.constEnd())
            problems << LogProblem{e.id, e.device, QStringLiteral("LOG-UNAUDITED"), e.at};
        else if (EntryHash(e) != e.hash || v->second != e.hash || v->first != e.device)
            problems << LogProblem{e.id, e.device, QStringLiteral("LOG-CHANGED"), e.at};
    }
    for (auto v = vouched.constBegin(); v != vouched.constEnd(); ++v)
        if (!present.contains(v.key()))
            problems << LogProblem{v.key(), v->first, QStringLiteral("LOG-REMOVED"), QString()};
    return problems;
}

} // namespace Instruments
