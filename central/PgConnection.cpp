#include "central/PgConnection.h"

#include <QElapsedTimer>
#include <QMap>

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace Central {

namespace {

constexpr int kSliceMs = 100; // how often a wait looks at the interrupt
const char* const kVerifyHint =
    "a server that is not on this computer is reached with sslmode=verify-full (TLS with a "
    "verified certificate); to choose another mode, name it in the connection string, e.g. "
    "sslmode=require";

// The keyword=value pairs of a connection string as libpq parses it; false when it does not.
bool Parse(const QString& conninfo, QMap<QString, QString>& options) {
    char* err = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.toUtf8().constData(), &err);
    if (err)
        PQfreemem(err); // may quote the string: never shown
    if (!parsed)
        return false;
    for (PQconninfoOption* o = parsed; o->keyword; ++o)
        if (o->val)
            options.insert(QString::fromUtf8(o->keyword), QString::fromUtf8(o->val));
    PQconninfoFree(parsed);
    return true;
}

QMap<QString, QString> InEffect(pg_conn* conn) {
    QMap<QString, QString> options;
    if (PQconninfoOption* info = conn ? PQconninfo(conn) : nullptr) {
        for (PQconninfoOption* o = info; o->keyword; ++o)
            if (o->val)
                options.insert(QString::fromUtf8(o->keyword), QString::fromUtf8(o->val));
        PQconninfoFree(info);
    }
    return options;
}

qint64 Now() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace

bool IsLocalHost(const QString& host) {
    const QString h = host.trimmed();
    if (h.isEmpty() || h.startsWith(QLatin1Char('/')) || h.startsWith(QLatin1Char('@')))
        return true;
    if (h.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QByteArray text = h.toLatin1();
    unsigned char v4[4];
    if (inet_pton(AF_INET, text.constData(), v4) == 1)
        return v4[0] == 127;
    unsigned char v6[16];
    if (inet_pton(AF_INET6, text.constData(), v6) != 1)
        return false; // a host name other than localhost: it may be anywhere
    static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(v6, loopback, 16) == 0 ||
           (std::memcmp(v6, mapped, 12) == 0 && v6[12] == 127);
}

bool AllHostsLocal(const QString& hosts, const QString& hostaddrs) {
    const QStringList names = hosts.split(QLatin1Char(','));
    const QStringList addresses = hostaddrs.split(QLatin1Char(','));
    for (int i = 0; i < qMax(names.size(), addresses.size()); ++i) {
        const QString address = addresses.value(i).trimmed();
        if (!IsLocalHost(address.isEmpty() ? names.value(i) : address))
            return false;
    }
    return true;
}

TlsChoice ChooseTls(const QString& conninfo) {
    TlsChoice choice;
    QMap<QString, QString> options;
    choice.valid = Parse(conninfo, options);
    choice.named = !options.value(QStringLiteral("sslmode")).isEmpty() ||
                   !qEnvironmentVariableIsEmpty("PGSSLMODE");
    choice.localOnly = AllHostsLocal(options.value(QStringLiteral("host")),
                                     options.value(QStringLiteral("hostaddr")));
    return choice;
}

QString ScrubSecrets(QString text, const QStringList& secrets) {
    for (const QString& secret : secrets)
        if (!secret.isEmpty())
            text.replace(secret, QStringLiteral("***"));
    return text;
}

PgResult::~PgResult() {
    if (m_r)
        PQclear(m_r);
}

PgResult& PgResult::operator=(PgResult&& o) noexcept {
    if (this != &o) {
        if (m_r)
            PQclear(m_r);
        m_r = o.m_r;
        o.m_r = nullptr;
    }
    return *this;
}

bool PgResult::Ok() const {
    if (!m_r)
        return false;
    const ExecStatusType s = PQresultStatus(m_r);
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

int PgResult::Rows() const {
    return m_r ? PQntuples(m_r) : 0;
}

int PgResult::Columns() const {
    return m_r ? PQnfields(m_r) : 0;
}

QString PgResult::Text(int row, int col) const {
    if (!m_r || PQgetisnull(m_r, row, col))
        return QString("");
    return QString::fromUtf8(PQgetvalue(m_r, row, col), PQgetlength(m_r, row, col));
}

QByteArray PgResult::Bytes(int row, int col) const {
    if (!m_r || PQgetisnull(m_r, row, col))
        return QByteArray();
    return QByteArray(PQgetvalue(m_r, row, col), PQgetlength(m_r, row, col));
}

QByteArrayView PgResult::View(int row, int col) const {
    if (!m_r)
        return QByteArrayView();
    return QByteArrayView(PQgetvalue(m_r, row, col), PQgetlength(m_r, row, col));
}

qint64 PgResult::Affected() const {
    return m_r ? QByteArray(PQcmdTuples(m_r)).toLongLong() : 0;
}

QString PgResult::Error() const {
    const QStringList none;
    const QStringList& secrets = m_secrets ? *m_secrets : none;
    if (!m_failure.isEmpty())
        return ScrubSecrets(m_failure, secrets);
    if (!m_r)
        return QStringLiteral("no answer from the server");
    return ScrubSecrets(TidyError(QString::fromUtf8(PQresultErrorMessage(m_r))), secrets);
}

QString PgResult::SqlState() const {
    const char* s = m_r ? PQresultErrorField(m_r, PG_DIAG_SQLSTATE) : nullptr;
    return s ? QString::fromLatin1(s) : QString();
}

PgConnection::~PgConnection() {
    Close();
}

void PgConnection::SetTimeouts(int connectSeconds, int statementMs) {
    m_connectSeconds = qMax(0, connectSeconds);
    m_statementMs = qMax(0, statementMs);
}

QString PgConnection::Scrub(const QString& text) const {
    return ScrubSecrets(text, *m_secrets);
}

bool PgConnection::Wait(bool forWrite, qint64 deadlineMs, QString* why) {
    for (;;) {
        if (Stopped()) {
            *why = QStringLiteral("cancelled");
            return false;
        }
        const qint64 left = deadlineMs < 0 ? kSliceMs : deadlineMs - Now();
        if (left <= 0) {
            *why = QString();
            return false;
        }
        pollfd fd{PQsocket(m_conn), short(forWrite ? POLLOUT : POLLIN), 0};
        if (fd.fd < 0) {
            *why = QStringLiteral("the connection is closed");
            return false;
        }
        const int n = ::poll(&fd, 1, int(qMin<qint64>(left, kSliceMs)));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR) {
            *why = QStringLiteral("the connection failed");
            return false;
        }
    }
}

void PgConnection::Interrupted() {
    // Ask the server to stop the statement without waiting for its answer (libpq's cancel
    // waits for the server, which may be the one that stalled), then drop the connection: the
    // next call opens a fresh one.
    if (PGcancel* cancel = m_conn ? PQgetCancel(m_conn) : nullptr) {
        std::thread([cancel] {
            char buffer[256];
            PQcancel(cancel, buffer, int(sizeof buffer));
            PQfreeCancel(cancel);
        }).detach();
    }
    Close();
}

bool PgConnection::Open(const QString& conninfo, QString* error) {
    Close();
    QString why;
    const auto fail = [&](const QString& text) {
        if (error)
            *error = Scrub(text);
        Close();
        return false;
    };
    QMap<QString, QString> options;
    if (!Parse(conninfo, options))
        return fail(QStringLiteral("the connection string is malformed (it must be "
                                   "keyword=value pairs or a postgresql:// URI)"));
    auto secrets = std::make_shared<QStringList>();
    *secrets << conninfo.trimmed() << options.value(QStringLiteral("password"));
    m_secrets = secrets;
    bool named = !options.value(QStringLiteral("sslmode")).isEmpty() ||
                 !qEnvironmentVariableIsEmpty("PGSSLMODE");
    const bool service = !options.value(QStringLiteral("service")).isEmpty() ||
                         !qEnvironmentVariableIsEmpty("PGSERVICE");
    const int connectSeconds = options.contains(QStringLiteral("connect_timeout"))
                                   ? options.value(QStringLiteral("connect_timeout")).toInt()
                                   : m_connectSeconds;

    const QByteArray info = conninfo.toUtf8();
    const QByteArray timeout = QByteArray::number(m_connectSeconds);
    // Without a service the hosts are the string's or the environment's; with one, they are
    // known once libpq has read the service file (below).
    const auto value = [&options](const char* key, const char* variable) {
        return options.contains(QLatin1String(key)) ? options.value(QLatin1String(key))
                                                    : qEnvironmentVariable(variable);
    };
    bool forced = !named && !service &&
                  !AllHostsLocal(value("host", "PGHOST"), value("hostaddr", "PGHOSTADDR"));
    for (;;) {
        // The connection string follows the defaults, so whatever it sets wins over them; a
        // required sslmode comes after it.
        const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname",
                              forced ? "sslmode" : nullptr, nullptr};
        const char* values[] = {timeout.constData(), "brtx", info.constData(),
                                forced ? "verify-full" : nullptr, nullptr};
        m_conn = PQconnectStartParams(keys, values, 1);
        if (!m_conn)
            return fail(QStringLiteral("out of memory"));
        if (forced || named || !service)
            break;
        // Decide on what is in effect once the service file is read: a service that names its
        // own mode chooses it (libpq's default is "prefer"); else the attempt just begun is
        // dropped and made again with TLS when a host is off this computer.
        const QMap<QString, QString> effect = InEffect(m_conn);
        if (service && effect.value(QStringLiteral("sslmode")) != QLatin1String("prefer"))
            named = true;
        if (named || AllHostsLocal(effect.value(QStringLiteral("host")),
                                   effect.value(QStringLiteral("hostaddr"))))
            break;
        forced = true;
        PQfinish(m_conn);
        m_conn = nullptr;
    }
    if (const char* pass = PQpass(m_conn); pass && *pass)
        *secrets << QString::fromUtf8(pass);

    // The time-out counts for each host libpq tries.
    const qint64 hosts =
        qMax<qint64>(1, InEffect(m_conn).value(QStringLiteral("host")).count(',') + 1);
    const qint64 deadline = connectSeconds > 0 ? Now() + connectSeconds * 1000LL * hosts : -1;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
           state != PGRES_POLLING_FAILED) {
        if (!Wait(state == PGRES_POLLING_WRITING, deadline, &why)) {
            if (why.isEmpty())
                why = QStringLiteral("the server did not answer within %1 s").arg(connectSeconds);
            return fail(why);
        }
        state = PQconnectPoll(m_conn);
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        why = TidyError(QString::fromUtf8(PQerrorMessage(m_conn)));
        if (forced)
            why += QStringLiteral(" (") + QLatin1String(kVerifyHint) + QLatin1Char(')');
        return fail(why);
    }
    // Texts travel as UTF-8 whatever the server's or the client's locale.
    PQsetClientEncoding(m_conn, "UTF8");
    // The server ends a statement that runs too long, unless the string's options set it.
    if (m_statementMs > 0 &&
        !options.value(QStringLiteral("options")).contains(QLatin1String("statement_timeout"))) {
        if (!Command(QStringLiteral("SET statement_timeout = %1").arg(m_statementMs), &why))
            return fail(why);
    }
    return true;
}

