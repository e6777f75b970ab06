#include "store/SQLite.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace SQLite {

namespace {
// How long a statement waits for a lock held by another connection (the history page and
// a running download share brtx.db) before it gives up with SQLITE_BUSY.
const int kBusyTimeoutMs = 5000;

QString FromUtf8(const char* text) {
    if (!text)
        return QString("");
    return QString::fromUtf8(text, qsizetype(std::strlen(text)));
}
// The one text a pragma returns, or "" when it fails.
QByteArray PragmaResult(sqlite3* db, const char* pragma) {
    sqlite3_stmt* stmt = nullptr;
    QByteArray out;
    if (sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return out;
}

// While a connection is open the file works with a write-ahead log: a commit costs one
// flush of the log instead of the several a rollback journal needs, so a download stores
// one record after another quickly, and a reader (the history page) never waits for a
// writer. Commits stay fully synchronous: a record reported as stored survives a power cut.
// A file in use by a connection that does not allow the switch stays as it is; nothing
// waits for it.
void UseWriteAheadLog(sqlite3* db, int busyTimeoutMs) {
    sqlite3_busy_timeout(db, 0);
    PragmaResult(db, "PRAGMA journal_mode=WAL");
    sqlite3_busy_timeout(db, busyTimeoutMs);
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
}

// The last connection to close turns the file back to the usual rollback journal, so the
// file at rest has no side files and reads like one made by any other copy of the program,
// also from read-only media. While other connections are open the switch fails at once and
// the last of them does it.
void LeaveWriteAheadLog(sqlite3* db) {
    sqlite3_busy_timeout(db, 0);
    if (PragmaResult(db, "PRAGMA main.journal_mode") == "wal")
        PragmaResult(db, "PRAGMA journal_mode=DELETE");
}
// Whether a read-only open must be immutable: the folder cannot be written (no write bit at
// all counts, as a protected evidence copy; root may write anyway), or the file was left in
// write-ahead mode (a copy, or a program that ended without closing): a reader would otherwise
// make the log's index file beside it. Never while a log or journal lies beside the file: its
// content belongs to the database, and an immutable reader would pass it over.
bool NeedsImmutable(const QString& path) {
    if (QFileInfo::exists(path + QStringLiteral("-wal")) ||
        QFileInfo::exists(path + QStringLiteral("-journal")))
        return false;
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    struct stat st;
    if (::access(folder.constData(), W_OK) != 0 ||
        (::stat(folder.constData(), &st) == 0 && (st.st_mode & 0222) == 0))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false; // the open reports it
    const QByteArray header = file.read(20);
    return header.size() == 20 && header.startsWith("SQLite format 3") &&
           (header.at(18) == 2 || header.at(19) == 2) &&
           !QFileInfo::exists(path + QStringLiteral("-shm"));
}
} // namespace

QByteArray ReadOnlyUri(const QString& path, bool immutable) {
    const QByteArray bytes = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    QByteArray uri("file:");
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            u == '/' || u == '.' || u == '-' || u == '_' || u == '~')
            uri += c;
        else
            uri += '%' + QByteArray::number(u, 16).rightJustified(2, '0');
    }
    uri += "?mode=ro";
    if (immutable)
        uri += "&immutable=1";
    return uri;
}

UTF8MBSTR::UTF8MBSTR(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    m_buf = new char[size_t(utf8.size()) + 1];
    m_buf[0] = '\0';
    std::memcpy(m_buf, utf8.constData(), size_t(utf8.size()));
    m_buf[utf8.size()] = '\0';
    m_nLength = int(text.size());
}

UTF8MBSTR::~UTF8MBSTR() {
    delete[] m_buf;
}

Database::~Database() {
    Close();
}

int Database::Open(const QString& path, Access access, bool oneThread) {
    Close();
    sqlite3* db = nullptr;
    int rc;
    bool made = false;
    const int threads = oneThread ? SQLITE_OPEN_NOMUTEX : 0;
    if (access == Access::ReadOnly) {
        // A missing file stays missing (the read-only mode never makes one).
        rc = sqlite3_open_v2(ReadOnlyUri(path, NeedsImmutable(path)).constData(), &db,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | threads, nullptr);
    } else {
        const UTF8MBSTR utf8(path);
        made = access == Access::Create && !QFileInfo::exists(path);
        rc = sqlite3_open_v2(utf8, &db,
                             SQLITE_OPEN_READWRITE |
                                 (access == Access::Create ? SQLITE_OPEN_CREATE : 0) | threads,
                             nullptr);
    }
    if (rc != SQLITE_OK) {
        m_nLastError = rc;
        // The library may hand back a handle even when opening failed; it is unusable, so
        // the object stays closed rather than pretending to be open.
        if (db)
            sqlite3_close(db);
        return rc;
    }
    m_db = db;
    m_readOnly = access == Access::ReadOnly;
    // A new file holds personal data: private to the user whatever the umask. Its log and
    // index files take the file's mode when SQLite makes them.
    if (made)
        ::chmod(QFile::encodeName(path).constData(), 0600);
    if (m_readOnly)
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    else
        UseWriteAheadLog(m_db, kBusyTimeoutMs);
    return rc;
}

