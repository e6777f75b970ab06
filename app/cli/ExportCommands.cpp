// brtx-cli export, export-xls and export-pdf: the history page's exports after the same
// query, without the window; --central reads the list from the central store.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "app/cli/HistoryArgs.h"
#include "base/Paths.h"
#include "history/core/CalibrationStates.h"
#include "history/core/HistoryQuery.h"
#include "reports/ExcelExport.h"
#include "reports/ExportJob.h"
#include "reports/PdfReport.h"
#include "reports/Report.h"
#include "store/Audit.h"

#include "base/Language.h"
#include <QDate>
#include <QDir>
#include <cstdio>

namespace {

const char* const kXls = "export-xls";
const char* const kPdf = "export-pdf";
const char* const kExport = "export";

int Usage(const char* name, const QString& reason) {
    return CliUsageError(name, reason);
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
                return CliUnknownArgument(name, arg);
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
        return Usage(name, QStringLiteral("--device ID is required"));
    if (!FileExists(GetDatabasePath()))
        return Fail(name, QStringLiteral("no database at %1").arg(GetDatabasePath()));
    return -1;
}

int RunXls(const CLanguage& texts, const QStringList& argsIn) {
    // --central: the list from the central store, with the full set of list options.
    QStringList args = argsIn;
    bool central = false;
    QString conninfo, centralError;
    if (!TakeCentralArg(texts, args, central, conninfo, centralError))
        return Usage(kXls, centralError);
    if (central)
        return RunCentralXls(texts, conninfo, args, kXls);
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

    const HistoryList list = QueryHistoryList(texts, q.device, q.start, q.end);
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

// export FILE: the list in the format of FILE's extension, written as the page does.
int RunExport(const CLanguage& texts, const QStringList& arguments) {
    QStringList args = arguments;
    HistoryArgs history;
    QString error;
    // --central [CONNINFO]: the list from the central store instead of this computer's.
    bool central = false;
    QString conninfo;
    if (!TakeCentralArg(texts, args, central, conninfo, error) ||
        !TakeHistoryArgs(args, history, error))
        return Usage(kExport, error);
    for (const QString& arg : args)
        if (arg.startsWith(QLatin1String("--")))
            return CliUnknownArgument(kExport, arg);
    if (args.size() != 1)
        return Usage(kExport, QStringLiteral("one output FILE is needed"));
    const QString path = QDir::current().absoluteFilePath(args.first());
    const ExportFormat format = ExportFormatOf(path);
    if (format == ExportFormat::None)
        return Usage(kExport, QStringLiteral("FILE must end in .xls (or .XLS), .xlsx or .csv"));
    if (!central && !FileExists(GetDatabasePath()))
        return Fail(kExport, QStringLiteral("no database at %1").arg(GetDatabasePath()));

    // The list as the page shows it for the same choices, streamed from the database.
    const std::unique_ptr<IRecordSource> source = ListSource(texts, central, conninfo);
    HistoryListShape shape;
    bool badSort = false;
    if (!ShapeOf(*source, history, shape, error, &badSort))
        return badSort ? Usage(kExport, error) : Fail(kExport, error);
    qint64 count = 0;
    if (!source->Count(history.filter, count, &error))
        return Fail(kExport, error);
    const HistoryFilter& f = history.filter;
    if (count == 0)
        return Fail(kExport, QStringLiteral("no records of %1 in %2 .. %3 match; nothing written")
                                 .arg(f.allDevices ? QStringLiteral("any device")
                                                   : QStringLiteral("device ") + f.device,
                                      f.startDate, f.endDate));

    ExportRequest request;
    request.path = path;
    request.format = format;
    request.columns = ExportColumnsOf(shape.columns, texts);
    request.total = count;
    const QString unknown = CCalibrationStates::UnknownText(texts);
    request.rows = [&](const ExportRowSink& sink, QString* readError) {
        return source->Stream(
            history.filter, shape.sort,
            [&sink, &unknown](const HistoryRow& row) { return sink(ExportCellsOf(row, unknown)); },
            readError);
    };
    const ExportResult result = RunExport(request);
    if (!result.ok) {
        CliPrint(texts.GetText(QStringLiteral("ExportExcelFail")) + QLatin1Char(' ') + result.path);
        return Fail(kExport,
                    QStringLiteral("writing %1 failed: %2").arg(result.path, result.error));
    }
    if (!central)
        Audit::AppendTo(GetDatabasePath(), QString::fromLatin1(Audit::kCli),
                        QStringLiteral("export"), f.allDevices ? QStringLiteral("*") : f.device,
                        QStringLiteral("%1 rows file %2").arg(result.rows).arg(result.path),
                        QStringLiteral("ok"));
    CliPrint(texts.GetText(QStringLiteral("ExportExcelOK")) + QLatin1Char(' ') + result.path);
    CliPrint(QStringLiteral("%1 rows written to %2").arg(result.rows).arg(result.path));
    return kCliOk;
}

int RunPdf(const CLanguage& texts, const QStringList& arguments) {
    QStringList args = arguments;
    bool central = false;
    QString conninfo, centralError;
    if (!TakeCentralArg(texts, args, central, conninfo, centralError))
        return Usage(kPdf, centralError);
    if (central)
        return RunCentralPdf(texts, conninfo, args, kPdf);
    const bool combined = args.removeAll(QStringLiteral("--combined")) > 0;
    Query q;
    const int usage = Parse(kPdf, args, true, &q);
    if (usage >= 0)
        return usage;
    if (!q.rest.isEmpty())
        return CliUnknownArgument(kPdf, q.rest.first());
    if (q.record.isEmpty())
        return Usage(kPdf, QStringLiteral("--record N[,M,...] is required"));
    const QStringList records = q.record.split(QLatin1Char(','));
    if (records.contains(QString()))
        return Usage(kPdf, QStringLiteral("--record wants N or N,M,... without empty entries"));

    const HistoryList list = QueryHistoryList(texts, q.device, q.start, q.end);
    const int columns = static_cast<int>(qMin<qsizetype>(list.headings.size(), kReportMaxHeadings));
    // The report's last line is the record's calibration state, as the list's last column.
    SQLite::Database db;
    std::unique_ptr<CCalibrationStates> calibration;
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) == 0)
        calibration = std::make_unique<CCalibrationStates>(db, texts);
    QVector<ReportSource> sources;
    for (const QString& record : records) {
        int row = -1;
        for (int r = 0; r < list.rows.size() && row < 0; ++r)
            if (list.rows.at(r).value(1) == record)
                row = r;
        if (row < 0)
            return Fail(kPdf,
                        QStringLiteral("record %1 of device %2 is not in the list of %3 .. %4")
                            .arg(record, q.device, q.start, q.end));
        ReportSource source;
        source.headings = list.headings.mid(0, columns);
        for (int c = 0; c < columns; ++c)
            source.cells.append(list.rows.at(row).value(c));
        if (columns < kReportMaxHeadings) {
            const QStringList& cells = list.rows.at(row);
            source.headings.append(CCalibrationStates::Heading(texts));
            source.cells.append(
                calibration ? calibration->Text(cells.value(0), cells.value(2), cells.value(3))
                            : CCalibrationStates::UnknownText(texts));
        }
        source.picturePath = list.paths.value(row);
        sources.append(source);
    }

