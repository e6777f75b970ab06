#include "central/CentralSync.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "central/CentralInstruments.h"
#include "central/CentralSchema.h"
#include "central/PgConnection.h"
#include "store/Sha256.h"
#include "store/Statements.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QVector>
#include <QtEndian>

#include <sqlite3.h>

namespace Central {

namespace {

constexpr int kKeyColumns = 4;
constexpr int kSealColumns = 11;  // Machine_NO .. Deleted of RecordSeal, without Seq
constexpr int kAuditColumns = 11; // Seq .. Hash of AuditLog

// One local row: texts, with NULL kept apart from "".
struct LocalRow {
    QVector<QString> cells;
    QVector<bool> nulls;
    PgParam Param(int i) const { return nulls[i] ? PgParam::Null() : PgParam::Text(cells[i]); }
    // The key columns are never NULL on the server.
    PgParam KeyParam(int i) const { return PgParam::Text(cells[i]); }
};

// The local database, opened read-only: a sync never changes it.
class LocalStore {
public:
    ~LocalStore() {
        if (m_db)
            sqlite3_close(m_db);
    }
    bool Open(const QString& path, QString* error) {
        if (!FileExists(path)) {
            *error = QStringLiteral("no database at %1").arg(path);
            return false;
        }
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY,
                            nullptr) != SQLITE_OK) {
            *error = QStringLiteral("cannot open %1: %2")
                         .arg(path, QString::fromUtf8(sqlite3_errmsg(m_db)));
            return false;
        }
        sqlite3_busy_timeout(m_db, 5000);
        return true;
    }
    bool HasTable(const char* name) {
        bool found = false;
        Query(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?"),
              {QString::fromLatin1(name)}, [&](const LocalRow&) {
                  found = true;
                  return false;
              });
        return found;
    }
    // Steps the statement, handing each row to sink (false from sink stops).
    bool Query(const QString& sql, const QStringList& binds,
               const std::function<bool(const LocalRow&)>& sink, QString* error = nullptr) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            if (error)
                *error = QString::fromUtf8(sqlite3_errmsg(m_db));
            return false;
        }
        QVector<QByteArray> keep;
        for (int i = 0; i < binds.size(); ++i) {
            keep.append(binds[i].toUtf8());
            sqlite3_bind_text(stmt, i + 1, keep.last().constData(), int(keep.last().size()),
                              SQLITE_STATIC);
        }
        int rc;
        const int cols = sqlite3_column_count(stmt);
        LocalRow row;
        row.cells.resize(cols);
        row.nulls.resize(cols);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            for (int c = 0; c < cols; ++c) {
                const unsigned char* text = sqlite3_column_text(stmt, c);
                row.nulls[c] = text == nullptr;
                row.cells[c] = text ? QString::fromUtf8(reinterpret_cast<const char*>(text),
                                                        sqlite3_column_bytes(stmt, c))
                                    : QString();
            }
            if (!sink(row)) {
                rc = SQLITE_DONE;
                break;
            }
        }
        if (rc != SQLITE_DONE && error)
            *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_finalize(stmt);
        return rc == SQLITE_DONE;
    }
    qint64 Count(const QString& sql, const QStringList& binds) {
        qint64 n = 0;
        Query(sql, binds, [&](const LocalRow& r) {
            n = r.cells.value(0).toLongLong();
            return false;
        });
        return n;
    }

    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

// A local statement stepped one row at a time, so the next batch can be read while the server
// works on the one before.
class LocalCursor {
public:
    LocalCursor() = default;
    LocalCursor(const LocalCursor&) = delete;
    LocalCursor& operator=(const LocalCursor&) = delete;
    ~LocalCursor() {
        if (m_stmt)
            sqlite3_finalize(m_stmt);
    }
    bool Open(LocalStore& store, const QString& sql, const QStringList& binds) {
        if (sqlite3_prepare_v2(store.Handle(), sql.toUtf8().constData(), -1, &m_stmt, nullptr) !=
            SQLITE_OK) {
            m_error = QString::fromUtf8(sqlite3_errmsg(store.Handle()));
            return false;
        }
        m_done = false;
        for (const QString& b : binds)
            m_keep.append(b.toUtf8());
        for (int i = 0; i < m_keep.size(); ++i)
            sqlite3_bind_text(m_stmt, i + 1, m_keep[i].constData(), int(m_keep[i].size()),
                              SQLITE_STATIC);
        m_columns = sqlite3_column_count(m_stmt);
        return true;
    }
    // The next row into row; false at the end, or on a failure (Error() is then not empty).
    bool Next(LocalRow& row) {
        if (m_done)
            return false;
        const int rc = sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW) {
            m_done = true;
            if (rc != SQLITE_DONE)
                m_error = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_stmt)));
            return false;
        }
        row.cells.resize(m_columns);
        row.nulls.resize(m_columns);
        for (int c = 0; c < m_columns; ++c) {
            const unsigned char* text = sqlite3_column_text(m_stmt, c);
            row.nulls[c] = text == nullptr;
            row.cells[c] = text ? QString::fromUtf8(reinterpret_cast<const char*>(text),
                                                    sqlite3_column_bytes(m_stmt, c))
                                : QString();
        }
        return true;
    }
    QString Error() const { return m_error; }

private:
    sqlite3_stmt* m_stmt = nullptr;
    QVector<QByteArray> m_keep;
    int m_columns = 0;
    bool m_done = true; // until opened
    QString m_error;
};

// The order of two texts' UTF-8 bytes (the local database's order of texts): UTF-16 code
// units compare alike but for surrogates, which stand for characters above every other unit.
int CompareAsUtf8(const QString& a, const QString& b) {
    const auto rank = [](char16_t u) {
        return u >= 0xD800 && u <= 0xDFFF ? int(u) + 0x2000 : u >= 0xE000 ? int(u) - 0x800 : int(u);
    };
    const qsizetype n = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i)
        if (a[i] != b[i])
            return rank(a[i].unicode()) - rank(b[i].unicode());
    return int(a.size() - b.size());
}

// Whether the record key of row a (its first four cells) comes after b's in the order of
// "ORDER BY Machine_NO, Record_No, Date_Date, Time_Time" (NULL first).
bool KeyAfter(const LocalRow& a, const LocalRow& b) {
    for (int c = 0; c < 4; ++c) {
        if (a.nulls[c] != b.nulls[c])
            return b.nulls[c];
        if (a.nulls[c])
            continue;
        if (const int d = CompareAsUtf8(a.cells[c], b.cells[c]))
            return d > 0;
    }
    return false;
}

