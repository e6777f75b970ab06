#include "central/CentralStats.h"

#include <QLocale>
#include <QRegularExpression>

namespace Central {

namespace {

// A text as a parameter: "$n::type", the value appended to params.
QString Param(QVector<PgParam>& params, const QString& value, const char* type = "text") {
    params << PgParam::Text(value);
    return QStringLiteral("$%1::%2").arg(params.size()).arg(QLatin1String(type));
}

QString Float(QVector<PgParam>& params, double value) {
    return Param(params, QString::number(value, 'g', 17), "float8");
}

// A numeric as double precision when it fits one (as the local database reads a number only
// when it does), else NULL: a cast that does not fit would end the statement.
QString FitFloat(const QString& x) {
    return QStringLiteral("(CASE WHEN %1 BETWEEN -1.7976931348623157e308 AND "
                          "1.7976931348623157e308 AND (%1 = 0 OR abs(%1) >= "
                          "2.2250738585072014e-308) THEN (%1)::float8 END)")
        .arg(x);
}

// date_date as a date when it is one written yyyy-MM-dd (a day past the month's end counts on
// into the next month, as SQLite's date functions count it), else NULL; never an error.
QString DateOf() {
    return QStringLiteral(
        "(CASE WHEN date_date ~ '^[0-9]{4}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])$' AND "
        "date_date NOT LIKE '0000%' THEN (substr(date_date,1,8)||'01')::date + "
        "(substr(date_date,9,2)::int - 1) END)");
}

// The weekday of date_date: 1 Monday .. 7 Sunday, or NULL.
QString WeekdayOf() {
    return "extract(isodow from " + DateOf() + ")::int";
}

// The bin of a double precision result n (see StatsBin), NULL when there is no number or
// the bin number would not fit.
QString BinOf(const QString& n, const QString& width) {
    return QStringLiteral("(CASE WHEN abs(%1 / %2) < 9.2e18 THEN floor(%1 / %2 + 1e-6)::bigint "
                          "END)")
        .arg(n, width);
}

// The threshold k (0 or 1) of a record's unit, as the limits give it, or NULL.
QString Threshold(const CLimits& limits, int k, QVector<PgParam>& params) {
    QString sql = QStringLiteral("(CASE lower(btrim(test_unit))");
    bool any = false;
    for (const UnitLimits& u : limits.Units()) {
        if (k >= u.thresholds.size())
            continue;
        sql +=
            " WHEN " + Param(params, u.unit.toLower()) + " THEN " + Float(params, u.thresholds[k]);
        any = true;
    }
    return any ? sql + QStringLiteral(" END)") : QStringLiteral("NULL::float8");
}

} // namespace

QString NumberOf(const char* column) {
    return QStringLiteral("(CASE WHEN %1 ~ '^[ "
                          "\\t]*\\+?-?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][-+]?[0-9]{1,4})?[ \\t]*$' "
                          "THEN btrim(%1, E' \\t')::numeric END)")
        .arg(QLatin1String(column));
}

QString ResultFloat() {
    return FitFloat(NumberOf("test_result"));
}

QString Rebind(const QString& sql, const QVector<PgParam>& from, QVector<PgParam>& to) {
    static const QRegularExpression placeholder(QStringLiteral("\\$([0-9]+)"));
    QString out;
    qsizetype at = 0;
    auto it = placeholder.globalMatch(sql);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += sql.mid(at, m.capturedStart() - at);
        const int n = m.captured(1).toInt();
        if (n >= 1 && n <= from.size()) {
            to << from[n - 1];
            out += QLatin1Char('$') + QString::number(to.size());
        } else {
            out += m.captured(0);
        }
        at = m.capturedEnd();
    }
    return out + sql.mid(at);
}

QStringList ChartTerms(const HistoryFilter& filter, const CLimits& limits, const QString& fieldCell,
                       QVector<PgParam>& params) {
    QStringList terms;
    if (filter.overLimit > 0) {
        // At or over the unit's threshold, as the statistics count it; no unit with that many
        // thresholds: no record.
        if (filter.overLimit <= limits.MaxCount())
            terms << ResultFloat() + " >= " + Threshold(limits, filter.overLimit - 1, params);
        else
            terms << QStringLiteral("false");
    }
    if (!filter.unit.isEmpty())
        terms << "lower(btrim(coalesce(test_unit,''))) = " +
                     Param(params, filter.unit.trimmed().toLower());
    if (filter.binWidth > 0)
        terms << BinOf(ResultFloat(), Float(params, filter.binWidth)) + " = " +
                     Param(params, QString::number(filter.bin), "bigint");
    if (filter.hour >= 0)
        terms << "substr(time_time,1,2) = " +
                     Param(params, QStringLiteral("%1").arg(filter.hour, 2, 10, QLatin1Char('0')));
    if (filter.weekday > 0)
        terms << WeekdayOf() + " = " + Param(params, QString::number(filter.weekday), "int");
    if (filter.fieldValue)
        terms << (fieldCell.isEmpty() ? QStringLiteral("false") // no such column: no record
                                      : fieldCell + " = " + Param(params, *filter.fieldValue));
    return terms;
}

