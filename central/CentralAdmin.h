#pragma once
// The administrator's side of the central store: the tables, the two group roles and one
// login per desk or reader.
//
// brtx_desk (group): SELECT and INSERT on the uploaded tables; row-level security lets a
// member insert only rows of the desk its login is registered for in `desks`, with the key
// fingerprint registered there. brtx_reader (group): SELECT only. Neither may UPDATE or
// DELETE anything uploaded (a desk updates only the last-sync time of its own station row and
// the values of its own rows of the register of instruments; the instruments' log is
// append-only).
// Role names are quoted by the server (format %I) and checked here first.
#include <QDateTime>
#include <QString>
#include <QVector>

namespace Central {

class PgConnection;

constexpr const char* kDeskGroup = "brtx_desk";
constexpr const char* kReaderGroup = "brtx_reader";

// A desk or reader name: 1..40 of a-z, 0-9, '_' and '-'.
bool ValidLoginName(const QString& name);
// A desk key fingerprint: 64 lower-case hex digits.
bool ValidFingerprint(const QString& fingerprint);

// Makes or upgrades the tables, makes the group roles and grants their rights.
bool InitCentral(PgConnection& db, QString* error);

// Creates the login role NAME for a desk bound to fingerprint, with a new random password;
// *line receives the connection line the desk needs (it holds the password: show it once).
bool AddDesk(PgConnection& db, const QString& name, const QString& fingerprint, QString* line,
             QString* error);
// A read-only login for supervisors.
bool AddReader(PgConnection& db, const QString& name, QString* line, QString* error);
// Disables the desk's login; its rows stay.
bool RemoveDesk(PgConnection& db, const QString& name, QString* error);

struct DeskInfo {
    QString desk;
    QString login;
    QString fingerprint;
    bool enabled = false;
    QString created;  // server time, ISO 8601
    QString lastSync; // empty: never
};
bool ListDesks(PgConnection& db, QVector<DeskInfo>& desks, QString* error);

} // namespace Central
