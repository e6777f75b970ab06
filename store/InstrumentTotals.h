#pragma once
// The record total each instrument reported at its last download by the station
// (brtx-cli watch), kept in a table of its own, InstrumentTotal, so a total that went down
// (the instrument's files were deleted) is noticed once, at the next download.
#include "store/SQLite.h"

#include <QString>

namespace InstrumentTotals {

// Makes the table when it is missing. False when it cannot be made.
bool EnsureTable(SQLite::Database& db);
// The total stored for the device, or -1 when none is.
qint64 Last(SQLite::Database& db, const QString& device);
// Stores the device's total (replacing the one before). False when it could not be written.
bool Store(SQLite::Database& db, const QString& device, quint32 total);

} // namespace InstrumentTotals