// "($1,$2,...,$n)" for the row'th of rows of width columns, numbered from first.
QString Placeholders(int first, int width) {
    QString out = QStringLiteral("(");
    for (int i = 0; i < width; ++i) {
        if (i)
            out += ',';
        out += '$' + QString::number(first + i);
    }
    return out + ')';
}

// A batch as one text[] parameter per column, for "... FROM unnest($1::text[], ...)": the
// statement stays short whatever the batch size, so the server parses and plans it at once.
// The arrays travel in the server's binary form (each text with its length before it), which
// neither side has to quote or scan for quotes.
class ArrayColumns {
public:
    explicit ArrayColumns(int width) : m_columns(width) {}
    void Add(int column, const QString& value, bool null = false) {
        Column& c = m_columns[column];
        ++c.count;
        if (null) {
            c.nulls = true;
            AppendInt(c.data, -1);
            return;
        }
        const QByteArray utf8 = value.toUtf8();
        AppendInt(c.data, qint32(utf8.size()));
        c.data += utf8;
    }
    void Add(int column, const LocalRow& row, int cell, bool keepNull = true) {
        Add(column, row.cells[cell], keepNull && row.nulls[cell]);
    }
    QVector<PgParam> Params() const {
        constexpr qint32 kTextOid = 25;
        QVector<PgParam> out;
        for (const Column& c : m_columns) {
            // Dimensions, whether any element is NULL, the element type, then for the one
            // dimension its length and lower bound (none for an empty array).
            QByteArray a;
            a.reserve(20 + c.data.size());
            AppendInt(a, c.count ? 1 : 0);
            AppendInt(a, c.nulls ? 1 : 0);
            AppendInt(a, kTextOid);
            if (c.count) {
                AppendInt(a, c.count);
                AppendInt(a, 1);
            }
            a += c.data;
            out << PgParam::Bytes(a);
        }
        return out;
    }
    // "unnest($first::text[], ...) AS u(c1, ...)"
    QString Unnest(int first = 1) const {
        QStringList args, names;
        for (int i = 0; i < m_columns.size(); ++i) {
            args << QStringLiteral("$%1::text[]").arg(first + i);
            names << QStringLiteral("c%1").arg(i + 1);
        }
        return "unnest(" + args.join(',') + ") AS u(" + names.join(',') + ')';
    }

private:
    struct Column {
        QByteArray data; // each element: its length (-1: NULL) and its bytes
        qint32 count = 0;
        bool nulls = false;
    };
    static void AppendInt(QByteArray& out, qint32 v) {
        char b[4];
        qToBigEndian<qint32>(v, b);
        out.append(b, 4);
    }
    QVector<Column> m_columns;
};

// The join of a key table with u(c1..c4) of an ArrayColumns whose first four are the key.
QString KeyJoin(const char* table) {
    return QStringLiteral("%1.machine_no = u.c1 COLLATE \"C\" AND %1.record_no = u.c2 COLLATE "
                          "\"C\" AND %1.date_date = u.c3 COLLATE \"C\" AND %1.time_time = "
                          "u.c4 COLLATE \"C\"")
        .arg(QLatin1String(table));
}

// A record key as one text, from a local row's first four cells or a result row's first four.
QString KeyOf(const LocalRow& row) {
    return row.cells[0] + '\x1f' + row.cells[1] + '\x1f' + row.cells[2] + '\x1f' + row.cells[3];
}
QString KeyOf(const PgResult& r, int i) {
    return r.Text(i, 0) + '\x1f' + r.Text(i, 1) + '\x1f' + r.Text(i, 2) + '\x1f' + r.Text(i, 3);
}

bool IsRetryable(const QString& sqlState) {
    // A deadlock or a serialization failure between two desks: the batch can simply run again.
    return sqlState == QLatin1String("40P01") || sqlState == QLatin1String("40001");
}

// A batch of records made ready to send.
struct PreparedBatch {
    QVector<PgParam> keys;   // the key columns, for the look-up of what the server holds
    QVector<PgParam> values; // every row, for the insert when the server holds none of them
    bool hasValues = false;  // values were made
    QVector<QString> photos; // of each record, its photograph's file on this desk, or ""
    QVector<PgParam> seals;  // the seals that go with the batch
};

class Sync {
public:
    Sync(const SyncOptions& o, const SyncProgress& p, const std::atomic<bool>* stop)
        : m_opt(o), m_progress(p), m_stop(stop) {}

    SyncResult Run();

private:
    bool Stopped() const { return m_stop && m_stop->load(); }
    bool Fail(const QString& what) {
        m_result.error = what;
        return false;
    }
    bool ServerFail(const QString& stage, const QString& why) {
        if (!m_db.IsOpen())
            return Fail(QStringLiteral("the central store stopped answering while sending %1: %2; "
                                       "the batches sent before are kept, run sync again for "
                                       "the rest")
                            .arg(stage, why));
        return Fail(QStringLiteral("the central store refused the %1: %2").arg(stage, why));
    }
    // Runs a command as PgConnection::Command does, reading ahead (m_readAhead) meanwhile.
    bool Overlapped(const QString& sql, const QVector<PgParam>& params, QString* why,
                    qint64* affected = nullptr) {
        if (!(params.isEmpty() ? m_db.Send(sql, why) : m_db.Send(sql, params, false, why)))
            return false;
        if (m_readAhead)
            m_readAhead();
        return m_db.FinishCommand(why, affected);
    }
    // Runs body inside one transaction; a deadlock with another desk runs it again.
    bool InTransaction(const QString& stage, const std::function<bool(QString*)>& body);

