#include "central/CentralAdmin.h"

#include "central/CentralSchema.h"
#include "central/PgConnection.h"

#include <QRegularExpression>

#include <functional>

#include <openssl/rand.h>

namespace Central {

namespace {

// The tables a sync fills, and the ones only the administrator writes.
constexpr const char* kUploaded = "stations, devices, records, pictures, seals, audit, witnesses, "
                                  "desk_keys, chain_signatures, instrument_register, "
                                  "instrument_log";

bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// Runs the statements of body in one transaction; ROLLBACK when one fails.
bool InTransaction(PgConnection& db, QString* error, const std::function<bool(QString*)>& body) {
    QString why;
    if (db.Command(QStringLiteral("BEGIN"), &why) && body(&why) &&
        db.Command(QStringLiteral("COMMIT"), &why))
        return true;
    db.Command(QStringLiteral("ROLLBACK"), nullptr);
    return Fail(error, why);
}

// A statement with identifiers and literals quoted by the server itself: format(template,
// $1, $2, ...) is evaluated first, then its text run.
bool RunFormatted(PgConnection& db, const QString& formatTemplate, const QVector<PgParam>& args,
                  QString* why) {
    QString call = QStringLiteral("SELECT format($1");
    QVector<PgParam> params{PgParam::Text(formatTemplate)};
    for (int i = 0; i < args.size(); ++i) {
        call += QStringLiteral(", $%1::text").arg(i + 2);
        params << args[i];
    }
    const PgResult made = db.Exec(call + ')', params);
    if (!made.Ok() || made.Rows() != 1) {
        *why = made.Error();
        return false;
    }
    return db.Command(made.Text(0, 0), why);
}

// 24 random bytes from OpenSSL as 48 hex digits: no character a connection line must quote.
QString NewPassword() {
    unsigned char bytes[24];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex());
}

// A value of a libpq keyword=value string, quoted when it needs to be.
QString ConnValue(const QString& value) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_.:/@-]+$"));
    if (plain.match(value).hasMatch())
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return '\'' + quoted + '\'';
}

bool RequireSchema(PgConnection& db, QString* error) {
    QString why;
    const int version = ServerSchemaVersion(db, &why);
    if (version < 0)
        return Fail(error, why);
    if (version != kSchemaVersion)
        return Fail(error, QStringLiteral("the central store has table version %1, not %2: run "
                                          "brtx-cli central init first")
                               .arg(version)
                               .arg(kSchemaVersion));
    return true;
}

// Creates login name as a member of group with a new password; *line: its connection line.
bool AddLogin(PgConnection& db, const QString& name, const char* group, QString* line,
              QString* why) {
    const PgResult exists = db.Exec(QStringLiteral("SELECT 1 FROM pg_catalog.pg_roles WHERE "
                                                   "rolname = $1"),
                                    {PgParam::Text(name)});
    if (!exists.Ok()) {
        *why = exists.Error();
        return false;
    }
    if (exists.Rows() > 0) {
        *why = QStringLiteral("a role named %1 exists already on this server").arg(name);
        return false;
    }
    const QString password = NewPassword();
    const QByteArray verifier =
        password.isEmpty() ? QByteArray() : db.PasswordVerifier(password, name);
    if (verifier.isEmpty()) {
        *why = QStringLiteral("no password could be made");
        return false;
    }
    if (!RunFormatted(db, QStringLiteral("CREATE ROLE %I LOGIN PASSWORD %L IN ROLE %I"),
                      {PgParam::Text(name), PgParam::Text(QString::fromLatin1(verifier)),
                       PgParam::Text(QString::fromLatin1(group))},
                      why))
        return false;
    const QStringList address = db.Address();
    QStringList words;
    if (!address.value(0).isEmpty())
        words << "host=" + ConnValue(address.value(0));
    if (!address.value(1).isEmpty())
        words << "port=" + ConnValue(address.value(1));
    words << "dbname=" + ConnValue(address.value(2)) << "user=" + ConnValue(name)
          << "password=" + password;
    *line = words.join(QLatin1Char(' '));
    return true;
}

} // namespace

bool ValidLoginName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[a-z0-9_-]{1,40}$"));
    return re.match(name).hasMatch();
}

bool ValidFingerprint(const QString& fingerprint) {
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]{64}$"));
    return re.match(fingerprint).hasMatch();
}

