// Export handlers of the history page: the .xls spreadsheet of the list and the PDF report
// of the selected record.
#include "history/page/History.h"

#include "app/shell/Status.h"
#include "base/Language.h"
#include "history/core/Biff.h"
#include "history/core/ExcelExport.h"
#include "history/core/PdfReport.h"
#include "history/core/RecordWorker.h"
#include "history/core/Report.h"
#include "history/page/HistoryModel.h"

#include <QApplication>
#include <QFileDialog>
#include <QPushButton>

namespace {

const char* const kReportObject = "pdfReport";

} // namespace

void CHistory::OnBnClickedExportExcel() {
    if (m_nRows <= 0 || m_nCols <= 0)
        return;

    QWidget* owner = MainWindow() ? MainWindow() : this;
    const QString chosen = QFileDialog::getSaveFileName(owner, QString(), QString(),
                                                        QStringLiteral("Excel Files (*.xls)"));
    if (chosen.isEmpty())
        return;
    const QString path = XlsExportPath(chosen);
    if (path.isEmpty())
        return; // another extension: the export ends

    // The rows come straight from the source in the list's filter and order (not from the
    // list, which holds only what is in view); the worker writes the file.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QStringList headings;
    for (int c = 0; c < m_pModel->SourceColumnCount(); ++c)
        headings.append(ListHeading(c).left(256));
    const HistoryFilter filter = m_filter;
    const HistorySort sort = m_sort;
    QString error;
    bool written = false;
    m_pWorker->RunAndWait([&](IRecordSource& source) {
        QVector<QStringList> rows;
        // One more row than a sheet holds, so the writer reports a list that does not fit.
        const qint64 most = qint64(Biff::kMaxRows);
        const bool read = source.Stream(
            filter, sort,
            [&rows, most](const HistoryRow& row) {
                rows.append(row.cells);
                return rows.size() < most;
            },
            &error);
        written = read && ExportListToXls(path, headings, rows, &error);
    });
    if (!written)
        qWarning("Spreadsheet export to %s: %s", qPrintable(path), qPrintable(error.trimmed()));
    QApplication::restoreOverrideCursor();
}

void CHistory::OnBnClickedExportPdf() {
    if (m_nSelRow == -1) {
        SetStatusText(GetText(QStringLiteral("ClickRecord")));
        return;
    }
    auto* report = findChild<CPdfReport*>(QLatin1String(kReportObject), Qt::FindDirectChildrenOnly);
    if (!report) {
        report = new CPdfReport(this);
        report->setObjectName(QLatin1String(kReportObject));
        connect(report, &CPdfReport::finished, this, [this](bool ok) {
            m_pExportPdf->setEnabled(true);
            SetStatusText(
                GetText(ok ? QStringLiteral("ExportPdfOK") : QStringLiteral("ExportPdfFail")));
        });
    }
    if (report->Running())
        return;

    m_pExportPdf->setEnabled(false);
    ReportSource source;
    const int columns = qMin(ListColumnCount(), kReportMaxHeadings);
    for (int c = 0; c < columns; ++c) {
        source.headings.append(ListHeading(c));
        source.cells.append(ListCell(m_nSelRow, c));
    }
    source.picturePath = m_strSelPath;

    switch (report->Start(source)) {
    case CPdfReport::Reused:
        m_pExportPdf->setEnabled(true);
        SetStatusText(GetText(QStringLiteral("ExportPdfOK")));
        break;
    case CPdfReport::Failed:
        qWarning("PDF report: %s", qPrintable(report->ErrorText()));
        m_pExportPdf->setEnabled(true);
        SetStatusText(GetText(QStringLiteral("ExportPdfFail")));
        break;
    case CPdfReport::Started:
        break; // finished() re-enables the button and shows the result
    }
}
