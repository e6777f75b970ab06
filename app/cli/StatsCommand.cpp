// brtx-cli stats: statistics over the records the history filters select on this computer (or,
// with --central, in the central store), one row per group and unit (tests, each test mode,
// over each legal limit, mean, median and maximum result), as tab-separated lines (headings
// first; the default), CSV or JSON.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"
#include "app/cli/HistoryArgs.h"

#include "base/Language.h"
#include "history/core/LocalRecordSource.h"
#include "history/core/RecordSource.h"
#include "history/core/Stats.h"
#include "reports/Csv.h"

#include <cstdio>

namespace {

const char* const kName = "stats";

int Usage(const QString& reason) {
    return CliUsageError(kName, reason);
}

void Write(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// A group's value (a free field) may hold any character: control characters would break a
// line or a cell, so they become spaces.
QString Plain(QString text) {
    for (QChar& ch : text)
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F)
            ch = QLatin1Char(' ');
    return text;
}

QByteArray Json(const QString& text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            out += "\\u00" + QByteArray::number(int(c), 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out + '"';
}

int Run(const CLanguage& texts, const QStringList& arguments) {
    QStringList args = arguments;
    HistoryArgs history;
    QString error;
    // --central [CONNINFO]: the records of the central store instead of this computer's.
    bool central = false;
    QString conninfo;
    if (!TakeCentralArg(texts, args, central, conninfo, error) ||
        !TakeHistoryArgs(args, history, error))
        return Usage(error);
    if (!history.sortHeading.isEmpty())
        return Usage(QStringLiteral("stats has no --sort; groups come in order"));
    QString format = QStringLiteral("tsv");
    QString by;
    for (int i = 0; i < args.size(); ++i) {
        const QString arg = args[i];
        QString* target = nullptr;
        QString value;
        for (const auto& [name, into] : {std::pair{"--format", &format}, std::pair{"--by", &by}}) {
            const QString option = QLatin1String(name);
            if (arg == option) {
                if (i + 1 >= args.size())
                    return Usage(QStringLiteral("%1 needs a value").arg(option));
                value = args[++i];
                target = into;
            } else if (arg.startsWith(option + QLatin1Char('='))) {
                value = arg.mid(option.size() + 1);
                target = into;
            }
        }
        if (!target)
            return CliUnknownArgument(kName, arg);
        *target = value;
    }
    format = format.toLower();
    if (format != QLatin1String("tsv") && format != QLatin1String("csv") &&
        format != QLatin1String("json"))
        return Usage(QStringLiteral("--format wants tsv, csv or json, not \"%1\"").arg(format));
    if (by.isEmpty())
        return Usage(QStringLiteral("--by is required"));
    StatsRequest request;
    if (!ParseStatsBy(by, request, error))
        return Usage(error);
    request.limits = CLimits::Read(texts);
    const QString problem = LimitsProblemText(texts, request.limits);
    if (!problem.isEmpty())
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(problem));

    const std::unique_ptr<IRecordSource> source = ListSource(texts, central, conninfo);
    QVector<StatsRow> rows;
    bool noColumn = false;
    if (!source->Stats(history.filter, request, rows, &error, &noColumn)) {
        if (noColumn)
            return Usage(error);
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(error));
        return kCliFailed;
    }
    // Days, weeks, months and hours without a test inside the range show with zeros.
    FillEmptyGroups(request, history.filter.startDate, history.filter.endDate, rows);

    const QStringList headings = StatsHeadings(request);
    if (format == QLatin1String("json")) {
        Write("[");
        for (int r = 0; r < rows.size(); ++r) {
            const QStringList cells = StatsCells(request, rows[r]);
            QByteArray object = r ? ",\n{" : "\n{";
            for (int c = 0; c < headings.size(); ++c) {
                if (c)
                    object += ',';
                object += Json(headings[c]) + ':';
                // Counts and results are numbers; the group, the unit and a missing value
                // are texts and null.
                if (c < 2)
                    object += Json(cells[c]);
                else
                    object += cells[c].isEmpty() ? QByteArray("null") : cells[c].toUtf8();
            }
            Write(object + '}');
        }
        Write(rows.isEmpty() ? "]\n" : "\n]\n");
    } else if (format == QLatin1String("csv")) {
        Write(QByteArray(Csv::kBom) + Csv::Line(headings));
        for (const StatsRow& row : rows)
            Write(Csv::Line(StatsCells(request, row)));
    } else {
        auto line = [](const QStringList& cells) {
            QStringList plain;
            for (const QString& c : cells)
                plain << Plain(c);
            return (plain.join(QLatin1Char('\t')) + QLatin1Char('\n')).toUtf8();
        };
        Write(line(headings));
        for (const StatsRow& row : rows)
            Write(line(StatsCells(request, row)));
    }
    std::fflush(stdout);
    return kCliOk;
}

// The history list's options but --sort: groups come in their own order.
QList<CliOption> StatsOptions() {
    QList<CliOption> options;
    for (const CliOption& o : CliListOptions())
        if (CliOptionName(o.option) != QLatin1String("--sort"))
            options.append(o);
    return options +
           QList<CliOption>{{"--by GROUP",
                             "one row per day, week, month, hour, weekday, device, mode or "
                             "field:HEADING (a free field's values)"},
                            {"--format tsv|csv|json",
                             "tab-separated lines (the default), CSV or one JSON array of objects"},
                            CliCentralOption(),
                            CliCentralFileOption()};
}

const CliRegistrar
    registrar({kName,
               "stats (--device ID | --all-devices) [--start YYYY-MM-DD] "
               "[--end YYYY-MM-DD] [--search TEXT] "
               "[--mode auto|manual|refuse|discontinued] [--min X] [--max Y] [--over-limit 1|2] "
               "--by day|week|month|hour|weekday|device|mode|field:HEADING "
               "[--format tsv|csv|json] [--central [CONNINFO] | --central-file FILE]",
               Run,
               "count tests, test modes and results over each legal limit, with "
               "mean, median and maximum result, per group and unit",
               StatsOptions(), "brtx-cli stats --all-devices --start 2024-01-01 --by month"});

} // namespace
