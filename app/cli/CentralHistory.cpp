// brtx-cli export-xls --central and export-pdf --central: the exports of a list read from the
// central store.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"
#include "app/cli/HistoryArgs.h"
#include "central/CentralVerify.h"
#include "central/PgConnection.h"

#include "base/Paths.h"
#include "central/CentralRecordSource.h"
#include "history/core/CalibrationStates.h"
#include "reports/ExcelExport.h"
#include "reports/PdfReport.h"
#include "reports/Report.h"
#include "reports/RowWriters.h"

#include <QDir>

#include <cstdio>

namespace {

// Reads the filtered list from the central store: headings, rows and their stored Paths.
bool CentralList(const CLanguage& texts, const QString& conninfo, const HistoryArgs& h,
                 QStringList& headings, QVector<HistoryRow>& rows, QString& error) {
    CCentralRecordSource source(conninfo, QString(), texts);
    HistoryListShape shape;
    bool badSort = false;
    if (!ShapeOf(source, h, shape, error, &badSort))
        return false;
    headings = shape.headings;
    return source.Stream(
        h.filter, shape.sort,
        [&](const HistoryRow& row) {
            rows.append(row);
            return true;
        },
        &error);
}

int Fail(const char* command, const QString& error) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(error));
    return kCliFailed;
}

} // namespace

int RunCentralXls(const CLanguage& texts, const QString& conninfo, QStringList args,
                  const char* command) {
    HistoryArgs h;
    QString error;
    if (!TakeHistoryArgs(args, h, error))
        return CliUsageError(command, error);
    if (args.size() != 1 || args.first().startsWith(QLatin1String("--")))
        return CliUsageError(command, QStringLiteral("one output FILE is needed"));
    const QString path = XlsExportPath(QDir::current().absoluteFilePath(args.first()));
    if (path.isEmpty())
        return CliUsageError(command, QStringLiteral("the file name must end in .xls or .XLS"));
    QStringList headings;
    QVector<HistoryRow> rows;
    if (!CentralList(texts, conninfo, h, headings, rows, error))
        return Fail(command, error);
    if (rows.isEmpty())
        return Fail(command, QStringLiteral("no records in the central store for this list; "
                                            "nothing written"));
    // The calibration column last, as in every list export.
    headings << CCalibrationStates::Heading(texts);
    const QString unknown = CCalibrationStates::UnknownText(texts);
    QVector<QStringList> cells;
    cells.reserve(rows.size());
    for (const HistoryRow& r : rows)
        cells.append(ExportCellsOf(r, unknown));
    if (!ExportListToXls(path, headings, cells, &error))
        return Fail(command, QStringLiteral("writing %1 failed: %2").arg(path, error.trimmed()));
    CliPrint(QStringLiteral("%1 rows written to %2").arg(cells.size()).arg(path));
    return kCliOk;
}

int RunCentralPdf(const CLanguage& texts, const QString& conninfo, QStringList args,
                  const char* command) {
    QString record;
    QStringList rest;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--record") && i + 1 < args.size())
            record = args[++i];
        else
            rest << args[i];
    }
    HistoryArgs h;
    QString error;
    if (!TakeHistoryArgs(rest, h, error))
        return CliUsageError(command, error);
    if (record.isEmpty() || !rest.isEmpty())
        return record.isEmpty() ? CliUsageError(command, QStringLiteral("--record N is required"))
                                : CliUnknownArgument(command, rest.first());
    QStringList headings;
    QVector<HistoryRow> rows;
    if (!CentralList(texts, conninfo, h, headings, rows, error))
        return Fail(command, error);
    const HistoryRow* found = nullptr;
    for (const HistoryRow& r : rows)
        if (r.recordNo == record && !found)
            found = &r;
    if (!found)
        return Fail(command, QStringLiteral("record %1 is not in the central list").arg(record));
    ReportSource source;
    const int columns = int(qMin<qsizetype>(headings.size(), kReportMaxHeadings));
    source.headings = headings.mid(0, columns);
    source.cells = found->cells.mid(0, columns);
    // The Path comes from the server: only a file right inside this desk's folder of the
    // record's device may be shown.
    source.picturePath = DevicePicturePath(found->machineNo, found->path);
    // The integrity lines are the central store's verification of the record, never this
    // desk's seal.
    Central::PgConnection db;
    Central::VerifyOptions options;
    options.device = found->machineNo;
    options.records = true;
    if (!db.Open(conninfo, &error))
        return Fail(command, QStringLiteral("cannot reach the central store: %1").arg(error));
    const Central::VerifyReport report = Central::VerifyCentral(db, options);
    if (!report.readable)
        return Fail(command,
                    QStringLiteral("the central store cannot be checked: %1").arg(report.error));
    const auto state = report.states.constFind(
        Seal::RecordKey(found->machineNo, found->recordNo, found->date, found->time));
    source.integrity = Central::StatusOf(
        state != report.states.cend() ? *state : Central::RecordCheck{"UNSEALED", {}, {}, false});
    return WriteReports(texts, command, {source}, false);
}
