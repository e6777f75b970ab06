#pragma once
// Thin wrapper over the SQLite C API. Errors are returned as SQLite result codes.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

struct sqlite3;
struct sqlite3_context;
struct sqlite3_stmt;
struct sqlite3_value;

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

// The arguments of a custom SQL function, read by type without copying.
class FunctionArgs {
public:
    enum class Type { Integer, Float, Text, Blob, Null };
    FunctionArgs(int count, sqlite3_value** values) : m_count(count), m_values(values) {}
    int Count() const { return m_count; }
    Type TypeOf(int i) const;
    double Double(int i) const;
    // The value as UTF-8 text (a number converted); a null view for NULL. Valid until the
    // function returns.
    QByteArrayView Text(int i) const;

private:
    int m_count;
    sqlite3_value** m_values;
};

// Where a custom SQL function puts its value (NULL unless one is set).
class FunctionResult {
public:
    explicit FunctionResult(sqlite3_context* context) : m_context(context) {}
    void SetDouble(double value);
    void SetInteger(qint64 value);
    void SetNull();

private:
    sqlite3_context* m_context;
};

using ScalarFunction = std::function<void(const FunctionArgs& args, FunctionResult& result)>;
// A collation: negative, zero or positive as a sorts before, with or after b (UTF-8 texts).
using Collation = std::function<int(QByteArrayView a, QByteArrayView b)>;

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
    // oneThread: only one thread at a time uses the connection, so SQLite leaves out the lock
    // around each of its calls (a reader that steps through a million rows on its worker).
    int Open(const QString& path, Access access = Access::Create, bool oneThread = false);
    void Close();
    bool IsReadOnly() const { return m_readOnly; }
    int ExecuteSQL(const QString& sql);
    Table QuerySQL(const QString& sql);
    bool IsOpen() const { return m_db != nullptr; }
    int GetLastError() const { return m_nLastError; }
    // The connection itself, for prepared statements with bound values (nullptr when closed).
    sqlite3* Handle() const { return m_db; }
    // The message of the connection's last failure (SQLite's own text).
    QString ErrorMessage() const;

    // A function statements of this connection may call: name(args...) (args -1: any
    // number). deterministic: the same arguments always give the same value, so SQLite may
    // use it in indexes and evaluate it once per row. Registering a name again replaces it.
    int CreateFunction(const char* name, int args, ScalarFunction function,
                       bool deterministic = true);
    // A collation statements may name with COLLATE name.
    int CreateCollation(const char* name, Collation compare);
    // stop is asked about every `steps` virtual machine steps while a statement runs; when it
    // returns true the statement ends with SQLITE_INTERRUPT. An empty stop removes it.
    void SetInterrupt(std::function<bool()> stop, int steps = 20000);
    // The desk key as last loaded for this file (store/DeskKey.cpp; opaque here), so a
    // transaction's signature does not parse the key file again.
    std::shared_ptr<void>& DeskKeyCache() { return m_deskKeyCache; }

private:
    sqlite3* m_db = nullptr;
    int m_nLastError = 0;
    bool m_readOnly = false;
    std::shared_ptr<void> m_deskKeyCache;
    std::unique_ptr<std::function<bool()>> m_stop;
};

// A prepared statement of a Database with values bound to its "?" (1-based), stepped row by
// row; cells are read as the stored UTF-8 bytes.
class Query {
public:
    // On failure ok() is false and the connection's ErrorMessage() tells why.
    Query(const Database& db, const QByteArray& sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    int Error() const { return m_rc; } // the result code of the failed prepare or step
    Query& BindText(int i, QByteArrayView utf8);
    Query& BindDouble(int i, double value);
    Query& BindInt64(int i, qint64 value);
    // True with a row to read; false at the end or on a failure (then Failed()).
    bool Next();
    bool Failed() const { return m_rc != 0; }
    QByteArrayView Bytes(int c) const; // a cell's bytes, valid until the next step
    QString Text(int c) const;         // NULL reads ""
    qint64 Int64(int c) const;
    double Double(int c) const;
    bool IsNull(int c) const;
    FunctionArgs::Type TypeOf(int c) const;
    // Ready to bind and step again from the first row.
    Query& Reset();

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = 0;
};

// SQLite's text of a result code.
QString ErrorText(int rc);

// The URI that opens path read-only ("file:/...?mode=ro", with "&immutable=1" when asked):
// every byte that would end or change the path part is percent-encoded.
QByteArray ReadOnlyUri(const QString& path, bool immutable);

// A value ready to stand between single quotes in a statement: every ' doubled.
// Every statement that formats a value goes through this.
QString Quote(const QString& value);

} // namespace SQLite
