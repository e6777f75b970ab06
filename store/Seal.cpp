#include "store/Seal.h"

#include "base/Paths.h"
#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Statements.h"
#include "store/Stmt.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QScopeGuard>
#include <QSet>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace Seal {

const char* const kCreateRecordSeal =
    "CREATE TABLE IF NOT EXISTS RecordSeal (Seq INTEGER PRIMARY KEY AUTOINCREMENT, Machine_NO "
    "TEXT NOT NULL, Record_No TEXT NOT NULL, Date_Date TEXT NOT NULL, Time_Time TEXT NOT NULL, "
    "RowHash TEXT NOT NULL, PictureHash TEXT NOT NULL, SealedAt TEXT NOT NULL, PrevSeal TEXT NOT "
    "NULL, Seal TEXT NOT NULL, Late INTEGER NOT NULL DEFAULT 0, Deleted INTEGER NOT NULL DEFAULT "
    "0)";
const char* const kCreateAuditLog =
    "CREATE TABLE IF NOT EXISTS AuditLog (Seq INTEGER PRIMARY KEY AUTOINCREMENT, At TEXT NOT "
    "NULL, UserName TEXT NOT NULL, HostName TEXT NOT NULL, Program TEXT NOT NULL, Action TEXT NOT "
    "NULL, Device TEXT NOT NULL, Records TEXT NOT NULL, Outcome TEXT NOT NULL, PrevHash TEXT NOT "
    "NULL, Hash TEXT NOT NULL)";

namespace {

const char* const kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS RecordSeal_Device ON RecordSeal(Machine_NO,Seq)",
    ("CREATE INDEX IF NOT EXISTS RecordSeal_Key ON RecordSeal"
     "(Machine_NO,Record_No,Date_Date,Time_Time)"),
    "CREATE INDEX IF NOT EXISTS AuditLog_Device ON AuditLog(Device)",
};

// The 38 ValueInfo columns in table order, for a SELECT.
QByteArray valueColumns() {
    static const QByteArray columns = Statements::ValueInfoColumns().join(',').toUtf8();
    return columns;
}

// Whether the table exists; *readable (when given) is false when the schema cannot be read.
bool tableExists(SQLite::Database& db, const char* name, bool* readable = nullptr) {
    SQLite::Stmt st(db.Handle(), "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?");
    st.bind(1, QString::fromLatin1(name));
    const int rc = st.step();
    if (readable)
        *readable = st.ok() && (rc == SQLITE_ROW || rc == SQLITE_DONE);
    return rc == SQLITE_ROW;
}

QString latestSeal(SQLite::Database& db, const QString& device, bool* ok) {
    SQLite::Stmt st(db.Handle(),
                    "SELECT Seal FROM RecordSeal WHERE Machine_NO=? ORDER BY Seq DESC LIMIT 1");
    st.bind(1, device);
    const int rc = st.step();
    *ok = st.ok() && (rc == SQLITE_ROW || rc == SQLITE_DONE);
    return rc == SQLITE_ROW ? st.text(0) : QString();
}

// The row hash and Path of the current row of a statement selecting the 38 columns from
// column `first` on.
QString rowHashAt(const SQLite::Stmt& st, int first) {
    Sha256 hash;
    for (int c = 0; c < Statements::kValueColumnCount; ++c)
        AddField(hash, st.bytes(first + c));
    return Hex(hash.result());
}

const char* const kSealColumns = "Seq,Machine_NO,Record_No,Date_Date,Time_Time,RowHash,"
                                 "PictureHash,SealedAt,PrevSeal,Seal,Late,Deleted";

} // namespace

bool EnsureTables(SQLite::Database& db) {
    bool ok = db.ExecuteSQL(QString::fromLatin1(kCreateRecordSeal)) == SQLITE_OK;
    ok = db.ExecuteSQL(QString::fromLatin1(kCreateAuditLog)) == SQLITE_OK && ok;
    if (ok)
        for (const char* index : kIndexes)
            db.ExecuteSQL(QString::fromLatin1(index));
    return ok;
}

QString UtcNow() {
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

void AddField(Sha256& hash, QByteArrayView utf8) {
    char length[4];
    qToBigEndian<quint32>(quint32(utf8.size()), length);
    hash.addData(QByteArrayView(length, 4));
    hash.addData(utf8);
}

QString Hex(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex());
}

QString FileHash(const QString& path, bool* readable, qint64* bytes) {
    if (readable)
        *readable = false;
    if (path.isEmpty())
        return QString();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    // Read in 1 MiB blocks straight into the hash: no copy through a QIODevice buffer.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    static constexpr qsizetype kBlock = 1 << 20;
    thread_local QByteArray buffer(kBlock, Qt::Uninitialized);
    Sha256 hash;
    qint64 total = 0;
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), size_t(kBlock));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), got));
        total += got;
    }
    ::close(fd);
    if (readable)
        *readable = ok;
    if (bytes)
        *bytes += total;
    return ok ? Hex(hash.result()) : QString();
}

QString ComputeSeal(const Record& r) {
    Sha256 hash;
    for (const QString* f : {&r.machineNo, &r.recordNo, &r.date, &r.time, &r.rowHash,
                             &r.pictureHash, &r.sealedAt, &r.prevSeal})
        AddField(hash, f->toUtf8());
    AddField(hash, r.late ? "1" : "0");
    return Hex(hash.result());
}