void PgConnection::Close() {
    if (m_conn) {
        PQfinish(m_conn);
        m_conn = nullptr;
    }
}

bool PgConnection::IsOpen() const {
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

PgResult PgConnection::Exec(const QString& sql) {
    return Exec(sql, {}, false);
}

PgResult PgConnection::Exec(const QString& sql, const QVector<PgParam>& params, bool binaryResult) {
    QString why;
    if (!Send(sql, params, binaryResult, &why))
        return PgResult(nullptr, m_secrets, why);
    return Collect();
}

bool PgConnection::Send(const QString& sql, QString* why) {
    return Send(sql, {}, false, why);
}

bool PgConnection::Send(const QString& sql, const QVector<PgParam>& params, bool binaryResult,
                        QString* why) {
    m_lastState.clear();
    if (!m_conn) {
        *why = QStringLiteral("not connected");
        return false;
    }
    if (Stopped()) {
        Close();
        *why = QStringLiteral("cancelled");
        return false;
    }
    const int n = int(params.size());
    std::vector<const char*> values(size_t(n) + 1);
    std::vector<int> lengths(size_t(n) + 1);
    std::vector<int> formats(size_t(n) + 1);
    for (int i = 0; i < n; ++i) {
        const PgParam& p = params[i];
        values[size_t(i)] = p.null ? nullptr : p.bytes.constData();
        lengths[size_t(i)] = int(p.bytes.size());
        formats[size_t(i)] = p.binary ? 1 : 0;
    }
    const QByteArray text = sql.toUtf8();
    // Without parameters a text may hold several statements (the simple protocol).
    const int sent = n == 0 && !binaryResult
                         ? PQsendQuery(m_conn, text.constData())
                         : PQsendQueryParams(m_conn, text.constData(), n, nullptr, values.data(),
                                             lengths.data(), formats.data(), binaryResult ? 1 : 0);
    if (!sent) {
        *why = Scrub(TidyError(QString::fromUtf8(PQerrorMessage(m_conn))));
        if (why->isEmpty())
            *why = QStringLiteral("not sent");
        return false;
    }
    // The client's own limit lies a little beyond the server's: a server that keeps to its
    // statement time-out answers first; one that stalls is given up.
    m_deadline = m_statementMs > 0 ? Now() + m_statementMs + 5000 : -1;
    return true;
}

PgResult PgConnection::Collect() {
    if (!m_conn)
        return PgResult(nullptr, m_secrets, QStringLiteral("not connected"));
    const qint64 deadline = m_deadline;
    QString why;
    const auto giveUp = [&] {
        if (why.isEmpty())
            why = QStringLiteral("the server did not answer within %1 s")
                      .arg((m_statementMs + 5000) / 1000);
        Interrupted();
        return PgResult(nullptr, m_secrets, why);
    };
    while (PQflush(m_conn) == 1)
        if (!Wait(true, deadline, &why))
            return giveUp();
    pg_result* last = nullptr;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!Wait(false, deadline, &why)) {
                if (last)
                    PQclear(last);
                return giveUp();
            }
            if (!PQconsumeInput(m_conn)) {
                if (last)
                    PQclear(last);
                return PgResult(nullptr, m_secrets,
                                TidyError(QString::fromUtf8(PQerrorMessage(m_conn))));
            }
        }
        pg_result* r = PQgetResult(m_conn);
        if (!r)
            break;
        // As PQexec: the last result, but an error stays the answer.
        if (last && PQresultStatus(last) == PGRES_FATAL_ERROR) {
            PQclear(r);
            continue;
        }
        if (last)
            PQclear(last);
        last = r;
        const ExecStatusType s = PQresultStatus(r);
        if (s == PGRES_COPY_IN || s == PGRES_COPY_OUT || s == PGRES_COPY_BOTH)
            break;
    }
    return PgResult(last, m_secrets);
}

