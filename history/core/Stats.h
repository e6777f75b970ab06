#pragma once
// Statistics over the records a history filter selects, grouped by day, week, month, hour,
// weekday, device, test mode or one column's value: per group and unit the number of tests,
// of each test mode, of results over each legal limit, and the mean, median and maximum of the
// results. Results that are not numbers (refusals) count as tests, never as results. The
// record sources compute them in the database; the rows never come into memory.
#include "history/core/Limits.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Bin: the results of one unit in bins of binWidth (the group is the bin number, see
// StatsBin; results that are not numbers have the group ""). HourWeekday: "D-HH", D the
// weekday 1 Monday .. 7 Sunday, HH the hour.
enum class StatsBy { Day, Week, Month, Hour, Weekday, Device, Mode, Field, Bin, HourWeekday };

struct StatsRequest {
    StatsBy by = StatsBy::Day;
    QString field;       // StatsBy::Field: the heading of the column whose values group
    double binWidth = 0; // StatsBy::Bin
    CLimits limits;
    // False: only the counts and the maximum of the results (no mean, no median), which keeps
    // no result in memory and sorts none: enough to learn which units have results and how
    // high they go.
    bool medians = true;
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

// The bin of a result for bins of the given width: floor(value / width), with a margin of a
// millionth of a bin so that a result written on an edge (0.25 with bins of 0.05) falls in the
// bin that starts there, as a limit drawn on that edge says. The statistics and the filter a
// chart's bar sets both use it.
qint64 StatsBin(double value, double width);
// A bin width that suits results up to max: 1, 2 or 5 times a power of ten, about 10 to 25
// bins, and no wider than a tenth of the unit's lowest limit when it has one (so the limits
// fall on or near edges).
double StatsBinWidth(double max, const UnitLimits* limits);

// The distribution of one unit's results, as the Statistics tab draws it.
struct StatsBins {
    QStringList units; // the units that have results that are numbers, most results first
    QString unit;      // the unit counted: the one asked for when it has results, else the first
    double width = 0;  // StatsBinWidth(its highest result, its limits)
    qint64 tests = 0;  // the records of that unit (as the filter's unit selects it), refusals too
    QMap<qint64, qint64> bins; // StatsBin -> its results that are numbers
};

// Adds a unit's count of results that are numbers and its highest (a unit may come several
// times: by mode or by the way it was stored).
void StatsNoteUnit(QMap<QString, QPair<qint64, double>>& seen, const QString& unit, qint64 results,
                   double max);
// From the units noted: out.units (those with results, most first, then in order), out.unit
// (wanted when it has results, else the first) and out.width; false when no unit has results.
bool StatsChooseUnit(const QMap<QString, QPair<qint64, double>>& seen, const CLimits& limits,
                     const QString& wanted, StatsBins& out);

// The groups a period or hour count leaves out, added with zero counts: every day, week (its
// Monday) or month from first to last ("yyyy-MM-dd" bounds; an open bound takes the first or
// last group found), every hour 00..23; rows stay in group order, a group's units together.
// Other kinds, and no rows at all (zero records), are left as they are.
void FillEmptyGroups(const StatsRequest& request, const QString& first, const QString& last,
                     QVector<StatsRow>& rows);