    return WriteReports(texts, kPdf, sources, combined);
}

} // namespace

int WriteReports(const CLanguage& texts, const char* command, const QVector<ReportSource>& sources,
                 bool combined) {
    // One report per record, or all of them in one with --combined.
    QVector<QVector<ReportSource>> reports;
    if (combined)
        reports.append(sources);
    else
        for (const ReportSource& source : sources)
            reports.append({source});
    int failed = 0;
    for (const QVector<ReportSource>& pages : reports) {
        CPdfReport report(nullptr, texts);
        report.SetOpenWhenDone(false);
        report.SetAuditProgram(QString::fromLatin1(Audit::kCli));
        const CPdfReport::Outcome outcome = report.StartCombined(pages);
        const bool ok = outcome == CPdfReport::Reused ||
                        (outcome == CPdfReport::Started && report.WaitFinished());
        if (!ok) {
            CliStatus(texts, QStringLiteral("ExportPdfFail"));
            std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(report.ErrorText()));
            ++failed;
            continue;
        }
        CliStatus(texts, QStringLiteral("ExportPdfOK"));
        CliPrint(QDir::toNativeSeparators(report.PdfPath()));
    }
    return failed ? kCliFailed : kCliOk;
}

namespace {

const CliRegistrar xlsRegistrar(
    {kXls,
     "export-xls --device ID [--start YYYY-MM-DD] [--end YYYY-MM-DD] FILE | export-xls --central "
     "[CONNINFO] | --central-file FILE (--device ID | --all-devices) [list options] FILE",
     RunXls, "write one device's record list to an .xls spreadsheet (any list with --central)",
     CliListOptions() + QList<CliOption>{CliCentralOption(), CliCentralFileOption()},
     "brtx-cli export-xls --device 000123456789 --start 2024-03-01 records.xls"});
const CliRegistrar exportRegistrar(
    {kExport,
     "export [--central [CONNINFO] | --central-file FILE] (--device ID | --all-devices) [--start "
     "YYYY-MM-DD] "
     "[--end YYYY-MM-DD] [--search TEXT] [--mode MODE] [--min X] [--max Y] [--over-limit 1|2] "
     "[--sort HEADING[:asc|:desc]] FILE.xls|FILE.xlsx|FILE.csv",
     RunExport, "write the record list to a spreadsheet; FILE's extension picks the format",
     CliListOptions() + QList<CliOption>{CliCentralOption(), CliCentralFileOption()},
     "brtx-cli export --all-devices --start 2024-01-01 year.xlsx"});
const CliRegistrar
    pdfRegistrar({kPdf,
                  "export-pdf --device ID --record N[,M,...] [--combined] [--start YYYY-MM-DD] "
                  "[--end YYYY-MM-DD] | export-pdf --central [CONNINFO] | --central-file FILE "
                  "--device ID --record N",
                  RunPdf,
                  "write the PDF test report of one or more records into pdf/",
                  {{"--device ID", "the device the records belong to"},
                   {"--record N[,M,...]", "the record numbers, separated by commas"},
                   {"--combined", "one report holding every record instead of one report each"},
                   {"--start YYYY-MM-DD", "look for the records from this day on"},
                   {"--end YYYY-MM-DD", "look for the records up to this day"},
                   CliCentralOption(),
                   CliCentralFileOption()},
                  "brtx-cli export-pdf --device 000123456789 --record 12,13 --combined"});

} // namespace
