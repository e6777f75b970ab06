// Export handlers of the history page: the .xls spreadsheet of the list and the PDF report
// of the selected record.
#include "history/page/History.h"

#include "app/shell/Status.h"
#include "base/Language.h"
#include "history/core/ExcelExport.h"
#include "history/core/PdfReport.h"
#include "history/core/Report.h"
#include "store/Audit.h"

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

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int columns = ListColumnCount();
    QStringList headings;
    for (int c = 0; c < columns; ++c)
        headings.append(ListHeading(c).left(256));
    QVector<QStringList> rows;
    const int count = ListRowCount();
    rows.reserve(count);
    for (int r = 0; r < count; ++r) {
        QStringList cells;
        cells.reserve(columns);
        for (int c = 0; c < columns; ++c)
            cells.append(ListCell(r, c));
        rows.append(cells);
    }
    QString error;
    const bool written = ExportListToXls(path, headings, rows, &error);
    if (!written)
        qWarning("Spreadsheet export to %s: %s", qPrintable(path), qPrintable(error.trimmed()));
    Audit::AppendTo(m_query.DatabasePath(), QStringLiteral("page"), QStringLiteral("export-xls"),
                    m_strDevice, QStringLiteral("%1 rows file %2").arg(count).arg(path),
                    written ? QStringLiteral("ok") : QStringLiteral("failed"));
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
