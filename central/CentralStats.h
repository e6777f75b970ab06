#pragma once
// The statistics and the narrower filters of the statistics tab (over a legal limit, a chart's
// bar) over the central store, in PostgreSQL's SQL. They count what the local database counts
// for the same records: a result is a number when it is written in plain decimal notation and
// fits a double; dates that are no calendar dates have no week or weekday; groups come in byte
// order (numbers in numeric order), a group's units together. Every value is a bound
// parameter.
#include "central/PgConnection.h"
#include "history/core/HistoryFilter.h"
#include "history/core/HistoryQuery.h"
#include "history/core/Stats.h"

#include <QString>
#include <QStringList>
#include <QVector>

namespace Central {

// A stored text column as a numeric when it reads as a number (plain decimal notation, blanks
// around it allowed), else NULL. numeric takes any size, so no text makes the statement fail.
QString NumberOf(const char* column);
// The stored result (column test_result) as a double precision number, or NULL.
QString ResultFloat();

// sql with each of its $n parameters (numbered in from) renumbered as parameters appended to
// to, so that a column's expression made for one statement can stand in another.
QString Rebind(const QString& sql, const QVector<PgParam>& from, QVector<PgParam>& to);

// The terms (to be joined with AND) a filter adds beyond the list's own filter row: at or
// over a legal limit, and a chart's bar (unit, bin, hour, weekday, a column's value).
// fieldCell: the expression of the column fieldHeading names (parameters already in params).
QStringList ChartTerms(const HistoryFilter& filter, const CLimits& limits, const QString& fieldCell,
                       QVector<PgParam>& params);

// The column a heading names (exactly, else ignoring case), or -1.
int FindHeading(const QVector<HistoryColumn>& columns, const QString& heading);

// The statement that counts a request over the records "FROM records" + where selects.
// fieldCell: for StatsBy::Field, the expression of the field's cell (parameters in params).
QString StatsStatement(const StatsRequest& request, const QString& fieldCell, const QString& where,
                       QVector<PgParam>& params);

// The rows of that statement's result.
QVector<StatsRow> StatsRows(const StatsRequest& request, const PgResult& result);

} // namespace Central
