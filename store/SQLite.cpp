#include "store/SQLite.h"

#include <sqlite3.h>

#include <cstring>

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
} // namespace

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

int Database::Open(const QString& path) {
    Close();
    const UTF8MBSTR utf8(path);
    sqlite3* db = nullptr;
    const int rc = sqlite3_open(utf8, &db);
    if (rc != SQLITE_OK) {
        m_nLastError = rc;
        // The library may hand back a handle even when opening failed; it is unusable, so
        // the object stays closed rather than pretending to be open.
        if (db)
            sqlite3_close(db);
        return rc;
    }
    m_db = db;
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    return rc;
}

void Database::Close() {
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
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
    char** result = nullptr;
    int rows = 0;
    int cols = 0;
    char* error = nullptr;
    int rc;
    {
        const UTF8MBSTR utf8(sql);
        rc = sqlite3_get_table(m_db, utf8, &result, &rows, &cols, &error);
    }
    if (rc != SQLITE_OK)
        m_nLastError = rc;
    if (error)
        sqlite3_free(error);
    if (!result)
        return table;

    table.m_strColNames.reserve(cols);
    for (int c = 0; c < cols; ++c)
        table.m_strColNames.append(FromUtf8(result[c]));
    table.m_rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
        QStringList row;
        row.reserve(cols);
        const char* const* cells = result + qsizetype(r + 1) * cols;
        for (int c = 0; c < cols; ++c)
            row.append(FromUtf8(cells[c]));
        table.m_rows.append(std::move(row));
    }
    sqlite3_free_table(result);
    table.m_nRows = rows;
    table.m_nCols = cols;
    table.m_nCurrentRow = rows > 0 ? 0 : -1;
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