    bool SyncTitles();
    bool SyncRecords();
    // The key columns and the whole rows of a batch of records, as statement parameters.
    PreparedBatch Prepare(const QVector<LocalRow>& batch, const QVector<LocalRow>& seals) const;
    QVector<QString> PhotosOnDesk(const QVector<LocalRow>& batch) const;
    QVector<PgParam> SealValues(const QVector<LocalRow>& batch) const;
    QVector<PgParam> RecordValues(const QVector<LocalRow>& batch,
                                  const QSet<QString>& leaveOut) const;
    bool SendRecordBatch(const QVector<LocalRow>& batch, const PreparedBatch& prepared,
                         QString* why);
    bool SendPictures(const QVector<LocalRow>& batch, const QVector<QString>& paths, QString* why,
                      qint64& sent);
    bool OtherDesks(const QVector<PgParam>& keys, QString* why);
    bool SendSealBatch(const QVector<LocalRow>& batch, const QVector<PgParam>& params,
                       QString* why);
    // The desk of this login and the key registered for it; a login that is neither a
    // registered desk nor the tables' owner is refused.
    bool WhichDesk();
    bool SyncKeys();
    // The newest row of each of this desk's chains: chain name -> (seq, hash).
    bool LocalHeads(QHash<QString, QPair<qint64, QString>>& heads, bool onlyOptionDevice);
    bool CheckWitnesses();
    bool Witness();
    bool SyncAudit();
    bool SendInstruments();
    // Which of the keys (the parameters of an ArrayColumns of the four key columns) table has
    // in this desk's copy, each with the value of extra (a column of table) when one is named.
    bool ServerKeys(const char* table, const QVector<PgParam>& keys, QHash<QString, QString>& have,
                    QString* why, const char* extra = nullptr);
    // Reads the local rows of sql into batch and hands every full batch, and the last one,
    // to send (which empties it). what names the rows in the error text.
    bool ReadInBatches(const QString& sql, const QStringList& binds, QVector<LocalRow>& batch,
                       const std::function<bool()>& send, const QString& what);

    SyncOptions m_opt;
    SyncProgress m_progress;
    const std::atomic<bool>* m_stop;
    PgConnection m_db;
    LocalStore m_local;
    SyncResult m_result;
    int m_pathColumn = -1;
    qint64 m_pendingRecords = 0; // of the batch in its transaction
    qint64 m_pendingPictures = 0;
    QStringList m_pendingConflicts;
    QStringList m_pendingSealConflicts;
    bool m_expectNew = true; // the server held none of the last batch's records
    // Reads the next batch while the server works on a statement of this one (set while a
    // batch of records is in its transaction).
    std::function<void()> m_readAhead;
    QString m_deskKey; // the fingerprint registered for this desk; empty for the owner
};

bool Sync::InTransaction(const QString& stage, const std::function<bool(QString*)>& body) {
    for (int attempt = 0;; ++attempt) {
        QString why;
        if (!m_db.Command(QStringLiteral("BEGIN"), &why))
            return ServerFail(stage, why);
        if (body(&why) && Overlapped(QStringLiteral("COMMIT"), {}, &why))
            return true;
        const QString state = m_db.LastSqlState();
        m_db.Command(QStringLiteral("ROLLBACK"), nullptr);
        if (attempt < 3 && m_db.IsOpen() && IsRetryable(state))
            continue;
        return ServerFail(stage, why);
    }
}

bool Sync::SyncTitles() {
    QVector<LocalRow> rows;
    QString sql = QStringLiteral("SELECT DeviceID");
    for (int i = 1; i <= Statements::kTitleCount; ++i)
        sql += QStringLiteral(",title%1").arg(i);
    sql += QStringLiteral(",titleindex FROM TitleInfo");
    QStringList binds;
    if (!m_opt.device.isEmpty()) {
        sql += QStringLiteral(" WHERE DeviceID=?");
        binds << m_opt.device;
    }
    sql += QStringLiteral(" ORDER BY DeviceID");
    if (!m_local.HasTable("TitleInfo"))
        return true;
    QString error;
    if (!m_local.Query(
            sql, binds,
            [&](const LocalRow& r) {
                if (!r.nulls[0])
                    rows.append(r);
                return true;
            },
            &error))
        return Fail(QStringLiteral("cannot read the local titles: %1").arg(error));
    if (rows.isEmpty())
        return true;
    const int width = Statements::kTitleCount + 3;
    QString insert = QStringLiteral("INSERT INTO devices (device_id");
    for (int i = 1; i <= Statements::kTitleCount; ++i)
        insert += QStringLiteral(",title%1").arg(i);
    insert += QStringLiteral(",titleindex,station) VALUES ");
    QVector<PgParam> params;
    for (int r = 0; r < rows.size(); ++r) {
        insert += (r ? "," : "") + Placeholders(int(params.size()) + 1, width);
        for (int c = 0; c < width - 1; ++c)
            params << rows[r].Param(c);
        params << PgParam::Text(m_opt.station);
    }
    insert += QStringLiteral(" ON CONFLICT DO NOTHING");
    return InTransaction(QStringLiteral("title sets"),
                         [&](QString* why) { return m_db.Command(insert, params, why); });
}

QVector<QString> Sync::PhotosOnDesk(const QVector<LocalRow>& batch) const {
    // A Path that leaves the picture folder names nothing to send.
    QVector<QString> paths(batch.size());
    for (int i = 0; i < batch.size(); ++i) {
        if (batch[i].cells[m_pathColumn].isEmpty())
            continue;
        const QString path = ResolvePicturePath(m_opt.picRoot, batch[i].cells[m_pathColumn]);
        if (!path.isEmpty() && FileExists(path))
            paths[i] = path;
    }
    return paths;
}

bool Sync::SendPictures(const QVector<LocalRow>& batch, const QVector<QString>& paths, QString* why,
                        qint64& sent) {
    // The batch's records whose photograph is on this desk, then which of them the server
    // has: a desk without its photographs asks the server nothing.
    QVector<int> named;
    for (int i = 0; i < batch.size(); ++i)
        if (!paths[i].isEmpty())
            named << i;
    if (named.isEmpty())
        return true;
    ArrayColumns keys(kKeyColumns);
    for (int i : named)
        for (int c = 0; c < kKeyColumns; ++c)
            keys.Add(c, batch[i], c, false);
    QHash<QString, QString> present;
    if (!ServerKeys("pictures", keys.Params(), present, why))
        return false;
    QVector<PgParam> params;

    const QString head = QStringLiteral("INSERT INTO pictures (machine_no, record_no, date_date, "
                                        "time_time, path, sha256, bytes, station) VALUES ");
    QString insert = head;
    params.clear();
    qint64 bytes = 0;
    int rows = 0;
    auto flush = [&]() -> bool {
        if (rows == 0)
            return true;
        qint64 n = 0;
        if (!m_db.Command(insert + QStringLiteral(" ON CONFLICT DO NOTHING"), params, why, &n))
            return false;
        sent += n;
        insert = head;
        params.clear();
        bytes = 0;
        rows = 0;
        return true;
    };
    for (int i : named) {
        const LocalRow& row = batch[i];
        if (present.contains(KeyOf(row)))
            continue;
        QFile file(paths[i]);
        if (!file.open(QIODevice::ReadOnly))
            continue; // the photograph is not on this desk
        const QByteArray data = file.readAll();
        if (data.isEmpty())
            continue;
        insert += (rows ? "," : "") + Placeholders(int(params.size()) + 1, 8);
        for (int c = 0; c < kKeyColumns; ++c)
            params << row.KeyParam(c);
        params << row.Param(m_pathColumn) << PgParam::Text(Sha256::hex(data))
               << PgParam::Bytes(data) << PgParam::Text(m_opt.station);
        bytes += data.size();
        ++rows;
        if (bytes >= m_opt.batchPictureBytes && !flush())
            return false;
    }
    return flush();
}

