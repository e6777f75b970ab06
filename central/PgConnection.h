#pragma once
// A libpq connection owned by one thread, with the few calls the central store needs.
// Connection strings are libpq's own (keyword=value or postgresql:// URI); passwords come
// from libpq's password file or service file, never from the program's settings.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct pg_conn;
struct pg_result;

namespace Central {

// A parameter of a statement: text, binary bytes, or NULL.
struct PgParam {
    QByteArray bytes;
    bool null = false;
    bool binary = false;
    static PgParam Text(const QString& text) { return {text.toUtf8(), false, false}; }
    static PgParam Null() { return {QByteArray(), true, false}; }
    static PgParam Bytes(const QByteArray& data) { return {data, false, true}; }
};

// An owned result; rows of text cells (NULL becomes an empty text).
class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* r) : m_r(r) {}
    ~PgResult();
    PgResult(PgResult&& o) noexcept : m_r(o.m_r) { o.m_r = nullptr; }
    PgResult& operator=(PgResult&& o) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    bool Ok() const; // a command or a query that succeeded
    int Rows() const;
    int Columns() const;
    QString Text(int row, int col) const;
    QByteArray Bytes(int row, int col) const; // raw cell (binary results: the bytes)
    qint64 Affected() const;                  // rows an INSERT/UPDATE/DELETE changed
    QString Error() const;
    QString SqlState() const;

private:
    pg_result* m_r = nullptr;
};

class PgConnection {
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects; false with a readable text in *error. A connection string without its own
    // connect_timeout waits at most 10 s for the server.
    bool Open(const QString& conninfo, QString* error);
    void Close();
    bool IsOpen() const;

    PgResult Exec(const QString& sql);
    // A statement with $1.. parameters; binaryResult asks for binary cells.
    PgResult Exec(const QString& sql, const QVector<PgParam>& params, bool binaryResult = false);
    // Runs a command and returns true, or false with the server's text in *error.
    bool Command(const QString& sql, QString* error);
    bool Command(const QString& sql, const QVector<PgParam>& params, QString* error,
                 qint64* affected = nullptr);

    // The server's version text ("15.18") and the connection's last error.
    QString ServerVersion() const;
    // The SQLSTATE of the last Command that failed ("40P01" for a deadlock, ...).
    QString LastSqlState() const { return m_lastState; }

    // Where this connection went: host (or socket folder), port and database, as libpq used
    // them (for the connection line of a new login).
    QStringList Address() const;
    // The password verifier the server stores for role (SCRAM, made on this side, so the
    // password itself never travels in a statement); empty on failure.
    QByteArray PasswordVerifier(const QString& password, const QString& role) const;

private:
    pg_conn* m_conn = nullptr;
    QString m_lastState;
};

// A text that reads well in a status line for a libpq failure (first line, trimmed).
QString TidyError(const QString& text);

} // namespace Central
