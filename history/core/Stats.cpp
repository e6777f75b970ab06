#include "history/core/Stats.h"

#include <QDate>
#include <QLocale>

#include <algorithm>
#include <cmath>

bool ParseStatsBy(const QString& text, StatsRequest& request, QString& error) {
    static const struct {
        const char* name;
        StatsBy by;
    } kinds[] = {{"day", StatsBy::Day},         {"week", StatsBy::Week},
                 {"month", StatsBy::Month},     {"hour", StatsBy::Hour},
                 {"weekday", StatsBy::Weekday}, {"device", StatsBy::Device},
                 {"mode", StatsBy::Mode}};
    for (const auto& k : kinds) {
        if (text.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0) {
            request.by = k.by;
            request.field.clear();
            return true;
        }
    }
    if (text.startsWith(QLatin1String("field:"), Qt::CaseInsensitive) && text.size() > 6) {
        request.by = StatsBy::Field;
        request.field = text.mid(6);
        return true;
    }
    error = QStringLiteral("--by wants day, week, month, hour, weekday, device, mode or "
                           "field:HEADING, not \"%1\"")
                .arg(text);
    return false;
}

QStringList StatsHeadings(const StatsRequest& request) {
    static const char* const names[] = {"day",    "week", "month", "hour", "weekday",
                                        "device", "mode", "",      "bin",  "weekday-hour"};
    const QString group =
        request.by == StatsBy::Field ? request.field : QLatin1String(names[int(request.by)]);
    return {group,
            QStringLiteral("unit"),
            QStringLiteral("tests"),
            QStringLiteral("auto"),
            QStringLiteral("manual"),
            QStringLiteral("refuse"),
            QStringLiteral("discontinued"),
            QStringLiteral("over limit 1"),
            QStringLiteral("over limit 2"),
            QStringLiteral("results"),
            QStringLiteral("mean"),
            QStringLiteral("median"),
            QStringLiteral("max")};
}

QStringList StatsCells(const StatsRequest& request, const StatsRow& row) {
    QStringList cells{row.group, row.unit, QString::number(row.tests)};
    for (qint64 m : row.modes)
        cells << QString::number(m);
    // A limit the unit does not have stays empty rather than counting 0.
    const UnitLimits* limits = request.limits.For(row.unit);
    for (int k = 0; k < 2; ++k)
        cells << (limits && k < limits->thresholds.size() ? QString::number(row.over[k])
                                                          : QString());
    cells << QString::number(row.results);
    auto number = [&row](double v, int digits) {
        return row.results > 0 ? QString::number(v, 'g', digits) : QString();
    };
    cells << number(row.mean, 6) << number(row.median, 10) << number(row.max, 10);
    return cells;
}

qint64 StatsBin(double value, double width) {
    return qint64(std::floor(value / width + 1e-6));
}

void StatsNoteUnit(QMap<QString, QPair<qint64, double>>& seen, const QString& unit, qint64 results,
                   double max) {
    if (results <= 0)
        return;
    auto& s = seen[unit];
    s.second = s.first ? qMax(s.second, max) : max;
    s.first += results;
}

bool StatsChooseUnit(const QMap<QString, QPair<qint64, double>>& seen, const CLimits& limits,
                     const QString& wanted, StatsBins& out) {
    QVector<QPair<qint64, QString>> order;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it)
        order.append({-it.value().first, it.key()});
    std::sort(order.begin(), order.end());
    out.units.clear();
    for (const auto& o : order)
        out.units << o.second;
    if (out.units.isEmpty())
        return false;
    out.unit = out.units.contains(wanted) ? wanted : out.units.first();
    out.width = StatsBinWidth(seen.value(out.unit).second, limits.For(out.unit));
    return true;
}

double StatsBinWidth(double max, const UnitLimits* limits) {
    double span = max > 0 && std::isfinite(max) ? max : 1.0;
    if (limits && !limits->thresholds.isEmpty() && limits->thresholds.first() > 0)
        span = qMin(span, limits->thresholds.first() * 2);
    const double raw = span / 10;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (step * power >= raw)
            return step * power;
    return 10 * power;
}

void FillEmptyGroups(const StatsRequest& request, const QString& first, const QString& last,
                     QVector<StatsRow>& rows) {
    if (rows.isEmpty())
        return; // zero records: no groups at all
    QStringList groups;
    if (request.by == StatsBy::Hour) {
        for (int h = 0; h < 24; ++h)
            groups << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
    } else if (request.by == StatsBy::Day || request.by == StatsBy::Week ||
               request.by == StatsBy::Month) {
        // The range: the bounds given, narrowed to the dates the rows have when a bound is
        // open (a filter from 0000-01-01 would otherwise give millions of empty days).
        QString lowest, highest;
        for (const StatsRow& row : rows)
            if (!row.group.isEmpty()) {
                if (lowest.isEmpty() || row.group < lowest)
                    lowest = row.group;
                if (highest.isEmpty() || row.group > highest)
                    highest = row.group;
            }
        QDate from = QDate::fromString(first, Qt::ISODate);
        QDate to = QDate::fromString(last, Qt::ISODate);
        const QString format =
            request.by == StatsBy::Month ? QStringLiteral("yyyy-MM") : QStringLiteral("yyyy-MM-dd");
        auto start = [&](const QString& g) {
            return request.by == StatsBy::Month
                       ? QDate::fromString(g + QStringLiteral("-01"), Qt::ISODate)
                       : QDate::fromString(g, Qt::ISODate);
        };
        if (!from.isValid() || from.year() < 1900)
            from = lowest.isEmpty() ? QDate() : start(lowest);
        if (!to.isValid() || to.year() > 2999)
            to = highest.isEmpty() ? QDate() : start(highest);
        if (!from.isValid() || !to.isValid() || from > to || from.daysTo(to) > 400000)
            return;
        if (request.by == StatsBy::Week)
            from = from.addDays(1 - from.dayOfWeek());
        if (request.by == StatsBy::Month)
            from = QDate(from.year(), from.month(), 1);
        for (QDate d = from; d <= to;) {
            groups << d.toString(format);
            d = request.by == StatsBy::Day    ? d.addDays(1)
                : request.by == StatsBy::Week ? d.addDays(7)
                                              : d.addMonths(1);
        }
    } else {
        return;
    }
    // Merge: the rows in group order with a zero row for each group none has.
    QVector<StatsRow> merged;
    merged.reserve(rows.size() + groups.size());
    int r = 0;
    for (const QString& g : groups) {
        while (r < rows.size() && rows[r].group < g)
            merged.append(rows[r++]); // outside the range (or not a date): kept
        if (r < rows.size() && rows[r].group == g) {
            while (r < rows.size() && rows[r].group == g)
                merged.append(rows[r++]);
        } else {
            StatsRow empty;
            empty.group = g;
            merged.append(empty);
        }
    }
    while (r < rows.size())
        merged.append(rows[r++]);
    rows = merged;
}
