// brtx-cli export-xls and export-pdf: the history page's two exports after the same query,
// without the window.
#include "app/cli/Commands.h"

#include "base/Paths.h"
#include "history/core/ExcelExport.h"
#include "history/core/HistoryQuery.h"
#include "history/core/PdfReport.h"
#include "history/core/Report.h"
#include "store/Audit.h"

#include <QDate>
#include <QDir>
#include <cstdio>

namespace {

const char* const kXls = "export-xls";
const char* const kPdf = "export-pdf";

int Usage(const char* name, const QString& reason) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", name, qPrintable(reason));
    for (const CliCommand& c : CliCommands())
        if (qstrcmp(c.name, name) == 0)
            std::fprintf(stderr, "Usage: brtx-cli [--home DIR] %s\n", c.usage);
    return kCliUsage;
}

int Fail(const char* name, const QString& reason) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", name, qPrintable(reason));
    return kCliFailed;
}

bool IsDate(const QString& text) {
    return text.size() == 10 && QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

// The options both commands share, and what is left over.
struct Query {
    QString device;
    QString start = EarliestQueryDate();
    QString end = LatestQueryDate();
    QString record;
    QStringList rest;
};

// Parses --device, --start, --end (and --record when allowed). Returns a usage exit code
// or -1 when the arguments are fine.
int Parse(const char* name, const QStringList& args, bool withRecord, Query* q) {
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool option = arg == QLatin1String("--device") || arg == QLatin1String("--start") ||
                            arg == QLatin1String("--end") ||
                            (withRecord && arg == QLatin1String("--record"));
        if (!option) {
            if (arg.startsWith(QLatin1String("--")))
                return Usage(name, QStringLiteral("unknown argument \"%1\"").arg(arg));
            q->rest.append(arg);
            continue;
        }
        if (i + 1 >= args.size())
            return Usage(name, QStringLiteral("%1 needs a value").arg(arg));
        const QString value = args[++i];
        if (arg == QLatin1String("--device")) {
            q->device = value;
        } else if (arg == QLatin1String("--record")) {
            q->record = value;
        } else if (!IsDate(value)) {
            return Usage(name,
                         QStringLiteral("%1 wants a date YYYY-MM-DD, not \"%2\"").arg(arg, value));
        } else if (arg == QLatin1String("--start")) {
            q->start = value;
        } else {
            q->end = value;
        }
    }
    if (q->device.isEmpty())
        return Usage(name, QStringLiteral("--device is required"));
    if (!FileExists(GetDatabasePath()))
        return Fail(name, QStringLiteral("no database at %1").arg(GetDatabasePath()));
    return -1;
}

int RunXls(const QStringList& args) {
    Query q;
    const int usage = Parse(kXls, args, false, &q);
    if (usage >= 0)
        return usage;
    if (q.rest.size() != 1)
        return Usage(kXls, QStringLiteral("one output FILE is needed"));
    const QString path = XlsExportPath(QDir::current().absoluteFilePath(q.rest.first()));
    if (path.isEmpty())
        return Usage(kXls, QStringLiteral("the file name must end in .xls or .XLS (or have no "
                                          "extension, and .xls is added)"));

    const HistoryList list = QueryHistoryList(q.device, q.start, q.end);
    if (list.rows.isEmpty() || list.headings.isEmpty())
        return Fail(kXls, QStringLiteral("no records of device %1 in %2 .. %3; nothing written")
                              .arg(q.device, q.start, q.end));
    QString error;
    if (!ExportListToXls(path, list.headings, list.rows, &error))
        return Fail(kXls, QStringLiteral("writing %1 failed: %2").arg(path, error.trimmed()));
    Audit::AppendTo(
        GetDatabasePath(), QString::fromLatin1(Audit::kCli), QStringLiteral("export-xls"), q.device,
        QStringLiteral("%1 rows file %2").arg(list.rows.size()).arg(path), QStringLiteral("ok"));
    CliPrint(QStringLiteral("%1 rows written to %2").arg(list.rows.size()).arg(path));
    return kCliOk;
}

int RunPdf(const QStringList& args) {
    Query q;
    const int usage = Parse(kPdf, args, true, &q);
    if (usage >= 0)
        return usage;
    if (!q.rest.isEmpty())
        return Usage(kPdf, QStringLiteral("unexpected argument \"%1\"").arg(q.rest.first()));
    if (q.record.isEmpty())
        return Usage(kPdf, QStringLiteral("--record is required"));

    const HistoryList list = QueryHistoryList(q.device, q.start, q.end);
    int row = -1;
    for (int r = 0; r < list.rows.size() && row < 0; ++r)
        if (list.rows.at(r).value(1) == q.record)
            row = r;
    if (row < 0)
        return Fail(kPdf, QStringLiteral("record %1 of device %2 is not in the list of %3 .. %4")
                              .arg(q.record, q.device, q.start, q.end));

    ReportSource source;
    const int columns = static_cast<int>(qMin<qsizetype>(list.headings.size(), kReportMaxHeadings));
    source.headings = list.headings.mid(0, columns);
    for (int c = 0; c < columns; ++c)
        source.cells.append(list.rows.at(row).value(c));
    source.picturePath = list.paths.value(row);

    CPdfReport report;
    report.SetOpenWhenDone(false);
    report.SetAuditProgram(QString::fromLatin1(Audit::kCli));
    const CPdfReport::Outcome outcome = report.Start(source);
    const bool ok =
        outcome == CPdfReport::Reused || (outcome == CPdfReport::Started && report.WaitFinished());
    if (!ok) {
        CliStatus(QStringLiteral("ExportPdfFail"));
        return Fail(kPdf, report.ErrorText());
    }
    CliStatus(QStringLiteral("ExportPdfOK"));
    CliPrint(QDir::toNativeSeparators(report.PdfPath()));
    return kCliOk;
}

const CliRegistrar xlsRegistrar(
    {kXls, "export-xls --device ID [--start YYYY-MM-DD] [--end YYYY-MM-DD] FILE", RunXls});
const CliRegistrar pdfRegistrar(
    {kPdf, "export-pdf --device ID --record N [--start YYYY-MM-DD] [--end YYYY-MM-DD]", RunPdf});

} // namespace