bool SealRow(SQLite::Database& db, qint64 rowid, const QString& picRoot, bool late,
             const QString& knownFile, const QString& knownHash, bool onlyKnown, QString* device) {
    SQLite::Stmt row(db.Handle(),
                     QByteArray("SELECT " + valueColumns() + " FROM ValueInfo WHERE rowid=?"));
    row.bind(1, rowid);
    if (row.step() != SQLITE_ROW)
        return false;
    Record r;
    r.machineNo = row.text(0);
    r.recordNo = row.text(1);
    r.date = row.text(2);
    r.time = row.text(3);
    r.rowHash = rowHashAt(row, 0);
    const QString picture = ResolvePicturePath(picRoot, row.text(36));
    const bool known = !knownFile.isEmpty() && picture == knownFile;
    r.pictureHash = known ? knownHash : onlyKnown ? QString() : FileHash(picture);
    r.sealedAt = UtcNow();
    r.late = late;
    bool ok = false;
    r.prevSeal = latestSeal(db, r.machineNo, &ok);
    if (!ok)
        return false;
    r.seal = ComputeSeal(r);
    if (device)
        *device = r.machineNo;

    SQLite::Stmt insert(db.Handle(),
                        "INSERT INTO RecordSeal(Machine_NO,Record_No,Date_Date,Time_Time,RowHash,"
                        "PictureHash,SealedAt,PrevSeal,Seal,Late,Deleted)"
                        "VALUES(?,?,?,?,?,?,?,?,?,?,0)");
    insert.bind(1, r.machineNo).bind(2, r.recordNo).bind(3, r.date).bind(4, r.time);
    insert.bind(5, r.rowHash).bind(6, r.pictureHash).bind(7, r.sealedAt).bind(8, r.prevSeal);
    insert.bind(9, r.seal).bind(10, qint64(late ? 1 : 0));
    return insert.step() == SQLITE_DONE;
}

// ---- PendingSeals ----

PendingSeals::~PendingSeals() {
    Rollback();
    JoinHasher();
}

void PendingSeals::HashPictureAhead(const QByteArray& bytes) {
    JoinHasher();
    m_hasher = std::thread([this, bytes] { m_aheadHash = Sha256::hex(bytes); });
}

void PendingSeals::JoinHasher() {
    if (m_hasher.joinable())
        m_hasher.join();
}

bool PendingSeals::Begin() {
    m_rows.clear();
    m_waiting.clear();
    m_chains.clear();
    m_marked = false;
    m_savedFile.clear();
    JoinHasher();
    m_aheadHash.clear(); // a hash left from the previous reply never seals this one's picture
    // Made on the first record of a file; afterwards a look into the loaded schema suffices.
    if (sqlite3_table_column_metadata(m_db.Handle(), "main", "RecordSeal", "Seal", nullptr, nullptr,
                                      nullptr, nullptr, nullptr) != SQLITE_OK)
        EnsureTables(m_db);
    // IMMEDIATE takes the write lock now, so the device's latest seal read later in this
    // transaction stays the latest until the commit, whoever else writes the file.
    m_open = m_db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) == SQLITE_OK;
    return m_open;
}

void PendingSeals::AddLastInsert() {
    if (m_open)
        m_rows.append(sqlite3_last_insert_rowid(m_db.Handle()));
}

void PendingSeals::AddStoredUnsealed(const QString& machineNo, const QString& recordNo,
                                     const QString& date, const QString& time) {
    if (!m_open)
        return;
    SQLite::Stmt st(m_db.Handle(),
                    "SELECT v.rowid,v.Path FROM ValueInfo v WHERE v.Machine_NO=? AND v.Record_No=? "
                    "AND v.Date_Date=? AND v.Time_Time=? AND NOT EXISTS (SELECT 1 FROM RecordSeal "
                    "s WHERE s.Machine_NO=? AND s.Record_No=? AND s.Date_Date=? AND s.Time_Time=? "
                    "AND s.Deleted=0) LIMIT 1");
    st.bind(1, machineNo).bind(2, recordNo).bind(3, date).bind(4, time);
    st.bind(5, machineNo).bind(6, recordNo).bind(7, date).bind(8, time);
    if (st.step() == SQLITE_ROW)
        m_waiting.append({st.int64(0), st.text(1)});
}

bool PendingSeals::SealReply(const QString& picRoot) {
    if (!m_open)
        return false;
    JoinHasher();
    const QString knownHash = m_savedFile.isEmpty() ? QString() : m_aheadHash;
    const QString knownFile = knownHash.isEmpty() ? QString() : m_savedFile;
    QList<qint64> rows = m_rows;
    // A waiting record is sealed only with the picture written now, under the name it names.
    for (const auto& [rowid, path] : std::as_const(m_waiting))
        if (!knownFile.isEmpty() && ResolvePicturePath(picRoot, path) == knownFile)
            rows.append(rowid);
    for (qint64 rowid : std::as_const(rows)) {
        QString device;
        if (!SealRow(m_db, rowid, picRoot, false, knownFile, knownHash, true, &device))
            return false;
        const QString chain = Desk::SealChain(device);
        if (std::none_of(m_chains.cbegin(), m_chains.cend(),
                         [&](const auto& c) { return c.first == chain; }))
            m_chains.append({chain, Desk::LastInsert(m_db)});
    }
    m_rows.clear();
    m_waiting.clear();
    m_savedFile.clear();
    m_aheadHash.clear();
    if (m_marked) {
        m_marked = false;
        return m_db.ExecuteSQL(QStringLiteral("RELEASE reply")) == SQLITE_OK;
    }
    return true;
}