bool Sync::ServerKeys(const char* table, const QVector<PgParam>& keys,
                      QHash<QString, QString>& have, QString* why, const char* extra) {
    const QString t = QLatin1String(table);
    QString sql = QStringLiteral("SELECT t.machine_no, t.record_no, t.date_date, t.time_time");
    if (extra)
        sql += QStringLiteral(", t.") + QLatin1String(extra);
    // The desk is a column of the answer, not a condition of the join: a condition on the
    // station alone (the last column of the key) would let the planner read the whole key
    // index for it, once per batch, instead of one probe per key.
    sql += QStringLiteral(", t.station = $%1 FROM ").arg(kKeyColumns + 1) +
           ArrayColumns(kKeyColumns).Unnest() + " JOIN " + t + " t ON " + KeyJoin("t");
    QVector<PgParam> params = keys;
    params << PgParam::Text(m_opt.station);
    const PgResult result = m_db.Exec(sql, params);
    if (!result.Ok()) {
        *why = result.Error();
        return false;
    }
    have.clear();
    const int mine = result.Columns() - 1;
    for (int i = 0; i < result.Rows(); ++i)
        if (result.View(i, mine) == "t")
            have.insert(KeyOf(result, i), extra ? result.Text(i, 4) : QString());
    return true;
}

PreparedBatch Sync::Prepare(const QVector<LocalRow>& batch, const QVector<LocalRow>& seals) const {
    PreparedBatch out;
    out.photos = PhotosOnDesk(batch);
    out.seals = SealValues(seals);
    ArrayColumns keys(kKeyColumns);
    for (const LocalRow& row : batch)
        for (int c = 0; c < kKeyColumns; ++c)
            keys.Add(c, row, c, false);
    out.keys = keys.Params();
    // The rows are made ahead while batches go to the server whole; once the server holds
    // records of a batch (a sync again), they are made for what it lacks only.
    if (m_expectNew) {
        out.values = RecordValues(batch, {});
        out.hasValues = true;
    }
    return out;
}

QVector<PgParam> Sync::RecordValues(const QVector<LocalRow>& batch,
                                    const QSet<QString>& leaveOut) const {
    const int width = int(Statements::ValueInfoColumns().size()) + 1;
    ArrayColumns values(width);
    for (const LocalRow& row : batch) {
        if (!leaveOut.isEmpty() && leaveOut.contains(KeyOf(row)))
            continue;
        for (int c = 0; c < width - 1; ++c)
            values.Add(c, row, c, c >= kKeyColumns); // the key is never NULL on the server
        values.Add(width - 1, m_opt.station);
    }
    return values.Params();
}

bool Sync::SendRecordBatch(const QVector<LocalRow>& batch, const PreparedBatch& prepared,
                           QString* why) {
    m_pendingConflicts.clear();
    // Which of the batch the server has already: asking costs the keys only, so a sync with
    // little new (the usual one after a download) sends little.
    // Every desk's copies of these keys at once: this desk's tell what to send, another
    // desk's what to compare (a desk alone pays for nothing more than the look-up).
    QVector<PgParam> params = prepared.keys;
    params << PgParam::Text(m_opt.station);
    const PgResult held = m_db.Exec(
        "SELECT t.machine_no, t.record_no, t.date_date, t.time_time, t.station = $5 FROM " +
            ArrayColumns(kKeyColumns).Unnest() + " JOIN records t ON " + KeyJoin("t"),
        params);
    if (!held.Ok()) {
        *why = held.Error();
        return false;
    }
    QSet<QString> present, elsewhere;
    for (int i = 0; i < held.Rows(); ++i)
        (held.Text(i, 4) == QLatin1String("t") ? present : elsewhere).insert(KeyOf(held, i));
    ArrayColumns shared(kKeyColumns);
    for (const LocalRow& row : batch)
        if (elsewhere.contains(KeyOf(row)))
            for (int c = 0; c < kKeyColumns; ++c)
                shared.Add(c, row, c, false);

    const QStringList& columns = Statements::ValueInfoColumns();
    const int width = int(columns.size()) + 1;
    QString insert = QStringLiteral("INSERT INTO records (");
    for (const QString& c : columns)
        insert += c.toLower() + ',';
    // Another desk may store some of them meanwhile: those are left to it.
    insert += "station) SELECT * FROM " + ArrayColumns(width).Unnest() + " ON CONFLICT DO NOTHING";
    const bool missing = present.size() < batch.size();
    m_expectNew = present.isEmpty();
    qint64 stored = 0;
    qint64 pictures = 0;
    if ((missing &&
         !Overlapped(insert,
                     present.isEmpty() && prepared.hasValues ? prepared.values
                                                             : RecordValues(batch, present),
                     why, &stored)) ||
        !SendPictures(batch, prepared.photos, why, pictures) ||
        (!elsewhere.isEmpty() && !OtherDesks(shared.Params(), why)))
        return false;
    // Counted once the batch is committed (see SyncRecords).
    m_pendingRecords = stored;
    m_pendingPictures = pictures;
    return true;
}

