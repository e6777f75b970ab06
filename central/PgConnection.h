#pragma once
// A libpq connection owned by one thread, with the few calls the central store needs.
// Connection strings are libpq's own (keyword=value or postgresql:// URI, service= and the
// password file work as libpq documents them).
//
// Safety rules every connection keeps:
//  - a server that is not on this computer is reached with sslmode=verify-full unless the
//    connection string (or PGSSLMODE, or the named service) chooses a mode itself;
//  - no text this class hands out holds the connection string or the password;
//  - connecting waits at most the connect time-out, every statement at most the statement
//    time-out (told to the server, and enforced here too should the server stall), and a call
//    ends within a fraction of a second once the interrupt asks it to (or Abort() is called
//    from another thread): the running statement is cancelled and the connection closed.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

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
    explicit PgResult(pg_result* r, std::shared_ptr<const QStringList> secrets = {},
                      QString failure = QString())
        : m_r(r), m_secrets(std::move(secrets)), m_failure(std::move(failure)) {}
    ~PgResult();
    PgResult(PgResult&& o) noexcept
        : m_r(o.m_r), m_secrets(std::move(o.m_secrets)), m_failure(std::move(o.m_failure)) {
        o.m_r = nullptr;
    }
    PgResult& operator=(PgResult&& o) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    bool Ok() const; // a command or a query that succeeded
    int Rows() const;
    int Columns() const;
    QString Text(int row, int col) const;
    QByteArray Bytes(int row, int col) const; // raw cell (binary results: the bytes)
    // The raw cell without a copy, valid while the result lives ("" for NULL).
    QByteArrayView View(int row, int col) const;
    qint64 Affected() const; // rows an INSERT/UPDATE/DELETE changed
    QString Error() const;
    QString SqlState() const;

private:
    pg_result* m_r = nullptr;
    std::shared_ptr<const QStringList> m_secrets; // texts Error() never shows
    QString m_failure; // why there is no result (time-out, cancelled, connection lost)
};

// What Open() decided about TLS for a connection string.
struct TlsChoice {
    bool valid = false;     // the string parsed
    bool named = false;     // the string, PGSSLMODE or the service chose an sslmode
    bool localOnly = false; // every host is a Unix socket or a loopback address
    bool forceVerify() const { return valid && !named && !localOnly; }
};

// True for a host entry that never leaves this computer: empty (libpq's default socket), a
// Unix socket folder ("/..." or "@..."), "localhost", 127.0.0.0/8 or ::1.
bool IsLocalHost(const QString& host);
// True when every entry of libpq's comma-separated host and hostaddr lists is local (a
// hostaddr, where given, is the address actually reached).
bool AllHostsLocal(const QString& hosts, const QString& hostaddrs);
// The TLS decision for a connection string from libpq's own parse of it (the hosts it names;
// Open() decides on the hosts in effect after the environment and the service file).
TlsChoice ChooseTls(const QString& conninfo);

class PgConnection {
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Time-outs of the connections opened from now on: connecting (a connect_timeout in the
    // string wins) and each statement (0: none). Defaults: 10 s and 30 s.
    void SetTimeouts(int connectSeconds, int statementMs);
    // Asked now and then (at least every 100 ms) while a call waits for the server; true ends
    // the call: the running statement is cancelled and the connection closed.
    void SetInterrupt(std::function<bool()> stop) { m_stop = std::move(stop); }
    // From any thread: ends the call running now as the interrupt does, and makes every later
    // call fail at once until Resume().
    void Abort() { m_aborted.store(true); }
    void Resume() { m_aborted.store(false); }

    // Connects; false with a readable text in *error (never the password or the string).
    bool Open(const QString& conninfo, QString* error);
    void Close();
    bool IsOpen() const;

    PgResult Exec(const QString& sql);
    // A statement with $1.. parameters; binaryResult asks for binary cells.
    PgResult Exec(const QString& sql, const QVector<PgParam>& params, bool binaryResult = false);
    // The two halves of Exec, so this side can work while the server answers: Send starts
    // the statement (false with a readable text in *why), Collect waits for its result under
    // the same time-outs and interrupt. One statement at a time: Collect before the next.
    bool Send(const QString& sql, QString* why);
    bool Send(const QString& sql, const QVector<PgParam>& params, bool binaryResult, QString* why);
    PgResult Collect();
    // Collects the answer of a command begun with Send as Command does (its SQLSTATE is kept
    // for LastSqlState).
    bool FinishCommand(QString* error, qint64* affected = nullptr);
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
    // A command's result: true when it succeeded (with its row count), else false with the
    // error and its SQL state kept.
    bool Outcome(const PgResult& r, QString* error, qint64* affected);
    bool Wait(bool forWrite, qint64 deadlineMs, QString* why);
    bool Stopped() const { return m_aborted.load() || (m_stop && m_stop()); }
    void Interrupted();
    QString Scrub(const QString& text) const;

    pg_conn* m_conn = nullptr;
    QString m_lastState;
    int m_connectSeconds = 10;
    int m_statementMs = 30000;
    qint64 m_deadline = -1; // of the statement sent last
    std::function<bool()> m_stop;
    std::atomic<bool> m_aborted{false};
    std::shared_ptr<QStringList> m_secrets = std::make_shared<QStringList>();
};

// A text that reads well in a status line for a libpq failure (first line, trimmed).
QString TidyError(const QString& text);
// text with every one of secrets (non-empty) replaced by "***".
QString ScrubSecrets(QString text, const QStringList& secrets);

} // namespace Central