bool PendingSeals::Mark() {
    if (!m_open || m_marked)
        return false;
    m_chainsAtMark = m_chains.size();
    m_marked = m_db.ExecuteSQL(QStringLiteral("SAVEPOINT reply")) == SQLITE_OK;
    return m_marked;
}

void PendingSeals::Undo() {
    JoinHasher();
    m_rows.clear();
    m_waiting.clear();
    m_savedFile.clear();
    m_aheadHash.clear();
    if (!m_open || !m_marked)
        return;
    m_marked = false;
    m_chains.resize(m_chainsAtMark);
    // Back to the state before the reply; the transaction and the replies before it stay.
    if (m_db.ExecuteSQL(QStringLiteral("ROLLBACK TO reply")) != SQLITE_OK ||
        m_db.ExecuteSQL(QStringLiteral("RELEASE reply")) != SQLITE_OK)
        Rollback(); // nothing of the batch can be trusted then: its Commit fails
}

bool PendingSeals::Commit(const QString& picRoot) {
    if (!m_open)
        return false;
    if (!SealReply(picRoot)) {
        Rollback();
        return false;
    }
    m_signProblem.clear();
    if (!Desk::SignHeads(m_db, m_chains, m_program, false, &m_signProblem)) {
        Rollback();
        return false;
    }
    if (m_db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        Rollback();
        return false;
    }
    m_open = false;
    m_rows.clear();
    m_waiting.clear();
    m_chains.clear();
    return true;
}

void PendingSeals::Rollback() {
    if (m_open)
        m_db.ExecuteSQL(QStringLiteral("ROLLBACK"));
    m_open = false;
    m_marked = false;
    m_rows.clear();
    m_waiting.clear();
    m_chains.clear();
}

// ---- sealing afterwards, tombstones ----

int SealUnsealed(SQLite::Database& db, const QString& device, const QString& picRoot,
                 const QString& program) {
    if (!EnsureTables(db))
        return -1;
    QStringList devices;
    {
        SQLite::Stmt st(db.Handle(), "SELECT DISTINCT IFNULL(Machine_NO,'') FROM ValueInfo "
                                     "WHERE ?='' OR Machine_NO=? ORDER BY 1");
        st.bind(1, device).bind(2, device);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW)
            devices.append(st.text(0));
        if (rc != SQLITE_DONE)
            return -1;
    }
    int total = 0;
    for (const QString& dev : std::as_const(devices)) {
        if (db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK)
            return -1;
        QList<qint64> rows;
        SQLite::Stmt st(db.Handle(),
                        "SELECT v.rowid FROM ValueInfo v WHERE IFNULL(v.Machine_NO,'')=? AND NOT "
                        "EXISTS (SELECT 1 FROM RecordSeal s WHERE s.Machine_NO=IFNULL(v.Machine_NO,"
                        "'') AND s.Record_No=IFNULL(v.Record_No,'') AND s.Date_Date=IFNULL("
                        "v.Date_Date,'') AND s.Time_Time=IFNULL(v.Time_Time,'')) ORDER BY v.rowid");
        st.bind(1, dev);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW)
            rows.append(st.int64(0));
        bool ok = rc == SQLITE_DONE;
        qint64 firstSeal = 0;
        for (qint64 rowid : std::as_const(rows)) {
            if (!ok)
                break;
            ok = SealRow(db, rowid, picRoot, true);
            if (firstSeal == 0)
                firstSeal = Desk::LastInsert(db);
        }
        // The late seals are signed as written by this transaction: they seal rows as found,
        // which the audit entry and the Late mark in each seal say.
        if (ok && !rows.isEmpty())
            ok = Audit::AppendInTransaction(db, program, QStringLiteral("seal"), dev,
                                            QStringLiteral("%1 records").arg(rows.size()),
                                            QStringLiteral("sealed late")) &&
                 Desk::SignHeads(db,
                                 {{Desk::SealChain(dev), firstSeal},
                                  {QString::fromLatin1(Desk::kAuditChain), Desk::LastInsert(db)}},
                                 program);
        if (!ok || db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
            db.ExecuteSQL(QStringLiteral("ROLLBACK"));
            return -1;
        }
        total += int(rows.size());
    }
    return total;
}