bool Sync::OtherDesks(const QVector<PgParam>& keys, QString* why) {
    // This desk's copy of each record of the batch against every other desk's: the same
    // values and photograph corroborate it, different ones are a conflict. Only keys another
    // desk holds reach the comparison, so a desk alone pays for the look-ups only.
    QString values;
    const QStringList& columns = Statements::ValueInfoColumns();
    for (int c = kKeyColumns; c < columns.size(); ++c)
        values += (values.isEmpty() ? "" : ",") + QStringLiteral("%1.") + columns[c].toLower();
    const QString pictureJoin =
        QStringLiteral("LEFT JOIN pictures %1p ON %1p.machine_no = %1.machine_no AND "
                       "%1p.record_no = %1.record_no AND %1p.date_date = %1.date_date AND "
                       "%1p.time_time = %1.time_time AND %1p.station = %1.station ");
    // LATERAL: one look-up by key per record of the batch, whatever the planner thinks of
    // the table's size while it fills.
    const QString sql =
        "SELECT u.c1, u.c2, u.c3, u.c4, x.desks FROM " + ArrayColumns(kKeyColumns).Unnest() +
        " CROSS JOIN LATERAL (SELECT string_agg(o.station, ', ' ORDER BY o.station) AS desks "
        "FROM records m JOIN records o ON o.machine_no = m.machine_no AND o.record_no = "
        "m.record_no AND o.date_date = m.date_date AND o.time_time = m.time_time AND o.station "
        "<> m.station " +
        pictureJoin.arg(QLatin1String("m")) + pictureJoin.arg(QLatin1String("o")) + "WHERE " +
        KeyJoin("m") + QStringLiteral(" AND m.station = $%1 AND (ROW(").arg(kKeyColumns + 1) +
        values.arg(QLatin1String("m")) + ") IS DISTINCT FROM ROW(" +
        values.arg(QLatin1String("o")) +
        ") OR mp.sha256 <> op.sha256)) x WHERE x.desks IS NOT NULL ORDER BY 1, 2, 3, 4";
    QVector<PgParam> params = keys;
    params << PgParam::Text(m_opt.station);
    const PgResult r = m_db.Exec(sql, params);
    if (!r.Ok()) {
        *why = r.Error();
        return false;
    }
    for (int i = 0; i < r.Rows(); ++i)
        m_pendingConflicts << QStringLiteral("record %1 of device %2 (%3 %4): desk %5 holds a "
                                             "different copy (values or photograph); neither "
                                             "side was changed")
                                  .arg(r.Text(i, 1), r.Text(i, 0), r.Text(i, 2), r.Text(i, 3),
                                       r.Text(i, 4));
    return true;
}

bool Sync::SyncRecords() {
    const QStringList& columns = Statements::ValueInfoColumns();
    m_pathColumn = int(columns.indexOf(QStringLiteral("Path")));
    const bool haveRecords = m_local.HasTable("ValueInfo");
    const bool haveSeals = m_local.HasTable("RecordSeal"); // none in a database from before seals
    if (!haveRecords && !haveSeals)
        return true;
    QString where;
    QStringList binds;
    if (!m_opt.device.isEmpty()) {
        where = QStringLiteral(" WHERE Machine_NO=?");
        binds << m_opt.device;
    }
    // Every desk sends in the same key order, so two desks sending the same records at once
    // take the server's row locks in the same order and never deadlock.
    const QString order = QStringLiteral(" ORDER BY Machine_NO,Record_No,Date_Date,Time_Time");
    LocalCursor records, seals;
    if (haveRecords &&
        !records.Open(m_local, "SELECT " + columns.join(',') + " FROM ValueInfo" + where + order,
                      binds))
        return Fail(QStringLiteral("cannot read the local records: %1").arg(records.Error()));
    // The newest seal of each record, in the same order.
    QString sealSql = QStringLiteral(
        "SELECT Machine_NO,Record_No,Date_Date,Time_Time,RowHash,PictureHash,SealedAt,PrevSeal,"
        "Seal,Late,Deleted FROM RecordSeal WHERE Seq IN (SELECT max(Seq) FROM RecordSeal GROUP BY "
        "Machine_NO,Record_No,Date_Date,Time_Time)");
    if (!m_opt.device.isEmpty())
        sealSql += QStringLiteral(" AND Machine_NO=?");
    if (haveSeals && !seals.Open(m_local, sealSql + order, binds))
        return Fail(QStringLiteral("cannot read the local seals: %1").arg(seals.Error()));
    const qint64 total =
        haveRecords ? m_local.Count("SELECT count(*) FROM ValueInfo" + where, binds) : 0;

    // One transaction per batch: its records, their photographs and their seals (with the
    // seals of records no longer on this desk that fall between them), so a batch costs one
    // commit; the seals after the last record follow in batches of their own. While the
    // server stores a batch, the next one is read here.
    struct Batch {
        QVector<LocalRow> records, seals;
        PreparedBatch prepared;
        bool read = false;
    };
    Batch current, next;
    LocalRow seal;
    bool sealWaiting = false;
    QString localError;
    const auto read = [&](Batch& b) {
        if (b.read)
            return;
        b.read = true;
        b.records.clear();
        b.seals.clear();
        LocalRow row;
        while (b.records.size() < m_opt.batchRecords && records.Next(row))
            b.records.append(row);
        const bool more = b.records.size() == m_opt.batchRecords; // records may follow
        while (b.seals.size() < m_opt.batchRecords) {
            if (!sealWaiting && !(sealWaiting = seals.Next(seal)))
                break;
            if (more && KeyAfter(seal, b.records.last()))
                break;
            b.seals.append(seal);
            sealWaiting = false;
        }
        b.prepared = Prepare(b.records, b.seals);
        if (!localError.isEmpty())
            return;
        if (!records.Error().isEmpty())
            localError = QStringLiteral("cannot read the local records: %1").arg(records.Error());
        else if (!seals.Error().isEmpty())
            localError = QStringLiteral("cannot read the local seals: %1").arg(seals.Error());
    };
    qint64 done = 0;
    for (;;) {
        read(current);
        // A batch read up to a failure is not sent.
        if (!localError.isEmpty())
            return Fail(localError);
        if (current.records.isEmpty() && current.seals.isEmpty())
            return true;
        if (Stopped())
            return Fail(QStringLiteral("stopped"));
        next.read = false;
        m_readAhead = [&] { read(next); };
        const bool sent = InTransaction(QStringLiteral("records"), [&](QString* why) {
            m_pendingRecords = m_pendingPictures = 0;
            m_pendingConflicts.clear();
            m_pendingSealConflicts.clear();
            return (current.records.isEmpty() ||
                    SendRecordBatch(current.records, current.prepared, why)) &&
                   (current.seals.isEmpty() ||
                    SendSealBatch(current.seals, current.prepared.seals, why));
        });
        m_readAhead = nullptr;
        if (!sent)
            return false;
        m_result.records += m_pendingRecords;
        m_result.conflicts << m_pendingConflicts << m_pendingSealConflicts;
        m_result.pictures += m_pendingPictures;
        m_result.skipped += current.records.size() - m_pendingRecords;
        if (!current.records.isEmpty()) {
            done += current.records.size();
            if (m_progress)
                m_progress(QStringLiteral("records"), done, total);
        }
        std::swap(current, next);
    }
}

