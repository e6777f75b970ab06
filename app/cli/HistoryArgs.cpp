#include "app/cli/HistoryArgs.h"

#include <QDate>

namespace {

bool IsDate(const QString& text) {
    return text.size() == 10 && QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

bool TakeNumber(const QString& option, const QString& text, std::optional<double>& out,
                QString& error) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok) {
        error = QStringLiteral("%1 wants a number, not \"%2\"").arg(option, text);
        return false;
    }
    out = value;
    return true;
}

} // namespace

bool TakeHistoryArgs(QStringList& args, HistoryArgs& out, QString& error) {
    static const QStringList withValue{"--device", "--start", "--end",  "--search",    "--mode",
                                       "--min",    "--max",   "--sort", "--over-limit"};
    QStringList rest;
    bool haveDevice = false;
    for (int i = 0; i < args.size(); ++i) {
        QString arg = args[i];
        QString value;
        bool inlineValue = false;
        const int eq = arg.indexOf(u'=');
        if (arg.startsWith(QLatin1String("--")) && eq > 2 && withValue.contains(arg.left(eq))) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            inlineValue = true;
        }
        if (arg == QLatin1String("--all-devices")) {
            out.filter.allDevices = true;
            continue;
        }
        if (!withValue.contains(arg)) {
            rest << args[i];
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("%1 needs a value: %1 VALUE").arg(arg);
                return false;
            }
            value = args[++i];
        }
        if (arg == QLatin1String("--device")) {
            out.filter.device = value;
            haveDevice = true;
        } else if (arg == QLatin1String("--start") || arg == QLatin1String("--end")) {
            if (!IsDate(value)) {
                error = QStringLiteral("%1 wants a date YYYY-MM-DD, not \"%2\"").arg(arg, value);
                return false;
            }
            (arg == QLatin1String("--start") ? out.filter.startDate : out.filter.endDate) = value;
        } else if (arg == QLatin1String("--search")) {
            out.filter.search = value;
        } else if (arg == QLatin1String("--mode")) {
            static const QStringList modes{"auto", "manual", "refuse", "discontinued"};
            const int m = modes.indexOf(value.toLower());
            if (m < 0) {
                error = QStringLiteral("--mode wants auto, manual, refuse or discontinued, not "
                                       "\"%1\"")
                            .arg(value);
                return false;
            }
            out.filter.mode = TestModeFilter(m + 1);
        } else if (arg == QLatin1String("--min")) {
            if (!TakeNumber(arg, value, out.filter.minResult, error))
                return false;
        } else if (arg == QLatin1String("--over-limit")) {
            if (value != QLatin1String("1") && value != QLatin1String("2")) {
                error = QStringLiteral("--over-limit wants 1 or 2, not \"%1\"").arg(value);
                return false;
            }
            out.filter.overLimit = value.toInt();
        } else if (arg == QLatin1String("--max")) {
            if (!TakeNumber(arg, value, out.filter.maxResult, error))
                return false;
        } else { // --sort HEADING[:asc|:desc]
            out.sortHeading = value;
            out.sortDescending = false;
            const int colon = value.lastIndexOf(u':');
            if (colon >= 0) {
                const QString dir = value.mid(colon + 1).toLower();
                if (dir == QLatin1String("asc") || dir == QLatin1String("desc")) {
                    out.sortHeading = value.left(colon);
                    out.sortDescending = dir == QLatin1String("desc");
                }
            }
            if (out.sortHeading.isEmpty()) {
                error = QStringLiteral("--sort needs a column heading: --sort HEADING[:asc|:desc]");
                return false;
            }
        }
    }
    if (haveDevice == out.filter.allDevices) {
        error = haveDevice ? QStringLiteral("give either --device or --all-devices, not both")
                           : QStringLiteral("--device ID or --all-devices is required");
        return false;
    }
    if (haveDevice && out.filter.device.isEmpty()) {
        error = QStringLiteral("--device needs a device number: --device ID");
        return false;
    }
    if (out.filter.minResult && out.filter.maxResult &&
        *out.filter.minResult > *out.filter.maxResult) {
        error = QStringLiteral("the minimum %1 is above the maximum %2")
                    .arg(*out.filter.minResult)
                    .arg(*out.filter.maxResult);
        return false;
    }
    if (out.filter.startDate > out.filter.endDate) {
        error = QStringLiteral("the start date is after the end date");
        return false;
    }
    args = rest;
    return true;
}

bool ShapeOf(IRecordSource& source, const HistoryArgs& args, HistoryListShape& shape,
             QString& error, bool* badSort) {
    *badSort = false;
    if (!source.Columns(args.filter, shape.columns, &error))
        return false;
    shape.headings.clear();
    for (const HistoryColumn& column : shape.columns)
        shape.headings << column.heading;
    *badSort = !SortOf(args, shape.headings, shape.sort, error);
    return !*badSort;
}

bool SortOf(const HistoryArgs& args, const QStringList& headings, HistorySort& sort,
            QString& error) {
    sort = HistorySort();
    if (args.sortHeading.isEmpty())
        return true;
    sort.column = int(headings.indexOf(args.sortHeading));
    for (int c = 0; c < headings.size() && sort.column < 0; ++c)
        if (headings[c].compare(args.sortHeading, Qt::CaseInsensitive) == 0)
            sort.column = c;
    if (sort.column < 0) {
        error = QStringLiteral("--sort \"%1\" names no column; columns are: %2")
                    .arg(args.sortHeading, headings.join(QStringLiteral(", ")));
        return false;
    }
    sort.descending = args.sortDescending;
    return true;
}