bool Tombstone(SQLite::Database& db, const QString& machineNo, const QString& recordNo,
               const QString& date, const QString& time, const QString& program) {
    if (!EnsureTables(db) || db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK)
        return false;
    SQLite::Stmt st(db.Handle(), "SELECT Seq,Seal FROM RecordSeal WHERE Machine_NO=? AND "
                                 "Record_No=? AND Date_Date=? AND Time_Time=? AND Deleted=0 "
                                 "ORDER BY Seq DESC LIMIT 1");
    st.bind(1, machineNo).bind(2, recordNo).bind(3, date).bind(4, time);
    bool ok = st.step() == SQLITE_ROW;
    if (ok) {
        const qint64 seq = st.int64(0);
        const QString seal = st.text(1);
        SQLite::Stmt mark(db.Handle(), "UPDATE RecordSeal SET Deleted=1 WHERE Seq=?");
        mark.bind(1, seq);
        ok = mark.step() == SQLITE_DONE &&
             Audit::AppendInTransaction(
                 db, program, QStringLiteral("tombstone"), machineNo,
                 QStringLiteral("%1 %2 %3 seal %4").arg(recordNo, date, time, seal),
                 QStringLiteral("deleted by the program")) &&
             Desk::SignHeads(db, {{QString::fromLatin1(Desk::kAuditChain), Desk::LastInsert(db)}},
                             program);
    }
    if (!ok || db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

int RecordDeletion(SQLite::Database& db, const QString& picRoot, const QStringList& files,
                   const QString& what, const QString& program) {
    QSet<QString> gone;
    for (const QString& f : files)
        if (!f.isEmpty())
            gone.insert(QFileInfo(f).absoluteFilePath());
    struct Key {
        QString m, r, d, t;
    };
    QList<Key> hit;
    if (!gone.isEmpty() && tableExists(db, "ValueInfo")) {
        SQLite::Stmt st(db.Handle(), "SELECT Machine_NO,Record_No,Date_Date,Time_Time,Path FROM "
                                     "ValueInfo WHERE Path<>''");
        while (st.step() == SQLITE_ROW) {
            const QString file = ResolvePicturePath(picRoot, st.text(4));
            if (!file.isEmpty() && gone.contains(QFileInfo(file).absoluteFilePath()))
                hit.append(Key{st.text(0), st.text(1), st.text(2), st.text(3)});
        }
    }
    int count = 0;
    for (const Key& k : std::as_const(hit))
        count += Tombstone(db, k.m, k.r, k.d, k.t, program) ? 1 : 0;
    Audit::Append(db, program, QStringLiteral("delete"), QString(),
                  QStringLiteral("%1; %2 files").arg(what).arg(files.size()),
                  QStringLiteral("%1 sealed records marked deleted").arg(count));
    return count;
}

int SignUnsigned(SQLite::Database& db, const QString& device, const QString& program,
                 QString* problem) {
    if (!EnsureTables(db) || !Desk::EnsureTables(db) ||
        db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK)
        return -1;
    const QStringList chains = Desk::UnsignedChains(db, device);
    if (chains.isEmpty()) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        return 0;
    }
    Desk::Written written;
    for (const QString& chain : chains)
        written.append({chain, 0});
    if (!chains.contains(QString::fromLatin1(Desk::kAuditChain)))
        written.append({QString::fromLatin1(Desk::kAuditChain), 0});
    QString why;
    bool ok =
        Audit::AppendInTransaction(db, program, QStringLiteral("sign"), device,
                                   chains.join(QLatin1Char(' ')), QStringLiteral("signed later")) &&
        Desk::SignHeads(db, written, program, true, &why);
    if (!why.isEmpty()) {
        ok = false;
        if (problem)
            *problem = why;
    }
    if (!ok || db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        return -1;
    }
    return int(chains.size());
}

WitnessCheck FindWitness(SQLite::Database& db, const QString& device, const QString& value) {
    WitnessCheck check;
    const bool audit = device == QLatin1String(Desk::kAuditChain);
    if (!tableExists(db, audit ? "AuditLog" : "RecordSeal"))
        return check;
    SQLite::Stmt find(db.Handle(), audit ? "SELECT Seq FROM AuditLog WHERE Hash=?"
                                         : "SELECT Seq FROM RecordSeal WHERE Machine_NO=? AND "
                                           "Seal=?");
    if (audit)
        find.bind(1, value);
    else
        find.bind(1, device).bind(2, value);
    if (find.step() != SQLITE_ROW)
        return check;
    check.found = true;
    SQLite::Stmt after(db.Handle(), audit ? "SELECT COUNT(*) FROM AuditLog WHERE Seq>?"
                                          : "SELECT COUNT(*) FROM RecordSeal WHERE Seq>? AND "
                                            "Machine_NO=?");
    after.bind(1, find.int64(0));
    if (!audit)
        after.bind(2, device);
    if (after.step() == SQLITE_ROW)
        check.after = after.int64(0);
    return check;
}

// ---- verification ----

QString ProblemName(Problem p) {
    switch (p) {
    case Problem::RowChanged:
        return QStringLiteral("ROW-CHANGED");
    case Problem::PictureChanged:
        return QStringLiteral("PICTURE-CHANGED");
    case Problem::PictureMissing:
        return QStringLiteral("PICTURE-MISSING");
    case Problem::RowMissing:
        return QStringLiteral("ROW-MISSING");
    case Problem::ChainBroken:
        return QStringLiteral("CHAIN-BROKEN");
    case Problem::SignatureInvalid:
        return QStringLiteral("SIGNATURE-INVALID");
    case Problem::Unsigned:
        return QStringLiteral("UNSIGNED");
    case Problem::Resealed:
        return QStringLiteral("RESEALED");
    case Problem::KeyChanged:
        return QStringLiteral("KEY-CHANGED");
    case Problem::WitnessMissing:
        return QStringLiteral("WITNESS-MISSING");
    case Problem::Unsealed:
        break;
    }
    return QStringLiteral("UNSEALED");
}

namespace {

// The cells verify works with, kept as the stored UTF-8 bytes: nothing is converted to text
// unless it is reported.
struct RawSeal {
    qint64 seq = 0;
    QByteArray m, r, d, t, rowHash, pictureHash, sealedAt, prevSeal, seal;
    bool late = false;
    bool deleted = false;
};

struct RawRow {
    QByteArray key;    // Machine_NO, Record_No, Date_Date, Time_Time joined by 0x1F
    QByteArray digest; // SHA-256 of the row, raw
    QByteArray path;
    bool covered = false; // checked against a seal, or belonging to a reported seal
};

QByteArray rawKey(QByteArrayView m, QByteArrayView r, QByteArrayView d, QByteArrayView t) {
    QByteArray key;
    key.reserve(m.size() + r.size() + d.size() + t.size() + 3);
    key.append(m).append('\x1f').append(r).append('\x1f').append(d).append('\x1f').append(t);
    return key;
}

QByteArray computeRawSeal(Sha256& hash, const RawSeal& s) {
    hash.reset();
    for (const QByteArray* f :
         {&s.m, &s.r, &s.d, &s.t, &s.rowHash, &s.pictureHash, &s.sealedAt, &s.prevSeal})
        AddField(hash, *f);
    AddField(hash, s.late ? "1" : "0");
    return hash.result().toHex();
}

// The seals named by audited tombstone entries, with the Seq of the entry.
QHash<QByteArray, qint64> tombstonedSeals(SQLite::Database& db) {
    QHash<QByteArray, qint64> seals;
    SQLite::Stmt st(db.Handle(), "SELECT Seq,Records FROM AuditLog WHERE Action='tombstone'");
    while (st.step() == SQLITE_ROW) {
        const QByteArray records = st.bytes(1).toByteArray();
        const qsizetype at = records.lastIndexOf(" seal ");
        if (at >= 0)
            seals.insert(records.mid(at + 6), st.int64(0));
    }
    return seals;
}

// An audit row as the signature check needs it.
struct AuditRow {
    qint64 seq = 0;
    QByteArray hash;
    QString device, at;
};

Finding findingOf(const QByteArray& key, Problem p) {
    const QList<QByteArray> parts = key.split('\x1f');
    Finding f;
    f.device = QString::fromUtf8(parts.value(0));
    f.recordNo = QString::fromUtf8(parts.value(1));
    f.date = QString::fromUtf8(parts.value(2));
    f.time = QString::fromUtf8(parts.value(3));
    f.problem = p;
    return f;
}

// A picture to hash and the seal's value for it.
struct PictureJob {
    QByteArray key;
    QString file;
    QByteArray expected;
    int outcome = 0; // 0 same, 1 changed, 2 missing
    qint64 bytes = 0;
    bool unsignedSeal = false; // no valid signature covers its seal
};

// Hashes the pictures on as many threads as the machine has cores: reading and hashing one
// file overlaps with the next, so the check runs at the speed of the disk.
void hashPictures(QList<PictureJob>& jobs) {
    std::atomic<qsizetype> next{0};
    auto work = [&] {
        for (qsizetype i; (i = next.fetch_add(1)) < jobs.size();) {
            PictureJob& job = jobs[i];
            bool readable = false;
            const QString now = FileHash(job.file, &readable, &job.bytes);
            job.outcome = !readable ? 2 : now.toLatin1() != job.expected ? 1 : 0;
        }
    };
    const int threads = qBound(1, QThread::idealThreadCount(), 8);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads && jobs.size() > 16; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
}

} // namespace

VerifyResult Verify(SQLite::Database& db, const VerifyOptions& options) {
    VerifyResult result;
    if (!db.IsOpen()) {
        result.readable = false;
        result.error = QStringLiteral("the database is not open");
        return result;
    }
    bool schemaReadable = false;
    const bool haveSeals = tableExists(db, "RecordSeal", &schemaReadable);
    const bool haveValues = tableExists(db, "ValueInfo");
    if (!schemaReadable) {
        result.readable = false;
        result.error = QStringLiteral("the database cannot be read: ") +
                       QString::fromUtf8(sqlite3_errmsg(db.Handle()));
        return result;
    }
    Sha256 hash;

    // The stored rows, hashed as stored: on a second connection of their own while this one
    // checks the seals, so both halves of the work share the machine's cores.
    QList<RawRow> rows;
    QHash<QByteArray, QList<int>> rowsByKey;
    QString rowsError;
    auto loadRows = [&](sqlite3* handle) {
        Sha256 rowHash;
        SQLite::Stmt st(handle, QByteArray("SELECT " + valueColumns() +
                                           " FROM ValueInfo WHERE ?='' OR Machine_NO=?"));
        st.bind(1, options.device).bind(2, options.device);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            rowHash.reset();
            for (int c = 0; c < Statements::kValueColumnCount; ++c)
                AddField(rowHash, st.bytes(c));
            RawRow row{rawKey(st.bytes(0), st.bytes(1), st.bytes(2), st.bytes(3)), rowHash.result(),
                       st.bytes(36).toByteArray(), false};
            rowsByKey[row.key].append(int(rows.size()));
            rows.append(std::move(row));
        }
        if (!st.ok() || rc != SQLITE_DONE)
            rowsError = QStringLiteral("the records cannot be read: ") +
                        QString::fromUtf8(sqlite3_errmsg(handle));
    };
    SQLite::Database second;
    const char* file = sqlite3_db_filename(db.Handle(), "main");
    std::thread rowsThread;
    // For the marks alone (records) a file without seals has nothing to check: every row reads
    // as unsealed, so its rows are neither read nor hashed.
    if (haveValues && (haveSeals || !options.records)) {
        // Read-only whatever the first connection is: it only reads, and on a read-only copy
        // it must make no file either.
        if (file && *file &&
            second.Open(QString::fromUtf8(file), SQLite::Database::Access::ReadOnly) == SQLITE_OK)
            rowsThread = std::thread(loadRows, second.Handle());
        else
            loadRows(db.Handle());
    }
    // Joined before anything the thread uses goes away, on every way out.
    const auto joinRows = qScopeGuard([&] {
        if (rowsThread.joinable())
            rowsThread.join();
    });

    // Seals in the order they were made; each device's chain checked on the way.
    QList<RawSeal> seals;
    if (haveSeals) {
        SQLite::Stmt st(db.Handle(), QByteArray("SELECT ") + kSealColumns +
                                         " FROM RecordSeal WHERE ?='' OR Machine_NO=? "
                                         "ORDER BY Seq");
        st.bind(1, options.device).bind(2, options.device);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            RawSeal s;
            s.seq = st.int64(0);
            s.m = st.bytes(1).toByteArray();
            s.r = st.bytes(2).toByteArray();
            s.d = st.bytes(3).toByteArray();
            s.t = st.bytes(4).toByteArray();
            s.rowHash = st.bytes(5).toByteArray();
            s.pictureHash = st.bytes(6).toByteArray();
            s.sealedAt = st.bytes(7).toByteArray();
            s.prevSeal = st.bytes(8).toByteArray();
            s.seal = st.bytes(9).toByteArray();
            s.late = st.int64(10) != 0;
            s.deleted = st.int64(11) != 0;
            seals.append(std::move(s));
        }
        if (!st.ok() || rc != SQLITE_DONE) {
            result.readable = false;
            result.error = QStringLiteral("the seal table cannot be read: ") +
                           QString::fromUtf8(sqlite3_errmsg(db.Handle()));
            return result;
        }
    }
    QHash<QByteArray, QPair<QByteArray, QByteArray>> last; // device -> stored, computed seal
    QMap<QByteArray, int> heads;                           // device -> its latest seal
    QList<bool> sound(seals.size(), false);
    QHash<QByteArray, int> latest; // key -> index of its newest seal
    latest.reserve(seals.size());
    QHash<QByteArray, int> live; // key -> how many of its seals are not tombstones
    live.reserve(seals.size());
    QHash<QByteArray, int> lastIndex; // device -> index of its seal before the current one
    QList<int> brokenAfter;           // seals whose next link does not hold
    for (int i = 0; i < seals.size(); ++i) {
        const RawSeal& s = seals[i];
        const QByteArray computed = computeRawSeal(hash, s);
        const bool own = computed == s.seal;
        auto& before = last[s.m];
        // The link holds when the previous seal is named by its stored value, or by the value
        // its fields give (then only that seal was edited, and it is reported by itself).
        const bool link = s.prevSeal == before.first || s.prevSeal == before.second;
        const QByteArray key = rawKey(s.m, s.r, s.d, s.t);
        if (!own || !link)
            result.findings.append(findingOf(key, Problem::ChainBroken));
        const auto previous = lastIndex.constFind(s.m);
        if (!link && previous != lastIndex.cend())
            brokenAfter.append(*previous);
        lastIndex[s.m] = i;
        sound[i] = own;
        before = {s.seal, computed};
        heads[s.m] = i;
        latest[key] = i;
        if (!s.deleted)
            ++live[key];
    }

    if (rowsThread.joinable())
        rowsThread.join();
    if (!rowsError.isEmpty()) {
        result.readable = false;
        result.error = rowsError;
        return result;
    }

    // The audit trail's rows, for the signatures over its head.
    const bool haveAudit = tableExists(db, "AuditLog");
    QList<AuditRow> audit;
    if (haveAudit) {
        SQLite::Stmt st(db.Handle(), "SELECT Seq,Hash,Device,At FROM AuditLog ORDER BY Seq");
        while (st.step() == SQLITE_ROW)
            audit.append(AuditRow{st.int64(0), st.bytes(1).toByteArray(), st.text(2), st.text(3)});
    }
    // The signatures: which part of each chain a valid desk signature covers.
    const QString auditChain = QString::fromLatin1(Desk::kAuditChain);
    const Desk::Check signatures = Desk::CheckSignatures(
        db,
        [&](const QString& chain, qint64 seq, QByteArray* head) -> int {
            if (chain == auditChain) {
                const auto it =
                    std::lower_bound(audit.cbegin(), audit.cend(), seq,
                                     [](const AuditRow& a, qint64 q) { return a.seq < q; });
                if (it == audit.cend() || it->seq != seq)
                    return 0;
                *head = it->hash;
                return 1;
            }
            if (!chain.startsWith(QLatin1String("seal:")))
                return 0;
            const QByteArray device = chain.mid(5).toUtf8();
            if (!options.device.isEmpty() && device != options.device.toUtf8())
                return -1;
            const auto it = std::lower_bound(seals.cbegin(), seals.cend(), seq,
                                             [](const RawSeal& a, qint64 q) { return a.seq < q; });
            if (it == seals.cend() || it->seq != seq || it->m != device)
                return 0;
            *head = it->seal;
            return 1;
        },
        options.onlyKey);
    if (!signatures.readable) {
        result.readable = false;
        result.error = signatures.error;
        return result;
    }
    result.trusted = signatures.trusted;
    for (const Desk::Check::Issue& issue : signatures.issues) {
        Finding f;
        f.device =
            issue.chain.startsWith(QLatin1String("seal:")) ? issue.chain.mid(5) : issue.chain;
        f.recordNo = QStringLiteral("signature %1").arg(issue.signatureSeq);
        f.date = issue.signedAt.left(10);
        f.time = issue.signedAt.mid(11, 8);
        f.problem = issue.what == QLatin1String("KEY-CHANGED") ? Problem::KeyChanged
                                                               : Problem::SignatureInvalid;
        result.other.append(f);
    }
    // Whether a valid signature covers the seal; a chain with an invalid signature has been
    // reported as a whole and its seals are not listed one by one.
    QHash<QByteArray, QString> chainOf; // device -> its chain's name
    auto isSigned = [&](const RawSeal& s, bool* reported) {
        auto it = chainOf.find(s.m);
        if (it == chainOf.end())
            it = chainOf.insert(s.m, Desk::SealChain(QString::fromUtf8(s.m)));
        *reported = signatures.invalidChains.contains(*it);
        return signatures.Covers(*it, s.seq);
    };

    // Each record against its latest seal.
    const QHash<QByteArray, qint64> tombstones =
        haveAudit ? tombstonedSeals(db) : QHash<QByteArray, qint64>();
    QList<int> order = latest.values();
    std::sort(order.begin(), order.end());
    QList<PictureJob> pictures;
    QSet<qint64> forgedTombstones;
    for (int i : std::as_const(order)) {
        const RawSeal& s = seals[i];
        const QByteArray key = rawKey(s.m, s.r, s.d, s.t);
        const QList<int> matches = rowsByKey.value(key);
        for (int r : matches)
            rows[r].covered = true;
        RecordState* state = nullptr;
        if (options.records) {
            state = &result.records[QString::fromUtf8(key)];
            state->seal = QString::fromLatin1(s.seal);
            state->sealedAt = QString::fromUtf8(s.sealedAt);
            state->pictureHash = QString::fromLatin1(s.pictureHash);
            state->late = s.late;
            state->sealed = true;
            state->deleted = s.deleted;
        }
        if (live.value(key) > 1) {
            // A second live seal for one key: the record was sealed again over its first seal.
            result.findings.append(findingOf(key, Problem::Resealed));
            continue;
        }
        if (s.deleted) {
            // Deleted by the program only with its audit entry, and that entry signed.
            const auto entry = tombstones.constFind(s.seal);
            if (entry == tombstones.cend() || !signatures.Covers(auditChain, *entry)) {
                result.findings.append(findingOf(key, Problem::Resealed));
                if (entry != tombstones.cend())
                    forgedTombstones.insert(*entry); // reported with its record
            }
            continue;
        }
        if (!sound[i])
            continue; // reported as CHAIN-BROKEN; its content is not trusted
        if (matches.isEmpty()) {
            result.findings.append(findingOf(key, Problem::RowMissing));
            continue;
        }
        const QByteArray sealed = QByteArray::fromHex(s.rowHash);
        int match = -1;
        for (int r : matches)
            if (match < 0 && rows[r].digest == sealed)
                match = r;
        if (match < 0) {
            result.findings.append(findingOf(key, Problem::RowChanged));
            continue;
        }
        if (state)
            state->path = QString::fromUtf8(rows[match].path);
        // A second row with the same key came without a seal of its own.
        for (int r : matches)
            if (r != match && rows[r].digest != sealed)
                rows[r].covered = false;
        bool chainReported = false;
        const bool signedSeal = isSigned(s, &chainReported);
        const bool unsignedSeal = !signedSeal && !chainReported;
        if (options.pictures && !s.pictureHash.isEmpty()) {
            pictures.append(PictureJob{
                key, ResolvePicturePath(options.picRoot, QString::fromUtf8(rows[match].path)),
                s.pictureHash, 0, 0, unsignedSeal});
            continue;
        }
        if (unsignedSeal)
            result.findings.append(findingOf(key, Problem::Unsigned));
        else if (signedSeal)
            ++result.verified;
    }
    // Audit entries no valid signature covers (a chain with an invalid signature was reported
    // as a whole; a forged tombstone's entry with its record).
    if (!signatures.invalidChains.contains(auditChain))
        for (const AuditRow& a : std::as_const(audit))
            if (!signatures.Covers(auditChain, a.seq) && !forgedTombstones.contains(a.seq))
                result.other.append(Finding{a.device, QStringLiteral("audit %1").arg(a.seq),
                                            a.at.left(10), a.at.mid(11, 8), Problem::Unsigned});
    hashPictures(pictures);
    for (const PictureJob& job : std::as_const(pictures)) {
        result.pictureBytes += job.bytes;
        if (job.outcome == 0 && job.unsignedSeal)
            result.findings.append(findingOf(job.key, Problem::Unsigned));
        else if (job.outcome == 0)
            ++result.verified;
        else
            result.findings.append(findingOf(job.key, job.outcome == 2 ? Problem::PictureMissing
                                                                       : Problem::PictureChanged));
    }
    for (const RawRow& row : std::as_const(rows)) {
        // With records, a row whose key no seal names is left out of findings and records
        // alike: StatusOf reads a key it lacks as unsealed, and a list of a million unsealed
        // records would otherwise hold a finding and a state for each of them.
        if (!row.covered &&
            (!options.records || result.records.contains(QString::fromUtf8(row.key))))
            result.findings.append(findingOf(row.key, Problem::Unsealed));
    }
    if (options.records) {
        // Each record's first problem; then what verify reports for more than the record: its
        // chain's signature, and the link after its seal.
        for (const Finding& f : std::as_const(result.findings)) {
            RecordState& state = result.records[RecordKey(f.device, f.recordNo, f.date, f.time)];
            if (state.problem.isEmpty())
                state.problem = ProblemName(f.problem);
        }
        for (int i : std::as_const(order)) {
            const RawSeal& s = seals[i];
            bool reported = false;
            isSigned(s, &reported);
            RecordState& state = result.records[QString::fromUtf8(rawKey(s.m, s.r, s.d, s.t))];
            if (reported && state.problem.isEmpty())
                state.problem = ProblemName(Problem::SignatureInvalid);
        }
        for (int i : std::as_const(brokenAfter)) {
            const RawSeal& s = seals[i];
            RecordState& state = result.records[QString::fromUtf8(rawKey(s.m, s.r, s.d, s.t))];
            if (state.problem.isEmpty())
                state.problem = ProblemName(Problem::ChainBroken);
        }
    }

    std::stable_sort(result.findings.begin(), result.findings.end(),
                     [](const Finding& a, const Finding& b) {
                         if (a.device != b.device)
                             return a.device < b.device;
                         if (a.recordNo.size() != b.recordNo.size())
                             return a.recordNo.size() < b.recordNo.size();
                         return a.recordNo < b.recordNo;
                     });
    for (auto it = heads.cbegin(); it != heads.cend(); ++it) {
        const RawSeal& s = seals[it.value()];
        result.heads.append(VerifyResult::Head{QString::fromUtf8(s.m), s.seq,
                                               QString::fromLatin1(s.seal),
                                               QString::fromUtf8(s.sealedAt)});
    }
    return result;
}

