#pragma once
// Thin wrapper over the SQLite C API. Errors are returned as SQLite result codes.
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

struct sqlite3;

namespace SQLite {

// The result of a query: column names and rows of text cells (NULL becomes "").
class Table {
public:
    QStringList m_strColNames;
    QVector<QStringList> m_rows;
    int m_nRows = 0;
    int m_nCols = 0;
    int m_nCurrentRow = -1; // 0 when there is at least one row, else -1

    int GetRowCount() const { return m_nRows; }
    int GetColCount() const { return m_nCols; }
    const QString& Cell(int row, int col) const { return m_rows[row][col]; }
};

// An owned UTF-8 copy of a wide string.
class UTF8MBSTR {
public:
    explicit UTF8MBSTR(const QString& text);
    virtual ~UTF8MBSTR();
    UTF8MBSTR(const UTF8MBSTR&) = delete;
    UTF8MBSTR& operator=(const UTF8MBSTR&) = delete;
    operator const char*() const { return m_buf; }
    int Length() const { return m_nLength; } // characters of the source
private:
    char* m_buf = nullptr;
    int m_nLength = 0;
};

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // How a file is opened.
    //  Create:   read and write; a missing file is made. The file works with a write-ahead
    //            log while open (see SQLite.cpp).
    //  Existing: the same, but a missing file is an error (SQLITE_CANTOPEN), never made.
    //  ReadOnly: for readers of evidence (verify, audit, the list's seal marks, the report's
    //            check): SQLite's read-only mode ("mode=ro"), the journal mode left as it is,
    //            no file made or written. When the folder cannot be written (or a file left in
    //            write-ahead mode has no index beside it) and no log or journal lies beside
    //            the file, it is opened as immutable, so not even the log's index is made.
    enum class Access { Create, Existing, ReadOnly };
    int Open(const QString& path, Access access = Access::Create);
    void Close();
    bool IsReadOnly() const { return m_readOnly; }
    int ExecuteSQL(const QString& sql);
    Table QuerySQL(const QString& sql);
    bool IsOpen() const { return m_db != nullptr; }
    int GetLastError() const { return m_nLastError; }
    // The connection itself, for prepared statements with bound values (nullptr when closed).
    sqlite3* Handle() const { return m_db; }
    // The desk key as last loaded for this file (store/DeskKey.cpp; opaque here), so a
    // transaction's signature does not parse the key file again.
    std::shared_ptr<void>& DeskKeyCache() { return m_deskKeyCache; }

private:
    sqlite3* m_db = nullptr;
    int m_nLastError = 0;
    bool m_readOnly = false;
    std::shared_ptr<void> m_deskKeyCache;
};

// The URI that opens path read-only ("file:/...?mode=ro", with "&immutable=1" when asked):
// every byte that would end or change the path part is percent-encoded.
QByteArray ReadOnlyUri(const QString& path, bool immutable);

// A value ready to stand between single quotes in a statement: every ' doubled.
// Every statement that formats a value goes through this.
QString Quote(const QString& value);

} // namespace SQLite