bool PgConnection::Outcome(const PgResult& r, QString* error, qint64* affected) {
    if (!r.Ok()) {
        m_lastState = r.SqlState();
        if (error)
            *error = r.Error();
        return false;
    }
    if (affected)
        *affected = r.Affected();
    return true;
}

bool PgConnection::FinishCommand(QString* error, qint64* affected) {
    return Outcome(Collect(), error, affected);
}

bool PgConnection::Command(const QString& sql, QString* error) {
    return Outcome(Exec(sql), error, nullptr);
}

bool PgConnection::Command(const QString& sql, const QVector<PgParam>& params, QString* error,
                           qint64* affected) {
    return Outcome(Exec(sql, params), error, affected);
}

QString PgConnection::ServerVersion() const {
    if (!m_conn)
        return QString();
    const char* v = PQparameterStatus(m_conn, "server_version");
    return v ? QString::fromUtf8(v) : QString();
}

QStringList PgConnection::Address() const {
    if (!m_conn)
        return {};
    auto text = [](const char* v) { return v ? QString::fromUtf8(v) : QString(); };
    return {text(PQhost(m_conn)), text(PQport(m_conn)), text(PQdb(m_conn))};
}

QByteArray PgConnection::PasswordVerifier(const QString& password, const QString& role) const {
    if (!m_conn)
        return {};
    char* v = PQencryptPasswordConn(m_conn, password.toUtf8().constData(),
                                    role.toUtf8().constData(), "scram-sha-256");
    if (!v)
        return {};
    const QByteArray out(v);
    PQfreemem(v);
    return out;
}

QString TidyError(const QString& text) {
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("ERROR:")))
        t = t.mid(6).trimmed();
    // libpq adds hints and repeats the reason for each address it tried: the first line is
    // the telling one.
    const int newline = t.indexOf(QLatin1Char('\n'));
    return newline < 0 ? t : t.left(newline).trimmed();
}

} // namespace Central
