// brtx-cli history: the record list of one device as the history page shows it after Query,
// as tab-separated lines, headings first.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "base/Paths.h"
#include "history/core/HistoryQuery.h"

#include <QDate>
#include <cstdio>

namespace {

const char* const kName = "history";

int Usage(const QString& reason) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(reason));
    for (const CliCommand& c : CliCommands())
        if (qstrcmp(c.name, kName) == 0)
            std::fprintf(stderr, "Usage: brtx-cli [--home DIR] %s\n", c.usage);
    return kCliUsage;
}

// A date as the page's date pickers give it: "yyyy-MM-dd" of a real day.
bool IsDate(const QString& text) {
    return text.size() == 10 && QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

// One cell on one line: a tab or line break inside a value would split the output.
QString Cell(QString text) {
    for (QChar& ch : text)
        if (ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r'))
            ch = QLatin1Char(' ');
    return text;
}

QString Line(const QStringList& cells) {
    QStringList out;
    out.reserve(cells.size());
    for (const QString& cell : cells)
        out << Cell(cell);
    return out.join(QLatin1Char('\t'));
}

int Run(const QStringList& argsIn) {
    // --central: the list from the central store, with the full set of list options.
    QStringList args = argsIn;
    bool central = false;
    QString conninfo, centralError;
    if (!TakeCentralArg(args, central, conninfo, centralError))
        return Usage(centralError);
    if (central)
        return RunCentralHistory(args, kName);

    QString device;
    QString start = EarliestQueryDate();
    QString end = LatestQueryDate();
    bool haveDevice = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool known = arg == QLatin1String("--device") || arg == QLatin1String("--start") ||
                           arg == QLatin1String("--end");
        if (!known)
            return Usage(QStringLiteral("unknown argument \"%1\"").arg(arg));
        if (i + 1 >= args.size())
            return Usage(QStringLiteral("%1 needs a value").arg(arg));
        const QString value = args[++i];
        if (arg == QLatin1String("--device")) {
            device = value;
            haveDevice = true;
        } else if (!IsDate(value)) {
            return Usage(QStringLiteral("%1 wants a date YYYY-MM-DD, not \"%2\"").arg(arg, value));
        } else if (arg == QLatin1String("--start")) {
            start = value;
        } else {
            end = value;
        }
    }
    if (!haveDevice || device.isEmpty())
        return Usage(QStringLiteral("--device is required"));

    // Reading must not leave a new empty database behind.
    if (!FileExists(GetDatabasePath())) {
        std::fprintf(stderr, "brtx-cli %s: no database at %s\n", kName,
                     qPrintable(GetDatabasePath()));
        return kCliFailed;
    }

    const HistoryList list = QueryHistoryList(device, start, end);
    CliPrint(Line(list.headings));
    for (const QStringList& row : list.rows)
        CliPrint(Line(row));
    return kCliOk;
}

const CliRegistrar
    registrar({kName,
               "history --device ID [--start YYYY-MM-DD] [--end YYYY-MM-DD] | history --central "
               "[CONNINFO] (--device ID | --all-devices) [list options]",
               Run});

} // namespace