QString RecordKey(const QString& machineNo, const QString& recordNo, const QString& date,
                  const QString& time) {
    const QChar sep(0x1F);
    return machineNo + sep + recordNo + sep + date + sep + time;
}

VerifyResult VerifyDevice(SQLite::Database& db, const QString& machineNo) {
    VerifyOptions options;
    options.device = machineNo;
    options.pictures = false;
    options.records = true;
    return Verify(db, options);
}

Status StatusOf(SQLite::Database& db, const VerifyResult& device, const QString& machineNo,
                const QString& recordNo, const QString& date, const QString& time,
                const QString& picRoot) {
    Status status;
    for (const VerifyResult::Head& h : device.heads)
        if (h.device == machineNo)
            status.head = h.seal;
    if (!device.trusted.isEmpty()) {
        status.deskFingerprint = device.trusted.last();
        for (const Desk::PublicKey& k : Desk::Keys(db))
            if (k.fingerprint == status.deskFingerprint)
                status.deskLabel = k.label;
    }
    if (!device.readable) {
        status.state = State::Changed;
        status.detail = device.error;
        return status;
    }
    const auto it = device.records.constFind(RecordKey(machineNo, recordNo, date, time));
    if (it == device.records.cend())
        return status; // neither a row nor a seal
    const RecordState& r = *it;
    status.seal = r.seal;
    status.sealedAt = r.sealedAt;
    status.late = r.late;
    if (!r.sealed || (r.deleted && r.problem.isEmpty())) {
        // No seal, or a tombstone the program made: a row with its key has none of its own.
        status.seal.clear();
        return status;
    }
    status.state = State::Changed;
    if (!r.problem.isEmpty()) {
        status.detail = r.problem;
        if (r.problem == ProblemName(Problem::PictureMissing))
            status.state = State::PictureMissing;
        return status;
    }
    if (!r.pictureHash.isEmpty()) {
        bool readable = false;
        const QString now = FileHash(ResolvePicturePath(picRoot, r.path), &readable);
        if (!readable) {
            status.state = State::PictureMissing;
            status.detail = ProblemName(Problem::PictureMissing);
            return status;
        }
        if (now != r.pictureHash) {
            status.detail = ProblemName(Problem::PictureChanged);
            return status;
        }
    }
    status.state = State::Verified;
    return status;
}

Status StatusOf(SQLite::Database& db, const QString& machineNo, const QString& recordNo,
                const QString& date, const QString& time, const QString& picRoot) {
    return StatusOf(db, VerifyDevice(db, machineNo), machineNo, recordNo, date, time, picRoot);
}

} // namespace Seal