bool InitCentral(PgConnection& db, QString* error) {
    QString why;
    if (!EnsureSchema(db, &why))
        return Fail(error, why);
    const QString all = QString::fromLatin1(kUploaded);
    const QString sql =
        QStringLiteral("DO $$ BEGIN "
                       "IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = "
                       "'brtx_desk') THEN CREATE ROLE brtx_desk NOLOGIN; END IF; "
                       "IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = "
                       "'brtx_reader') THEN CREATE ROLE brtx_reader NOLOGIN; END IF; END $$;") +
        "REVOKE ALL ON brtx_schema, desks, " + all + " FROM PUBLIC;" +
        "GRANT SELECT ON brtx_schema, " + all + " TO brtx_desk, brtx_reader;" + "GRANT INSERT ON " +
        all + " TO brtx_desk;" +
        "GRANT UPDATE (last_sync) ON stations TO brtx_desk;"
        // A desk replaces the values of its own register rows (never the desk or device).
        "GRANT UPDATE (device_type, first_link, last_link, last_download, label, serial, model, "
        "location, status, status_date, notes, calibration_days, accuracy_days, records, "
        "updated_at) ON instrument_register TO brtx_desk;"
        "GRANT SELECT ON desks TO brtx_reader;" +
        PolicyStatements();
    if (!InTransaction(db, &why, [&](QString* w) {
            return db.Command(QStringLiteral("SELECT pg_advisory_xact_lock(7575016)"), w) &&
                   db.Command(sql, w);
        }))
        return Fail(error, QStringLiteral("cannot set up the roles: %1").arg(why));
    return true;
}

bool AddDesk(PgConnection& db, const QString& name, const QString& fingerprint, QString* line,
             QString* error) {
    if (!ValidLoginName(name))
        return Fail(error, QStringLiteral("a desk name is 1 to 40 of a-z, 0-9, _ and -"));
    if (!ValidFingerprint(fingerprint))
        return Fail(error, QStringLiteral("the key fingerprint is 64 hex digits (brtx-cli desk "
                                          "prints it on the desk)"));
    if (!RequireSchema(db, error))
        return false;
    QString made, why;
    if (!InTransaction(db, &why, [&](QString* w) {
            const PgResult known = db.Exec(QStringLiteral("SELECT 1 FROM desks WHERE desk = $1"),
                                           {PgParam::Text(name)});
            if (!known.Ok()) {
                *w = known.Error();
                return false;
            }
            if (known.Rows() > 0) {
                *w = QStringLiteral("desk %1 is registered already").arg(name);
                return false;
            }
            return AddLogin(db, name, kDeskGroup, &made, w) &&
                   db.Command(QStringLiteral("INSERT INTO desks (desk, login_role, "
                                             "key_fingerprint) VALUES ($1, $1, $2)"),
                              {PgParam::Text(name), PgParam::Text(fingerprint)}, w);
        }))
        return Fail(error, QStringLiteral("cannot add desk %1: %2").arg(name, why));
    *line = made;
    return true;
}

bool AddReader(PgConnection& db, const QString& name, QString* line, QString* error) {
    if (!ValidLoginName(name))
        return Fail(error, QStringLiteral("a reader name is 1 to 40 of a-z, 0-9, _ and -"));
    if (!RequireSchema(db, error))
        return false;
    QString made, why;
    if (!InTransaction(db, &why,
                       [&](QString* w) { return AddLogin(db, name, kReaderGroup, &made, w); }))
        return Fail(error, QStringLiteral("cannot add reader %1: %2").arg(name, why));
    *line = made;
    return true;
}

bool RemoveDesk(PgConnection& db, const QString& name, QString* error) {
    if (!ValidLoginName(name))
        return Fail(error, QStringLiteral("a desk name is 1 to 40 of a-z, 0-9, _ and -"));
    if (!RequireSchema(db, error))
        return false;
    QString why;
    if (!InTransaction(db, &why, [&](QString* w) {
            const PgResult r = db.Exec(QStringLiteral("UPDATE desks SET enabled = false WHERE "
                                                      "desk = $1 RETURNING login_role"),
                                       {PgParam::Text(name)});
            if (!r.Ok()) {
                *w = r.Error();
                return false;
            }
            if (r.Rows() == 0) {
                *w = QStringLiteral("no such desk");
                return false;
            }
            return RunFormatted(db, QStringLiteral("ALTER ROLE %I NOLOGIN"),
                                {PgParam::Text(r.Text(0, 0))}, w);
        }))
        return Fail(error, QStringLiteral("cannot remove desk %1: %2").arg(name, why));
    return true;
}

bool ListDesks(PgConnection& db, QVector<DeskInfo>& desks, QString* error) {
    desks.clear();
    if (!RequireSchema(db, error))
        return false;
    const PgResult r = db.Exec(QStringLiteral(
        "SELECT d.desk, d.login_role, d.key_fingerprint, d.enabled, to_char(d.created AT TIME "
        "ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), coalesce(to_char(s.last_sync AT TIME "
        "ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), '') FROM desks d LEFT JOIN stations s "
        "ON s.station = d.desk ORDER BY d.desk"));
    if (!r.Ok())
        return Fail(error, r.Error());
    for (int i = 0; i < r.Rows(); ++i)
        desks.append({r.Text(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3) == QLatin1String("t"),
                      r.Text(i, 4), r.Text(i, 5)});
    return true;
}

} // namespace Central
