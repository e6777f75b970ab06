#pragma once
// The two tables of brtx.db and the statements run on them.
#include "store/SQLite.h"

namespace Schema {
extern const char* const kCreateTitleInfo; // stored text, byte for byte
extern const char* const kCreateValueInfo;
// Runs both CREATE TABLE statements (TitleInfo first); true when both succeed.
bool CreateTables(SQLite::Database& db);
} // namespace Schema
