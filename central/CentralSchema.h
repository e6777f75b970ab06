#pragma once
// The central store's tables, made and upgraded by the program itself. The version of the
// layout stands in brtx_schema; every step from one version to the next runs in one
// transaction under an advisory lock, so two desks starting at once do not both make it.
// A server whose layout is newer than this program knows is refused and left alone.
#include <QString>

namespace Central {

class PgConnection;

constexpr int kSchemaVersion = 4;

// Makes or upgrades the tables; false with a readable text in *error (nothing changed then).
// upTo: the version to reach (an older one only for tests of an upgrade).
bool EnsureSchema(PgConnection& db, QString* error, int upTo = kSchemaVersion);

// The row-level security rules of the current layout as ALTER POLICY statements (the
// administrator's init runs them, so a store made by an earlier build of this version gets
// the same rules in their current form).
QString PolicyStatements();

// The version the server's tables have (0: none yet, -1: it could not be read).
int ServerSchemaVersion(PgConnection& db, QString* error);

} // namespace Central
