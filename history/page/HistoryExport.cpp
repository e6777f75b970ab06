// Export handlers of the history page: the .xls spreadsheet of the list and the PDF report
// of the selected record.
#include "history/page/History.h"

void CHistory::OnBnClickedExportExcel() {}

void CHistory::OnBnClickedExportPdf() {}
