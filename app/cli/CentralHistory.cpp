// brtx-cli history --central: the history list read from the central store.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"
#include "app/cli/HistoryArgs.h"

#include "central/CentralRecordSource.h"

#include <cstdio>

namespace {

// One cell on one line: a tab or line break inside a value would split the output.
QString Line(const QStringList& cells) {
    QStringList out;
    for (QString cell : cells) {
        for (QChar& ch : cell)
            if (ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r'))
                ch = QLatin1Char(' ');
        out << cell;
    }
    return out.join(QLatin1Char('\t'));
}

} // namespace

int RunCentralHistory(QStringList args, const char* command) {
    HistoryArgs h;
    QString error;
    if (TakeHistoryArgs(args, h, error) && !args.isEmpty())
        error = QStringLiteral("unknown argument \"%1\"").arg(args.first());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(error));
        return kCliUsage;
    }
    CCentralRecordSource source;
    QVector<HistoryColumn> columns;
    if (!source.Columns(h.filter, columns, &error)) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(error));
        return kCliFailed;
    }
    HistorySort sort;
    QStringList headings;
    for (const HistoryColumn& c : columns)
        headings << c.heading;
    if (!h.sortHeading.isEmpty()) {
        sort.column = int(headings.indexOf(h.sortHeading));
        sort.descending = h.sortDescending;
        if (sort.column < 0) {
            std::fprintf(stderr, "brtx-cli %s: no column \"%s\" to sort by\n", command,
                         qPrintable(h.sortHeading));
            return kCliUsage;
        }
    }
    CliPrint(Line(headings));
    if (!source.Stream(
            h.filter, sort,
            [](const HistoryRow& row) {
                CliPrint(Line(row.cells));
                return true;
            },
            &error)) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(error));
        return kCliFailed;
    }
    return kCliOk;
}
