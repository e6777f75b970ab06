#pragma once
// The two tables of brtx.db and the statements run on them.
#include "store/SQLite.h"

namespace Schema {
extern const char* const kCreateTitleInfo; // stored text, byte for byte
extern const char* const kCreateValueInfo;
// Indexes on ValueInfo: the duplicate look-up (Machine_NO, Record_No, Date_Date, Time_Time)
// and the history query (Machine_NO, Date_Date). Both use IF NOT EXISTS.
extern const char* const kCreateDuplicateIndex;
extern const char* const kCreateDeviceDateIndex;
// Runs both CREATE TABLE statements (TitleInfo first), then the two index statements;
// true when both tables exist (an index that cannot be made does not count as failure).
bool CreateTables(SQLite::Database& db);
} // namespace Schema
