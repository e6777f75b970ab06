#include "store/Audit.h"

#include "store/DeskKey.h"
#include "store/Seal.h"
#include "store/Stmt.h"

#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

namespace Audit {

namespace {
const char* const kColumns =
    "Seq,At,UserName,HostName,Program,Action,Device,Records,Outcome,PrevHash,Hash";

Entry readEntry(const SQLite::Stmt& st) {
    Entry e;
    e.seq = st.int64(0);
    e.at = st.text(1);
    e.user = st.text(2);
    e.host = st.text(3);
    e.program = st.text(4);
    e.action = st.text(5);
    e.device = st.text(6);
    e.records = st.text(7);
    e.outcome = st.text(8);
    e.prevHash = st.text(9);
    e.hash = st.text(10);
    return e;
}
} // namespace

QString ComputeHash(const Entry& e) {
    Sha256 hash;
    for (const QString* f : {&e.at, &e.user, &e.host, &e.program, &e.action, &e.device, &e.records,
                             &e.outcome, &e.prevHash})
        Seal::AddField(hash, f->toUtf8());
    return Seal::Hex(hash.result());
}

QString CurrentUser() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

QString CurrentHost() {
    return QSysInfo::machineHostName();
}

bool AppendInTransaction(SQLite::Database& db, const QString& program, const QString& action,
                         const QString& device, const QString& records, const QString& outcome) {
    SQLite::Stmt last(db.Handle(), "SELECT Hash FROM AuditLog ORDER BY Seq DESC LIMIT 1");
    const int rc = last.step();
    if (!last.ok() || (rc != SQLITE_ROW && rc != SQLITE_DONE))
        return false;
    Entry e;
    e.at = Seal::UtcNow();
    e.user = CurrentUser();
    e.host = CurrentHost();
    e.program = program;
    e.action = action;
    e.device = device;
    e.records = records;
    e.outcome = outcome;
    e.prevHash = rc == SQLITE_ROW ? last.text(0) : QString();
    e.hash = ComputeHash(e);
    SQLite::Stmt insert(db.Handle(),
                        "INSERT INTO AuditLog(At,UserName,HostName,Program,Action,Device,Records,"
                        "Outcome,PrevHash,Hash) VALUES(?,?,?,?,?,?,?,?,?,?)");
    insert.bind(1, e.at).bind(2, e.user).bind(3, e.host).bind(4, e.program).bind(5, e.action);
    insert.bind(6, e.device).bind(7, e.records).bind(8, e.outcome).bind(9, e.prevHash);
    insert.bind(10, e.hash);
    return insert.step() == SQLITE_DONE;
}

bool Append(SQLite::Database& db, const QString& program, const QString& action,
            const QString& device, const QString& records, const QString& outcome) {
    if (!db.IsOpen() || !Seal::EnsureTables(db))
        return false;
    // IMMEDIATE: the last hash read below stays the last one until this entry is in.
    if (db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK)
        return false;
    if (!AppendInTransaction(db, program, action, device, records, outcome) ||
        !Desk::SignHeads(db, {{QString::fromLatin1(Desk::kAuditChain), Desk::LastInsert(db)}},
                         program) ||
        db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool AppendTo(const QString& databasePath, const QString& program, const QString& action,
              const QString& device, const QString& records, const QString& outcome) {
    // An export from a folder without brtx.db must not make one: the entry is then not written.
    SQLite::Database db;
    if (db.Open(databasePath, SQLite::Database::Access::Existing) != SQLITE_OK)
        return false;
    return Append(db, program, action, device, records, outcome);
}

QList<Entry> List(SQLite::Database& db, const QString& device, const QString& since, bool* ok) {
    QList<Entry> out;
    SQLite::Stmt exists(db.Handle(),
                        "SELECT 1 FROM sqlite_master WHERE type='table' AND name='AuditLog'");
    const int found = exists.step();
    if (found != SQLITE_ROW) {
        if (ok) // no table: nothing audited yet; an unreadable schema is a failure
            *ok = exists.ok() && found == SQLITE_DONE;
        return out;
    }
    SQLite::Stmt st(db.Handle(), QByteArray("SELECT ") + kColumns +
                                     " FROM AuditLog WHERE (?='' OR Device=?) AND At>=? "
                                     "ORDER BY Seq");
    st.bind(1, device).bind(2, device).bind(3, since);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        out.append(readEntry(st));
    if (ok)
        *ok = st.ok() && rc == SQLITE_DONE;
    return out;
}

ChainCheck CheckChain(SQLite::Database& db) {
    ChainCheck check;
    bool ok = false;
    const QList<Entry> entries = List(db, QString(), QString(), &ok);
    check.readable = ok;
    QString previous;
    QString previousComputed;
    for (const Entry& e : entries) {
        const QString computed = ComputeHash(e);
        // As with the seals, an entry whose own hash was edited is reported alone: the next
        // one may name either its stored or its computed hash.
        if (computed != e.hash || (e.prevHash != previous && e.prevHash != previousComputed))
            check.broken.append(e);
        previous = e.hash;
        previousComputed = computed;
        check.lastSeq = e.seq;
        check.lastHash = e.hash;
    }
    return check;
}

} // namespace Audit