void Database::Close() {
    if (m_db) {
        if (!m_readOnly)
            LeaveWriteAheadLog(m_db);
        sqlite3_close(m_db);
        m_db = nullptr;
        m_readOnly = false;
    }
    m_stop.reset();
}

QString Database::ErrorMessage() const {
    return m_db ? FromUtf8(sqlite3_errmsg(m_db)) : ErrorText(m_nLastError);
}

namespace {
void CallFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    const auto& function = *static_cast<const ScalarFunction*>(sqlite3_user_data(context));
    const FunctionArgs args(argc, argv);
    FunctionResult result(context);
    function(args, result);
}
void DeleteFunction(void* function) {
    delete static_cast<ScalarFunction*>(function);
}
int CallCollation(void* compare, int n1, const void* a, int n2, const void* b) {
    return (*static_cast<const Collation*>(compare))(
        QByteArrayView(static_cast<const char*>(a), n1),
        QByteArrayView(static_cast<const char*>(b), n2));
}
void DeleteCollation(void* compare) {
    delete static_cast<Collation*>(compare);
}
int AskStop(void* stop) {
    return (*static_cast<const std::function<bool()>*>(stop))() ? 1 : 0;
}
} // namespace

int Database::CreateFunction(const char* name, int args, ScalarFunction function,
                             bool deterministic) {
    if (!m_db)
        return m_nLastError = SQLITE_ERROR;
    // SQLite owns the copy from here: it deletes it when the name is registered again or the
    // connection closes (also when registering fails).
    auto* owned = new ScalarFunction(std::move(function));
    const int rc = sqlite3_create_function_v2(
        m_db, name, args, SQLITE_UTF8 | (deterministic ? SQLITE_DETERMINISTIC : 0), owned,
        CallFunction, nullptr, nullptr, DeleteFunction);
    if (rc != SQLITE_OK)
        m_nLastError = rc;
    return rc;
}

int Database::CreateCollation(const char* name, Collation compare) {
    if (!m_db)
        return m_nLastError = SQLITE_ERROR;
    auto* owned = new Collation(std::move(compare));
    const int rc =
        sqlite3_create_collation_v2(m_db, name, SQLITE_UTF8, owned, CallCollation, DeleteCollation);
    if (rc != SQLITE_OK) {
        // Unlike a function's, a collation's data is not deleted when registering fails.
        delete owned;
        m_nLastError = rc;
    }
    return rc;
}

void Database::SetInterrupt(std::function<bool()> stop, int steps) {
    if (!m_db)
        return;
    if (!stop) {
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
        m_stop.reset();
        return;
    }
    m_stop = std::make_unique<std::function<bool()>>(std::move(stop));
    sqlite3_progress_handler(m_db, steps, AskStop, m_stop.get());
}

namespace {
FunctionArgs::Type TypeOfCode(int code) {
    using Type = FunctionArgs::Type;
    switch (code) {
    case SQLITE_INTEGER:
        return Type::Integer;
    case SQLITE_FLOAT:
        return Type::Float;
    case SQLITE_TEXT:
        return Type::Text;
    case SQLITE_BLOB:
        return Type::Blob;
    default:
        return Type::Null;
    }
}
} // namespace

FunctionArgs::Type FunctionArgs::TypeOf(int i) const {
    return TypeOfCode(sqlite3_value_type(m_values[i]));
}

double FunctionArgs::Double(int i) const {
    return sqlite3_value_double(m_values[i]);
}

QByteArrayView FunctionArgs::Text(int i) const {
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(m_values[i]));
    return text ? QByteArrayView(text, sqlite3_value_bytes(m_values[i])) : QByteArrayView();
}

void FunctionResult::SetDouble(double value) {
    sqlite3_result_double(m_context, value);
}

void FunctionResult::SetInteger(qint64 value) {
    sqlite3_result_int64(m_context, value);
}

void FunctionResult::SetNull() {
    sqlite3_result_null(m_context);
}

Query::Query(const Database& db, const QByteArray& sql) {
    m_rc = db.Handle()
               ? sqlite3_prepare_v2(db.Handle(), sql.constData(), int(sql.size()), &m_stmt, nullptr)
               : SQLITE_MISUSE;
    if (m_rc != SQLITE_OK || !m_stmt) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        if (m_rc == SQLITE_OK)
            m_rc = SQLITE_MISUSE; // no statement in the text
    }
}

Query::~Query() {
    sqlite3_finalize(m_stmt);
}

Query& Query::BindText(int i, QByteArrayView utf8) {
    if (m_stmt)
        sqlite3_bind_text(m_stmt, i, utf8.data() ? utf8.data() : "", int(utf8.size()),
                          SQLITE_TRANSIENT);
    return *this;
}

