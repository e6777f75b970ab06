#pragma once
// The export formats and the combined PDF report: rows of the history list's shape written to
// .xlsx and CSV (time and peak memory of this process while writing), and a combined report
// of many records with photographs through each PDF converter.
#include <QString>

namespace bench {

struct RowExportFigures {
    bool ok = false;
    QString problem;
    qint64 rows = 0;
    double ms = 0;
    double cpuMs = 0; // processor time of the writing thread
    long peakKb = 0;  // peak resident set of this process while writing
    long startKb = 0; // resident set before
    qint64 fileBytes = 0;
};
// format: "xlsx" or "csv"; 28 columns per row like the history benchmark's records.
RowExportFigures RunRowExport(const QString& format, qint64 rows);

struct CombinedPdfFigures {
    bool ok = false;
    QString problem;
    double ms = 0;
    int pages = 0;
    qint64 fileBytes = 0;
};
// A combined report of `records` records with photographs of photoBytes bytes, made with the
// converter named ("wkhtmltopdf" or "brtx-pdf") in a temporary program folder.
CombinedPdfFigures RunCombinedPdf(const QString& programDir, const QString& converter, int records,
                                  int photoBytes);

} // namespace bench