bool Sync::ReadInBatches(const QString& sql, const QStringList& binds, QVector<LocalRow>& batch,
                         const std::function<bool()>& send, const QString& what) {
    bool ok = true;
    QString error;
    const bool read = m_local.Query(
        sql, binds,
        [&](const LocalRow& r) {
            batch.append(r);
            if (batch.size() >= m_opt.batchRecords && !send()) {
                ok = false;
                return false;
            }
            return true;
        },
        &error);
    if (!ok)
        return false;
    if (!read)
        return Fail(QStringLiteral("cannot read the local %1: %2").arg(what, error));
    return send();
}

QVector<PgParam> Sync::SealValues(const QVector<LocalRow>& batch) const {
    ArrayColumns values(kSealColumns + 1);
    for (const LocalRow& row : batch) {
        for (int c = 0; c < kSealColumns; ++c) {
            if (c == 9 || c == 10) // Late, Deleted: whole numbers
                values.Add(c, QString::number(row.cells[c].toLongLong()), row.nulls[c]);
            else if (c == 8) // the seal itself is never NULL on the server
                values.Add(c, row.cells[c]);
            else
                values.Add(c, row, c, c >= kKeyColumns);
        }
        values.Add(kSealColumns, m_opt.station);
    }
    return values.Params();
}

bool Sync::SendSealBatch(const QVector<LocalRow>& batch, const QVector<PgParam>& params,
                         QString* why) {
    const QVector<PgParam> keys = params.mid(0, kKeyColumns);
    const QString insert =
        "INSERT INTO seals (machine_no, record_no, date_date, time_time, rowhash, picturehash, "
        "sealedat, prevseal, seal, late, deleted, station) SELECT c1, c2, c3, c4, c5, c6, c7, "
        "c8, c9, c10::integer, c11::integer, c12 FROM " +
        ArrayColumns(kSealColumns + 1).Unnest() + " ON CONFLICT DO NOTHING";
    qint64 stored = 0;
    if (!m_db.Command(insert, params, why, &stored))
        return false;
    // Every seal of the batch was new: the server holds this desk's seals as they are here.
    if (stored == batch.size())
        return true;
    // This desk's seal of each key on the server now: one that differs from the local seal
    // came from an earlier upload of this desk and stays as it is.
    QHash<QString, QString> held;
    if (!ServerKeys("seals", keys, held, why, "seal"))
        return false;
    for (const LocalRow& row : batch) {
        const auto it = held.constFind(KeyOf(row));
        if (it != held.constEnd() && *it != row.cells[8])
            m_pendingSealConflicts
                << QStringLiteral("record %1 of device %2 (%3 %4): the seal on "
                                  "the server differs from this desk's (desk "
                                  "%5)")
                       .arg(row.cells[1], row.cells[0], row.cells[2], row.cells[3], m_opt.station);
    }
    return true;
}

bool Sync::SyncAudit() {
    if (!m_local.HasTable("AuditLog"))
        return true;
    const QString sql = QStringLiteral("SELECT Seq,At,UserName,HostName,Program,Action,Device,"
                                       "Records,Outcome,PrevHash,Hash FROM AuditLog ORDER BY Seq");
    QVector<LocalRow> batch;
    auto send = [&]() {
        if (batch.isEmpty())
            return true;
        if (Stopped())
            return Fail(QStringLiteral("stopped"));
        QString insert = QStringLiteral("INSERT INTO audit (seq, at, username, hostname, program, "
                                        "action, device, records, outcome, prevhash, hash, "
                                        "station) VALUES ");
        QVector<PgParam> params;
        int rows = 0;
        for (const LocalRow& row : batch) {
            if (row.nulls[10] || row.cells[10].isEmpty())
                continue; // an entry without its hash cannot be told apart on the server
            insert += (rows++ ? "," : "") + Placeholders(int(params.size()) + 1, kAuditColumns + 1);
            params << PgParam::Text(QString::number(row.cells[0].toLongLong()));
            for (int c = 1; c < kAuditColumns; ++c)
                params << row.Param(c);
            params << PgParam::Text(m_opt.station);
        }
        insert += QStringLiteral(" ON CONFLICT DO NOTHING");
        if (rows && !InTransaction(QStringLiteral("audit entries"),
                                   [&](QString* why) { return m_db.Command(insert, params, why); }))
            return false;
        batch.clear();
        return true;
    };
    return ReadInBatches(sql, {}, batch, send, QStringLiteral("audit entries"));
}

bool Sync::WhichDesk() {
    const PgResult r = m_db.Exec(QStringLiteral(
        "SELECT brtx_my_desk(), brtx_my_key(), session_user, (SELECT rolsuper FROM "
        "pg_catalog.pg_roles WHERE rolname = session_user) OR pg_catalog.pg_has_role(session_user, "
        "c.relowner, 'USAGE') FROM pg_catalog.pg_class c WHERE c.oid = 'records'::regclass"));
    if (!r.Ok() || r.Rows() != 1)
        return Fail(
            QStringLiteral("cannot ask the central store which desk this is: %1").arg(r.Error()));
    if (!r.Text(0, 0).isEmpty()) {
        // A registered desk: its rows go under the name the administrator gave it.
        m_opt.station = r.Text(0, 0);
        m_deskKey = r.Text(0, 1);
        return true;
    }
    if (r.Text(0, 3) == QLatin1String("t"))
        return true; // the administrator's own login: the desk is named by Station
    return Fail(QStringLiteral("the login %1 is no enabled desk of this central store (the "
                               "administrator adds one with brtx-cli central add-desk); nothing "
                               "was uploaded")
                    .arg(r.Text(0, 2)));
}

