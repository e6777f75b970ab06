// Export handlers of the history page: the list as a spreadsheet (.xls, .xlsx or CSV, written
// on a worker thread) and the PDF report of the selected record, or one combined report of
// several selected records. A bar under the picture shows the progress of an export that
// runs longer than a second and cancels it; the result and the file's path go to the status
// line.
#include "history/page/History.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "history/core/CalibrationStates.h"
#include "history/core/RecordWorker.h"
#include "history/page/HistoryModel.h"
#include "reports/ExportJob.h"
#include "reports/PdfReport.h"
#include "reports/Report.h"
#include "store/Audit.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <algorithm>

namespace {

const char* const kReportObject = "pdfReport";

// The save dialog's types, .xls first as it always was.
struct FileType {
    ExportFormat format;
    const char* filter;
};
const FileType kFileTypes[] = {
    {ExportFormat::Xls, "Excel Files (*.xls)"},
    {ExportFormat::Xlsx, "Excel Workbook (*.xlsx)"},
    {ExportFormat::Csv, "CSV (*.csv)"},
};

} // namespace

QString CHistory::StatusWithPath(const QString& key, const QString& path,
                                 const QString& reason) const {
    QString text = GetText(key) + QLatin1Char(' ') + QDir::toNativeSeparators(path);
    if (!reason.isEmpty())
        text += QStringLiteral(" (%1)").arg(reason);
    return text;
}