int FindHeading(const QVector<HistoryColumn>& columns, const QString& heading) {
    for (const Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive})
        for (int c = 0; c < columns.size(); ++c)
            if (columns[c].heading.compare(heading, cs) == 0)
                return c;
    return -1;
}

QString StatsStatement(const StatsRequest& request, const QString& fieldCell, const QString& where,
                       QVector<PgParam>& params) {
    // The group of a record as text (byte order) or as a number (numeric order).
    QString group;
    bool text = true;
    switch (request.by) {
    case StatsBy::Day:
        group = QStringLiteral("date_date");
        break;
    case StatsBy::Week: // the Monday of the week
        group = "to_char(" + DateOf() + " - (" + WeekdayOf() + " - 1), 'YYYY-MM-DD')";
        break;
    case StatsBy::Month:
        group = QStringLiteral("substr(date_date,1,7)");
        break;
    case StatsBy::Hour:
        group = QStringLiteral("substr(time_time,1,2)");
        break;
    case StatsBy::Weekday:
        group = WeekdayOf();
        text = false;
        break;
    case StatsBy::Device:
        group = QStringLiteral("machine_no");
        break;
    case StatsBy::Mode:
        group = QStringLiteral("test_mode");
        break;
    case StatsBy::Field:
        group = fieldCell;
        break;
    case StatsBy::Bin:
        group = QStringLiteral("NULL::bigint"); // from the number, below
        text = false;
        break;
    case StatsBy::HourWeekday:
        group = WeekdayOf() + "||'-'||substr(time_time,1,2)";
        break;
    }
    if (text)
        group = "coalesce(" + group + ",'') COLLATE \"C\"";
    const QString t1 = Threshold(request.limits, 0, params);
    const QString t2 = Threshold(request.limits, 1, params);
    // Each record once with its group, unit, mode and result as a number (the fences, OFFSET
    // 0, keep each evaluated once a record), then counted per group and unit. The mean adds
    // the results as decimals: a sum of floating-point numbers depends on the order the rows
    // come in, which is the server's plan's.
    const QString outerGroup = request.by == StatsBy::Bin
                                   ? BinOf(QStringLiteral("n"), Float(params, request.binWidth))
                                   : QStringLiteral("g");
    return "SELECT " + outerGroup +
           " AS grp, u, count(*), count(*) FILTER (WHERE m = 'Auto'), count(*) FILTER (WHERE m "
           "= 'Manual'), count(*) FILTER (WHERE m = 'Refuse'), count(*) FILTER (WHERE m = "
           "'Discontinued'), count(*) FILTER (WHERE n >= t1), count(*) FILTER (WHERE n >= t2), "
           "count(n), avg(n::numeric), percentile_cont(0.5) WITHIN GROUP (ORDER BY n), max(n) FROM "
           "(SELECT g, u, m, " +
           FitFloat(QStringLiteral("x")) + " AS n, t1, t2 FROM (SELECT " + group +
           " AS g, btrim(coalesce(test_unit,'')) COLLATE \"C\" AS u, test_mode AS m, " +
           NumberOf("test_result") + " AS x, " + t1 + " AS t1, " + t2 + " AS t2 FROM records" +
           where + " OFFSET 0) r OFFSET 0) s GROUP BY 1, 2 ORDER BY 1 NULLS FIRST, 2";
}

QVector<StatsRow> StatsRows(const StatsRequest& request, const PgResult& result) {
    QVector<StatsRow> rows;
    rows.reserve(result.Rows());
    for (int i = 0; i < result.Rows(); ++i) {
        StatsRow row;
        row.group = result.Text(i, 0);
        if (request.by == StatsBy::Weekday && !row.group.isEmpty())
            row.group = QLocale::c().dayName(row.group.toInt());
        row.unit = result.Text(i, 1);
        row.tests = result.Text(i, 2).toLongLong();
        for (int k = 0; k < 4; ++k)
            row.modes[k] = result.Text(i, 3 + k).toLongLong();
        row.over[0] = result.Text(i, 7).toLongLong();
        row.over[1] = result.Text(i, 8).toLongLong();
        row.results = result.Text(i, 9).toLongLong();
        if (row.results > 0) {
            row.mean = result.Text(i, 10).toDouble();
            row.median = result.Text(i, 11).toDouble();
            row.max = result.Text(i, 12).toDouble();
        }
        rows.append(row);
    }
    return rows;
}

} // namespace Central