bool Sync::SyncKeys() {
    if (!m_local.HasTable("DeskKey"))
        return m_deskKey.isEmpty()
                   ? true
                   : Fail(QStringLiteral("this desk has no desk key yet; the central store "
                                         "expects key %1 for desk %2; nothing was uploaded")
                              .arg(m_deskKey, m_opt.station));
    QVector<LocalRow> keys;
    m_local.Query(QStringLiteral("SELECT Fingerprint,PublicKey,Label,CreatedAt FROM DeskKey ORDER "
                                 "BY CreatedAt,Fingerprint"),
                  {}, [&](const LocalRow& r) {
                      keys.append(r);
                      return true;
                  });
    if (!m_deskKey.isEmpty() && (keys.isEmpty() || keys.last().cells[0] != m_deskKey))
        return Fail(QStringLiteral("this desk's key %1 is not the key registered for desk %2 "
                                   "(%3); nothing was uploaded")
                        .arg(keys.isEmpty() ? QStringLiteral("(none)") : keys.last().cells[0],
                             m_opt.station, m_deskKey));
    QVector<LocalRow> signatures;
    if (m_local.HasTable("ChainSignature"))
        m_local.Query(QStringLiteral("SELECT Seq,Chain,FromSeq,HeadSeq,Head,Fingerprint,SignedAt,"
                                     "Late,Prev,Signature FROM ChainSignature ORDER BY Seq"),
                      {}, [&](const LocalRow& r) {
                          // A desk login may upload what its registered key signed only.
                          if (m_deskKey.isEmpty() || r.cells[5] == m_deskKey)
                              signatures.append(r);
                          return true;
                      });
    return InTransaction(QStringLiteral("desk key"), [&](QString* why) {
        ArrayColumns k(4);
        for (const LocalRow& row : keys) {
            if (!m_deskKey.isEmpty() && row.cells[0] != m_deskKey)
                continue;
            for (int c = 0; c < 4; ++c)
                k.Add(c, row, c);
        }
        QVector<PgParam> params = k.Params();
        params << PgParam::Text(m_opt.station);
        if (!m_db.Command("INSERT INTO desk_keys (station, fingerprint, public_key, label, "
                          "created_at) SELECT $5, c1, c2, c3, c4 FROM " +
                              k.Unnest() + " ON CONFLICT DO NOTHING",
                          params, why))
            return false;
        if (signatures.isEmpty())
            return true;
        const PgResult have = m_db.Exec(
            QStringLiteral("SELECT coalesce(max(seq), 0) FROM chain_signatures WHERE station = $1"),
            {PgParam::Text(m_opt.station)});
        if (!have.Ok()) {
            *why = have.Error();
            return false;
        }
        const qint64 after = have.Text(0, 0).toLongLong();
        ArrayColumns sig(10);
        int n = 0;
        for (const LocalRow& row : signatures) {
            if (row.cells[0].toLongLong() <= after)
                continue;
            ++n;
            for (int c = 0; c < 10; ++c)
                sig.Add(c, row, c, false);
        }
        if (n == 0)
            return true;
        QVector<PgParam> sp = sig.Params();
        sp << PgParam::Text(m_opt.station);
        return m_db.Command("INSERT INTO chain_signatures (station, seq, chain, fromseq, headseq, "
                            "head, fingerprint, signedat, late, prev, signature) SELECT $11, "
                            "c1::bigint, c2, c3::bigint, c4::bigint, c5, c6, c7, c8::integer, c9, "
                            "c10 FROM " +
                                sig.Unnest() + " ON CONFLICT DO NOTHING",
                            sp, why);
    });
}

bool Sync::LocalHeads(QHash<QString, QPair<qint64, QString>>& heads, bool onlyOptionDevice) {
    heads.clear();
    QString error;
    if (m_local.HasTable("RecordSeal")) {
        QString sql = QStringLiteral("SELECT s.Machine_NO, s.Seq, s.Seal FROM RecordSeal s JOIN "
                                     "(SELECT max(Seq) AS Seq FROM RecordSeal GROUP BY "
                                     "Machine_NO) h ON h.Seq = s.Seq");
        QStringList binds;
        if (onlyOptionDevice && !m_opt.device.isEmpty()) {
            sql += QStringLiteral(" WHERE s.Machine_NO = ?");
            binds << m_opt.device;
        }
        if (!m_local.Query(
                sql, binds,
                [&](const LocalRow& r) {
                    heads.insert("seal:" + r.cells[0], {r.cells[1].toLongLong(), r.cells[2]});
                    return true;
                },
                &error))
            return Fail(QStringLiteral("cannot read the local seals: %1").arg(error));
    }
    if (m_local.HasTable("AuditLog") &&
        !m_local.Query(
            QStringLiteral("SELECT Seq, Hash FROM AuditLog WHERE Seq = (SELECT max(Seq) FROM "
                           "AuditLog)"),
            {},
            [&](const LocalRow& r) {
                heads.insert(QStringLiteral("audit"), {r.cells[0].toLongLong(), r.cells[1]});
                return true;
            },
            &error))
        return Fail(QStringLiteral("cannot read the local audit trail: %1").arg(error));
    return true;
}

bool Sync::CheckWitnesses() {
    // The last head the server witnessed of each of this desk's chains must still be in the
    // local chain: a chain that lost its newest rows, or was made anew, is not uploaded.
    const PgResult r =
        m_db.Exec(QStringLiteral(
                      "SELECT DISTINCT ON (chain) chain, head_seq, head_hash, to_char(witnessed_at "
                      "AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') FROM "
                      "witnesses WHERE station = $1 ORDER BY chain, witnessed_at DESC, head_seq "
                      "DESC"),
                  {PgParam::Text(m_opt.station)});
    if (!r.Ok())
        return Fail(QStringLiteral("cannot read the central store's witnesses: %1").arg(r.Error()));
    QStringList missing;
    for (int i = 0; i < r.Rows(); ++i) {
        const QString chain = r.Text(i, 0);
        const QString seq = r.Text(i, 1);
        const QString hash = r.Text(i, 2);
        bool found = false;
        const auto sink = [&](const LocalRow&) {
            found = true;
            return false;
        };
        if (chain == QLatin1String("audit")) {
            if (!m_local.HasTable("AuditLog") ||
                !m_local.Query(QStringLiteral("SELECT 1 FROM AuditLog WHERE Seq = ? AND Hash = ?"),
                               {seq, hash}, sink))
                found = false;
            if (!found)
                missing << QStringLiteral("the audit trail no longer holds entry %1 (%2), "
                                          "witnessed by the central store at %3")
                               .arg(seq, hash, r.Text(i, 3));
        } else if (chain.startsWith(QLatin1String("seal:"))) {
            const QString device = chain.mid(5);
            if (m_local.HasTable("RecordSeal"))
                m_local.Query(QStringLiteral("SELECT 1 FROM RecordSeal WHERE Seq = ? AND Seal = ? "
                                             "AND Machine_NO = ?"),
                              {seq, hash, device}, sink);
            if (!found)
                missing << QStringLiteral("device %1: this desk's seal chain no longer holds its "
                                          "head %2 (seal %3), witnessed by the central store at "
                                          "%4")
                               .arg(device, seq, hash, r.Text(i, 3));
        }
    }
    if (missing.isEmpty())
        return true;
    return Fail(missing.join(QStringLiteral("; ")) +
                QStringLiteral(" (records removed or re-chained on this desk); nothing was "
                               "uploaded"));
}