QVector<int> CHistory::SelectedRows() const {
    QVector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool CHistory::ExportRunning() const {
    const auto* report =
        findChild<CPdfReport*>(QLatin1String(kReportObject), Qt::FindDirectChildrenOnly);
    return m_bExporting || m_bPdfRowsPending || (report && report->Running());
}

void CHistory::PlaceExportBar() {
    if (!m_pExportBar)
        return;
    // At the foot of the page, over the list's last row while it is shown.
    m_pExportBar->setGeometry(8, height() - 36, qMax(240, qMin(520, width() / 2)), 28);
}

void CHistory::ShowExportBusy(bool busy) {
    if (!m_pExportBar) {
        m_pExportBar = new QWidget(this);
        m_pExportBar->setObjectName(QStringLiteral("exportBar"));
        auto* layout = new QHBoxLayout(m_pExportBar);
        layout->setContentsMargins(0, 0, 0, 0);
        m_pExportProgress = new QProgressBar(m_pExportBar);
        m_pExportCancel = new QPushButton(GetText(QStringLiteral("BtnCancelExport")), m_pExportBar);
        m_pExportCancel->setObjectName(QStringLiteral("exportCancel"));
        layout->addWidget(m_pExportProgress, 1);
        layout->addWidget(m_pExportCancel);
        connect(m_pExportCancel, &QPushButton::clicked, this, &CHistory::OnExportCancel);
        m_pExportBar->hide();
        m_pExportBarDelay = new QTimer(this);
        m_pExportBarDelay->setSingleShot(true);
        connect(m_pExportBarDelay, &QTimer::timeout, this, [this] {
            if (!ExportRunning())
                return;
            PlaceExportBar();
            m_pExportBar->show();
            m_pExportBar->raise();
        });
    }
    m_pExportExcel->setEnabled(!busy);
    m_pExportPdf->setEnabled(!busy);
    if (busy) {
        m_pExportProgress->setRange(0, 0); // busy until the first progress report
        m_pExportBarDelay->start(1000);
    } else {
        m_pExportBarDelay->stop();
        m_pExportBar->hide();
    }
}

void CHistory::OnExportCancel() {
    if (m_exportCancel)
        *m_exportCancel = true;
    if (CPdfReport* report =
            findChild<CPdfReport*>(QLatin1String(kReportObject), Qt::FindDirectChildrenOnly))
        report->Cancel();
}

void CHistory::OnBnClickedExportExcel() {
    if (m_nRows <= 0 || m_nCols <= 0 || ExportRunning())
        return;

    QWidget* owner = window(); // the main window when the page is in it
    QStringList filters;
    for (const FileType& t : kFileTypes)
        filters.append(QLatin1String(t.filter));
    QString chosenType = filters.first();
    const QString chosen = QFileDialog::getSaveFileName(
        owner, QString(), QString(), filters.join(QStringLiteral(";;")), &chosenType);
    if (chosen.isEmpty())
        return;
    ExportFormat format = ExportFormat::Xls;
    for (const FileType& t : kFileTypes)
        if (chosenType == QLatin1String(t.filter))
            format = t.format;
    const QString path = ExportPathFor(chosen, &format);
    if (path.isEmpty()) {
        emit statusChanged(StatusWithPath(QStringLiteral("ExportExcelFail"), chosen,
                                          QStringLiteral("use .xls, .xlsx or .csv")));
        return;
    }

    // The rows come straight from the source in the list's filter and order (not from the
    // list, which holds only what is in view), read and written on a worker thread.
    ExportRequest request;
    request.path = path;
    request.format = format;
    request.columns = ExportColumnsOf(m_columns, m_language);
    request.total = m_bCountPending ? -1 : m_pModel->rowCount(); // -1: not known yet
    const HistoryFilter filter = m_filter;
    const HistorySort sort = m_sort;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    m_exportCancel = cancel;
    m_bExporting = true;
    ShowExportBusy(true);
    // The audit entry is written there too: the database may be busy with a download.
    const QString dbPath = FileExists(GetDatabasePath()) ? GetDatabasePath() : QString();
    const QString unknown = CCalibrationStates::UnknownText(m_language);
    m_pExportWorker = new CRecordWorker(m_source->Another(), this);
    m_pExportWorker->Run<ExportResult>(
        this,
        [this, request, filter, sort, cancel, dbPath, unknown](IRecordSource& source) mutable {
            // Cancel also ends a read that waits for the server.
            source.SetInterrupt([cancel] { return cancel->load(); });
            request.rows = [&source, filter, sort, unknown](const ExportRowSink& sink,
                                                            QString* error) {
                return source.Stream(
                    filter, sort,
                    [&sink, &unknown](const HistoryRow& row) {
                        return sink(ExportCellsOf(row, unknown));
                    },
                    error);
            };
            const ExportResult result = RunExport(
                request,
                [this](qint64 done, qint64 total) {
                    QMetaObject::invokeMethod(
                        this,
                        [this, done, total] {
                            if (!m_pExportProgress || total <= 0)
                                return;
                            m_pExportProgress->setRange(0, 1000);
                            m_pExportProgress->setValue(
                                static_cast<int>(qMin<qint64>(1000, done * 1000 / total)));
                        },
                        Qt::QueuedConnection);
                },
                cancel.get());
            if (!dbPath.isEmpty())
                Audit::AppendTo(dbPath, QStringLiteral("page"), QStringLiteral("export"),
                                filter.allDevices ? QStringLiteral("*") : filter.device,
                                QStringLiteral("%1 rows file %2").arg(result.rows).arg(result.path),
                                result.ok ? QStringLiteral("ok") : QStringLiteral("failed"));
            return result;
        },
        [this](ExportResult result) { OnExportFinished(result); });
}

void CHistory::OnExportFinished(const ExportResult& result) {
    m_bExporting = false;
    m_exportCancel.reset();
    // Its thread has ended by the time the object is gone; nothing more runs there.
    m_pExportWorker->deleteLater();
    m_pExportWorker = nullptr;
    ShowExportBusy(false);
    if (result.ok)
        emit statusChanged(StatusWithPath(QStringLiteral("ExportExcelOK"), result.path));
    else
        emit statusChanged(
            StatusWithPath(QStringLiteral("ExportExcelFail"), result.path, result.error));
}

CPdfReport* CHistory::Report() {
    auto* report = findChild<CPdfReport*>(QLatin1String(kReportObject), Qt::FindDirectChildrenOnly);
    if (!report) {
        report = new CPdfReport(this, m_language);
        report->setObjectName(QLatin1String(kReportObject));
        connect(report, &CPdfReport::finished, this, [this, report](bool ok) {
            const bool combined = report->property("combined").toBool();
            ShowExportBusy(false);
            if (!combined)
                emit statusChanged(
                    GetText(ok ? QStringLiteral("ExportPdfOK") : QStringLiteral("ExportPdfFail")));
            else if (ok)
                emit statusChanged(
                    StatusWithPath(QStringLiteral("ExportPdfOK"), report->PdfPath()));
            else
                emit statusChanged(StatusWithPath(QStringLiteral("ExportPdfFail"),
                                                  report->PdfPath(), report->ErrorText()));
        });
    }
    return report;
}

void CHistory::OnBnClickedExportPdf() {
    if (m_nSelRow == -1) {
        emit statusChanged(GetText(QStringLiteral("ClickRecord")));
        return;
    }
    if (ExportRunning())
        return;

    const QVector<int> selected = SelectedRows();
    const QVector<int> rows = selected.size() > 1 ? selected : QVector<int>{m_nSelRow};
    // Rows whose block is not held (a selection reaching far down the list) are read on the
    // worker first; the page never waits for them.
    QVector<int> missing;
    for (int row : rows) {
        const int block = row / CHistoryModel::kBlockRows;
        if (!m_pModel->HasRow(row) && !missing.contains(block))
            missing.append(block);
    }
    if (missing.isEmpty()) {
        StartPdfReport(rows, {});
        return;
    }
    const quint64 ticket = m_queryTicket;
    const quint64 generation = m_pModel->Generation();
    const HistoryFilter filter = m_filter;
    const HistorySort sort = m_sort;
    m_bPdfRowsPending = true;
    using Blocks = QHash<int, QVector<HistoryRow>>;
    m_pWorker->Run<Blocks>(
        this,
        [filter, sort, missing](IRecordSource& source) {
            Blocks blocks;
            for (int block : missing) {
                QVector<HistoryRow> got;
                if (!source.Fetch(filter, sort, qint64(block) * CHistoryModel::kBlockRows,
                                  CHistoryModel::kBlockRows, got, nullptr))
                    break;
                blocks.insert(block, got);
            }
            return blocks;
        },
        [this, ticket, generation, rows](Blocks blocks) {
            m_bPdfRowsPending = false;
            if (ticket != m_queryTicket || generation != m_pModel->Generation())
                return; // the list changed meanwhile: its selection is gone
            StartPdfReport(rows, blocks);
        });
}

void CHistory::StartPdfReport(const QVector<int>& rows,
                              const QHash<int, QVector<HistoryRow>>& fetched) {
    CPdfReport* report = Report();
    if (ExportRunning())
        return;
    const bool combined = rows.size() > 1;
    report->setProperty("combined", combined);
    const int columns = qMin(ListColumnCount(), kReportMaxHeadings);
    auto sourceOf = [&](int row) {
        ReportSource source;
        for (int c = 0; c < columns; ++c) {
            source.headings.append(ListHeading(c));
            source.cells.append(m_pModel->Cell(row, c));
        }
        const HistoryRow* record = m_pModel->Row(row);
        source.picturePath = record ? record->path : QString();
        if (m_pSource->currentIndex() == 1) { // from the server: this desk's device folder only
            source.picturePath =
                record ? DevicePicturePath(record->machineNo, source.picturePath) : QString();
            // The central store's verification, as the row's mark shows it.
            source.integrity = m_pModel->CentralStatus(row);
            if (!source.integrity)
                source.integrity = Seal::Status();
        }
        return source;
    };
    // The rows held now first: taking in a fetched block may let far ones go.
    QHash<int, ReportSource> made;
    for (int row : rows)
        if (m_pModel->HasRow(row))
            made.insert(row, sourceOf(row));
    for (auto it = fetched.cbegin(); it != fetched.cend(); ++it) {
        m_pModel->SetBlock(m_pModel->Generation(), it.key(), it.value());
        for (int row : rows)
            if (row / CHistoryModel::kBlockRows == it.key() && !made.contains(row))
                made.insert(row, sourceOf(row));
    }
    QVector<ReportSource> sources;
    for (int row : rows) {
        if (!made.contains(row)) {
            // Its block could not be read: no report with empty cells.
            emit statusChanged(GetText(QStringLiteral("ExportPdfFail")));
            return;
        }
        sources.append(made.value(row));
    }

    ShowExportBusy(true);
    switch (combined ? report->StartCombined(sources) : report->Start(sources.first())) {
    case CPdfReport::Reused:
        ShowExportBusy(false);
        emit statusChanged(combined
                               ? StatusWithPath(QStringLiteral("ExportPdfOK"), report->PdfPath())
                               : GetText(QStringLiteral("ExportPdfOK")));
        break;
    case CPdfReport::Failed:
        qWarning("PDF report: %s", qPrintable(report->ErrorText()));
        ShowExportBusy(false);
        emit statusChanged(combined ? StatusWithPath(QStringLiteral("ExportPdfFail"),
                                                     report->PdfPath(), report->ErrorText())
                                    : GetText(QStringLiteral("ExportPdfFail")));
        break;
    case CPdfReport::Started:
        break; // finished() re-enables the buttons and shows the result
    }
}
