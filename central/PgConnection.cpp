#include "central/PgConnection.h"

#include <libpq-fe.h>

#include <vector>

namespace Central {

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

qint64 PgResult::Affected() const {
    return m_r ? QByteArray(PQcmdTuples(m_r)).toLongLong() : 0;
}

QString PgResult::Error() const {
    if (!m_r)
        return QStringLiteral("no answer from the server");
    return TidyError(QString::fromUtf8(PQresultErrorMessage(m_r)));
}

QString PgResult::SqlState() const {
    const char* s = m_r ? PQresultErrorField(m_r, PG_DIAG_SQLSTATE) : nullptr;
    return s ? QString::fromLatin1(s) : QString();
}

PgConnection::~PgConnection() {
    Close();
}

bool PgConnection::Open(const QString& conninfo, QString* error) {
    Close();
    const QByteArray info = conninfo.toUtf8();
    // The connection string comes last, so whatever it sets wins over these defaults.
    const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char* values[] = {"10", "brtx", info.constData(), nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
        if (error)
            *error = TidyError(m_conn ? QString::fromUtf8(PQerrorMessage(m_conn))
                                      : QStringLiteral("out of memory"));
        Close();
        return false;
    }
    // Texts travel as UTF-8 whatever the server's or the client's locale.
    PQsetClientEncoding(m_conn, "UTF8");
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
    if (!m_conn)
        return PgResult();
    return PgResult(PQexec(m_conn, sql.toUtf8().constData()));
}

PgResult PgConnection::Exec(const QString& sql, const QVector<PgParam>& params, bool binaryResult) {
    if (!m_conn)
        return PgResult();
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
    return PgResult(PQexecParams(m_conn, sql.toUtf8().constData(), n, nullptr, values.data(),
                                 lengths.data(), formats.data(), binaryResult ? 1 : 0));
}

bool PgConnection::Command(const QString& sql, QString* error) {
    PgResult r = Exec(sql);
    if (!r.Ok()) {
        m_lastState = r.SqlState();
        if (error)
            *error = m_conn ? r.Error() : QStringLiteral("not connected");
        return false;
    }
    return true;
}

bool PgConnection::Command(const QString& sql, const QVector<PgParam>& params, QString* error,
                           qint64* affected) {
    PgResult r = Exec(sql, params);
    if (!r.Ok()) {
        m_lastState = r.SqlState();
        if (error)
            *error = m_conn ? r.Error() : QStringLiteral("not connected");
        return false;
    }
    if (affected)
        *affected = r.Affected();
    return true;
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
