// brtx-cli history: the record list as the history page shows it after Query, with the same
// filters and order, written to standard output as the rows are read: tab-separated lines
// (headings first; the default), CSV, or one JSON array of objects keyed by heading.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "app/cli/HistoryArgs.h"
#include "base/TerminalText.h"
#include "history/core/CalibrationStates.h"
#include "reports/Csv.h"

#include <QStringEncoder>

#include <cstdio>

namespace {

const char* const kName = "history";

int Usage(const QString& reason) {
    return CliUsageError(kName, reason);
}

void Write(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// Tab-separated lines, one cell per column, for a terminal or a pipe: every control character
// of a value (a tab or line break would split the output, an escape sequence would drive the
// operator's terminal) is written as "\xNN". The line and its UTF-8 bytes reuse their buffers
// from row to row (a million rows are written in a few seconds).
class TsvWriter {
public:
    void Write(const QStringList& cells) {
        m_line.resize(0);
        for (int i = 0; i < cells.size(); ++i) {
            if (i)
                m_line += QLatin1Char('\t');
            AppendEscaped(m_line, cells[i]);
        }
        m_line += QLatin1Char('\n');
        m_bytes.resize(m_encoder.requiredSpace(m_line.size()));
        char* end = m_encoder.appendToBuffer(m_bytes.data(), m_line);
        std::fwrite(m_bytes.constData(), 1, size_t(end - m_bytes.constData()), stdout);
    }

private:
    QString m_line;
    QByteArray m_bytes;
    QStringEncoder m_encoder{QStringEncoder::Utf8};
};

// A JSON string: quotes, backslashes and every control character escaped (DEL and the C1
// controls too, which JSON would allow as they are but a terminal would act on).
QByteArray JsonString(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
        case u'"':
            out += QLatin1String("\\\"");
            break;
        case u'\\':
            out += QLatin1String("\\\\");
            break;
        case u'\n':
            out += QLatin1String("\\n");
            break;
        case u'\r':
            out += QLatin1String("\\r");
            break;
        case u'\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (IsTerminalControl(c))
                out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
            else
                out += ch;
        }
    }
    out += QLatin1Char('"');
    return out.toUtf8();
}

int Run(const CLanguage& texts, const QStringList& given) {
    QStringList args = given;
    HistoryArgs history;
    QString error;
    // --central [CONNINFO]: the list from the central store instead of this computer's.
    bool central = false;
    QString conninfo;
    if (!TakeCentralArg(texts, args, central, conninfo, error) ||
        !TakeHistoryArgs(args, history, error))
        return Usage(error);
    QString format = QStringLiteral("tsv");
    for (int i = 0; i < args.size(); ++i) {
        QString arg = args[i];
        QString value;
        if (arg.startsWith(QLatin1String("--format="))) {
            value = arg.mid(9);
        } else if (arg == QLatin1String("--format")) {
            if (i + 1 >= args.size())
                return Usage(QStringLiteral("--format needs a value: --format tsv|csv|json"));
            value = args[++i];
        } else {
            return CliUnknownArgument(kName, arg);
        }
        format = value.toLower();
        if (format != QLatin1String("tsv") && format != QLatin1String("csv") &&
            format != QLatin1String("json"))
            return Usage(QStringLiteral("--format wants tsv, csv or json, not \"%1\"").arg(value));
    }

    const std::unique_ptr<IRecordSource> source = ListSource(texts, central, conninfo);
    HistoryListShape shape;
    bool badSort = false;
    if (!ShapeOf(*source, history, shape, error, &badSort)) {
        if (badSort)
            return Usage(error);
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(error));
        return kCliFailed;
    }
    // The records' calibration state follows the list's columns; the central list then adds
    // how many desks hold an identical copy of each record.
    QStringList headings = shape.headings;
    headings << CCalibrationStates::Heading(texts);
    if (central)
        headings << QStringLiteral("Desks");
    const QString unknown = CCalibrationStates::UnknownText(texts);

    // JSON keys must differ: a repeated heading gets " (2)", " (3)" ...
    QVector<QByteArray> keys;
    if (format == QLatin1String("json")) {
        QStringList seen;
        for (const QString& h : headings) {
            QString key = h;
            for (int n = 2; seen.contains(key); ++n)
                key = QStringLiteral("%1 (%2)").arg(h).arg(n);
            seen << key;
            keys << JsonString(key) + ':';
        }
    }

    TsvWriter tsv;
    if (format == QLatin1String("tsv")) {
        tsv.Write(headings);
    } else if (format == QLatin1String("csv")) {
        Write(QByteArray(Csv::kBom) + Csv::Line(headings));
    } else {
        Write("[");
    }
    qint64 rows = 0;
    const bool ok = source->Stream(
        history.filter, shape.sort,
        [&](const HistoryRow& shown) {
            HistoryRow row = shown;
            row.cells << (row.calibration.isEmpty() ? unknown : row.calibration);
            if (central)
                row.cells << QString::number(row.desks);
            if (format == QLatin1String("tsv")) {
                tsv.Write(row.cells);
            } else if (format == QLatin1String("csv")) {
                Write(Csv::Line(row.cells));
            } else {
                QByteArray object = rows ? ",\n{" : "\n{";
                for (int c = 0; c < keys.size(); ++c) {
                    if (c)
                        object += ',';
                    object += keys[c];
                    object += JsonString(c < row.cells.size() ? row.cells[c] : QString());
                }
                object += '}';
                Write(object);
            }
            ++rows;
            return std::ferror(stdout) == 0; // a closed pipe ends the listing
        },
        &error);
    if (format == QLatin1String("json"))
        Write(rows ? "\n]\n" : "]\n");
    std::fflush(stdout);
    if (!ok) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(error));
        return kCliFailed;
    }
    return kCliOk;
}

const CliRegistrar
    registrar({kName,
               "history (--device ID | --all-devices) [--start YYYY-MM-DD] [--end YYYY-MM-DD] "
               "[--search TEXT] [--mode auto|manual|refuse|discontinued] [--min X] [--max Y] "
               "[--over-limit 1|2] "
               "[--sort HEADING[:asc|:desc]] [--format tsv|csv|json] [--central [CONNINFO] | "
               "--central-file FILE]",
               Run, "print the record list as the history page shows it",
               CliListOptions() + QList<CliOption>{{"--format tsv|csv|json",
                                                    "tab-separated lines (the default), CSV or "
                                                    "one JSON array of objects"},
                                                   CliCentralOption(),
                                                   CliCentralFileOption()},
               "brtx-cli history --device 000123456789 --start 2024-03-01 --format csv"});

} // namespace