bool Sync::Witness() {
    QHash<QString, QPair<qint64, QString>> heads;
    if (!LocalHeads(heads, true))
        return false;
    if (heads.isEmpty())
        return true;
    ArrayColumns w(3);
    for (auto it = heads.cbegin(); it != heads.cend(); ++it) {
        w.Add(0, it.key());
        w.Add(1, QString::number(it.value().first));
        w.Add(2, it.value().second);
    }
    QVector<PgParam> params = w.Params();
    params << PgParam::Text(m_opt.station);
    // Only a head that moved is witnessed anew (the same head keeps its first time).
    const QString sql = "INSERT INTO witnesses (station, chain, head_seq, head_hash) SELECT $4, "
                        "c1, c2::bigint, c3 FROM " +
                        w.Unnest() + " ON CONFLICT DO NOTHING";
    return InTransaction(QStringLiteral("witnesses"),
                         [&](QString* why) { return m_db.Command(sql, params, why); });
}

bool Sync::SendInstruments() {
    const InstrumentSyncResult r = SyncInstruments(m_db, m_opt.dbPath, m_opt.station, m_opt.device);
    m_result.instruments = r.present;
    m_result.registerRows = r.register_;
    m_result.logEntries = r.logEntries;
    m_result.conflicts << r.conflicts;
    return r.ok || Fail(r.error);
}

SyncResult Sync::Run() {
    if (m_opt.dbPath.isEmpty())
        m_opt.dbPath = GetDatabasePath();
    if (m_opt.picRoot.isEmpty())
        m_opt.picRoot = GetPicFolder();
    if (m_opt.station.isEmpty())
        m_opt.station = StationName(CLanguage());
    if (m_opt.batchRecords < 1)
        m_opt.batchRecords = 1;
    QString error;
    if (m_opt.conninfo.trimmed().isEmpty()) {
        Fail(QStringLiteral("no central store is configured (CentralUrl in Language.ini or "
                            "--central)"));
        return m_result;
    }
    if (!m_local.Open(m_opt.dbPath, &error)) {
        Fail(error);
        return m_result;
    }
    // A batch may take a while on a busy server: five minutes a statement, not the list's 30 s.
    m_db.SetTimeouts(10, 300000);
    if (!m_db.Open(m_opt.conninfo, &error)) {
        Fail(QStringLiteral("cannot reach the central store: %1").arg(error));
        return m_result;
    }
    // Every look-up of a sync is by record key. While a table fills, its statistics lag
    // behind and the planner would read the whole table for each batch (a scan, or a hash
    // or merge join over every row of the desk), so each batch would cost more than the one
    // before; one probe of the key index per row is always the right way here. The paths
    // turned off carry a huge cost in the planner's estimate, which would make the server
    // compile a scan of a small table (the schema version, say) to machine code first (half
    // a second) where a server has JIT: no statement of a sync runs long enough to gain.
    m_db.Command(QStringLiteral("SET enable_seqscan = off; SET enable_hashjoin = off; SET "
                                "enable_mergejoin = off; SET jit = off"),
                 nullptr);
    if (!EnsureSchema(m_db, &error)) {
        Fail(error);
        return m_result;
    }
    if (!WhichDesk() || !CheckWitnesses() || !SyncKeys())
        return m_result;
    const bool ok =
        InTransaction(QStringLiteral("station"),
                      [&](QString* why) {
                          return m_db.Command(QStringLiteral("INSERT INTO stations (station) "
                                                             "VALUES ($1) ON CONFLICT DO NOTHING"),
                                              {PgParam::Text(m_opt.station)}, why);
                      }) &&
        // The instruments' entries before the audit entries that vouch for them: a sync cut
        // off between the two leaves entries not yet vouched for, never an audit entry naming
        // an entry the server does not hold (which verify --central reports as removed).
        SyncTitles() && SyncRecords() && SendInstruments() && SyncAudit() && Witness() &&
        InTransaction(QStringLiteral("station"), [&](QString* why) {
            return m_db.Command(
                QStringLiteral("UPDATE stations SET last_sync = now() WHERE station = $1"),
                {PgParam::Text(m_opt.station)}, why);
        });
    m_result.ok = ok && m_result.conflicts.isEmpty();
    if (ok && !m_result.conflicts.isEmpty())
        m_result.error =
            QStringLiteral("%1 record(s) or log entries differ from this desk's copy on the "
                           "server or from another desk's; neither side was "
                           "changed")
                .arg(m_result.conflicts.size());
    return m_result;
}

} // namespace

QString SyncResult::Summary() const {
    return QStringLiteral("synced: %1 records, %2 pictures, skipped: %3")
        .arg(records)
        .arg(pictures)
        .arg(skipped);
}

QString SyncResult::InstrumentSummary() const {
    if (!instruments)
        return QString();
    return QStringLiteral("instruments: %1 register rows, %2 log entries")
        .arg(registerRows)
        .arg(logEntries);
}

SyncResult SyncToCentral(const SyncOptions& options, const SyncProgress& progress,
                         const std::atomic<bool>* stop) {
    return Sync(options, progress, stop).Run();
}

std::function<QString(const QString& device)> DeviceSync(const QString& conninfo) {
    return [conninfo](const QString& device) {
        SyncOptions options;
        options.conninfo = conninfo;
        options.device = device;
        const SyncResult r = SyncToCentral(options);
        return r.ok ? QString() : r.error;
    };
}

} // namespace Central
