#pragma once
// Statistics over the records a history filter selects, grouped by day, week, month, hour,
// weekday, device, test mode or one column's value: per group and unit the number of tests,
// of each test mode, of results over each legal limit, and the mean, median and maximum of the
// results. Results that are not numbers (refusals) count as tests, never as results. The
// record sources compute them in the database; the rows never come into memory.
#include "history/core/Limits.h"

#include <QString>
#include <QStringList>
#include <QVector>

enum class StatsBy { Day, Week, Month, Hour, Weekday, Device, Mode, Field };

struct StatsRequest {
    StatsBy by = StatsBy::Day;
    QString field; // StatsBy::Field: the heading of the column whose values group
    CLimits limits;
};

// One group and unit.
struct StatsRow {
    QString group; // day "yyyy-MM-dd", week: its Monday, month "yyyy-MM", hour "HH", weekday
                   // "Monday" .., device, stored test mode, the column's value
    QString unit;  // Test_Unit (trimmed)
    qint64 tests = 0;
    qint64 modes[4] = {0, 0, 0, 0};       // Auto, Manual, Refuse, Discontinued
    qint64 over[2] = {0, 0};              // at or over limit 1, limit 2
    qint64 results = 0;                   // results that are numbers
    double mean = 0, median = 0, max = 0; // of those results (when results > 0)
};

// "day", "week", "month", "hour", "weekday", "device", "mode" or "field:HEADING" (any case
// for the name). False with a message for anything else.
bool ParseStatsBy(const QString& text, StatsRequest& request, QString& error);

// The headings of a statistics table and the cells of one row, in the same order.
QStringList StatsHeadings(const StatsRequest& request);
QStringList StatsCells(const StatsRequest& request, const StatsRow& row);
