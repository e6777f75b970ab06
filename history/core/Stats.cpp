#include "history/core/Stats.h"

#include <QLocale>

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
    static const char* const names[] = {"day",     "week",   "month", "hour",
                                        "weekday", "device", "mode"};
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