Query& Query::BindDouble(int i, double value) {
    if (m_stmt)
        sqlite3_bind_double(m_stmt, i, value);
    return *this;
}

Query& Query::BindInt64(int i, qint64 value) {
    if (m_stmt)
        sqlite3_bind_int64(m_stmt, i, value);
    return *this;
}

bool Query::Next() {
    if (!m_stmt)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    m_rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    return false;
}

QByteArrayView Query::Bytes(int c) const {
    const char* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c));
    return p ? QByteArrayView(p, sqlite3_column_bytes(m_stmt, c)) : QByteArrayView("", 0);
}

QString Query::Text(int c) const {
    const char* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c));
    return p ? QString::fromUtf8(p, sqlite3_column_bytes(m_stmt, c)) : QString("");
}

qint64 Query::Int64(int c) const {
    return sqlite3_column_int64(m_stmt, c);
}

double Query::Double(int c) const {
    return sqlite3_column_double(m_stmt, c);
}

bool Query::IsNull(int c) const {
    return sqlite3_column_type(m_stmt, c) == SQLITE_NULL;
}

FunctionArgs::Type Query::TypeOf(int c) const {
    return TypeOfCode(sqlite3_column_type(m_stmt, c));
}

Query& Query::Reset() {
    if (m_stmt)
        sqlite3_reset(m_stmt);
    m_rc = 0;
    return *this;
}

QString ErrorText(int rc) {
    return FromUtf8(sqlite3_errstr(rc));
}

int Database::ExecuteSQL(const QString& sql) {
    if (!m_db) {
        m_nLastError = SQLITE_ERROR;
        return SQLITE_ERROR;
    }
    char* error = nullptr;
    int rc;
    {
        const UTF8MBSTR utf8(sql);
        rc = sqlite3_exec(m_db, utf8, nullptr, nullptr, &error);
    }
    if (rc != SQLITE_OK)
        m_nLastError = rc;
    if (error)
        sqlite3_free(error);
    return rc;
}

Table Database::QuerySQL(const QString& sql) {
    Table table;
    if (!m_db) {
        m_nLastError = SQLITE_ERROR;
        return table;
    }
    // Each statement of the text is stepped and its cells converted as they come; a failing
    // statement (or statements with different column counts) gives an empty result.
    const UTF8MBSTR utf8(sql);
    const char* tail = utf8;
    int rc = SQLITE_OK;
    // Columns often repeat the value of the row above (device number, unit, empty fields);
    // such a cell shares the text already converted instead of converting it again, which
    // keeps large results quick to build and small in memory.
    QStringList previous;
    std::vector<std::string> previousRaw;
    std::vector<bool> previousNull;
    while (rc == SQLITE_OK && tail && *tail) {
        sqlite3_stmt* stmt = nullptr;
        rc = sqlite3_prepare_v2(m_db, tail, -1, &stmt, &tail);
        if (rc != SQLITE_OK)
            break;
        if (!stmt)
            continue; // an empty statement (a lone ";" or a comment)
        const int cols = sqlite3_column_count(stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (table.m_nCols == 0 && table.m_rows.isEmpty()) {
                table.m_nCols = cols;
                for (int c = 0; c < cols; ++c)
                    table.m_strColNames.append(FromUtf8(sqlite3_column_name(stmt, c)));
                previous = QStringList(cols);
                previousRaw.assign(size_t(cols), std::string());
                previousNull.assign(size_t(cols), false);
            } else if (cols != table.m_nCols) {
                rc = SQLITE_ERROR;
                break;
            }
            QStringList row;
            row.reserve(cols);
            for (int c = 0; c < cols; ++c) {
                const char* cell = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                const size_t n = cell ? std::strlen(cell) : 0;
                const bool same =
                    !table.m_rows.isEmpty() && previousNull[size_t(c)] == !cell &&
                    previousRaw[size_t(c)].size() == n &&
                    std::memcmp(previousRaw[size_t(c)].data(), cell ? cell : "", n) == 0;
                if (!same) {
                    previous[c] = cell ? QString::fromUtf8(cell, qsizetype(n)) : QString("");
                    previousRaw[size_t(c)].assign(cell ? cell : "", n);
                    previousNull[size_t(c)] = !cell;
                }
                row.append(previous[c]);
            }
            table.m_rows.append(std::move(row));
        }
        sqlite3_finalize(stmt);
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
        m_nLastError = rc;
        return Table();
    }
    table.m_nRows = int(table.m_rows.size());
    table.m_nCurrentRow = table.m_nRows > 0 ? 0 : -1;
    return table;
}

QString Quote(const QString& value) {
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("''"));
    // A zero character would end the statement text early when it is handed to SQLite.
    quoted.remove(QChar(u'\0'));
    return quoted;
}

} // namespace SQLite
