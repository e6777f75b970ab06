#pragma once
// The history benchmarks, run in this process on the offscreen platform: the history page's
// query and list fill over a database of N records of one device, the .xls export of the
// page's list and the PDF report of one record.
#include <QString>
#include <QStringList>
#include <QVector>

namespace bench {

// A temporary program folder whose brtx.db holds `rows` records of one device (written
// straight into the file in one transaction), with that device's twenty field titles.
class HistoryHome {
public:
    HistoryHome(const QString& programDir, int rows);
    ~HistoryHome();
    HistoryHome(const HistoryHome&) = delete;
    HistoryHome& operator=(const HistoryHome&) = delete;

    bool Ok() const { return m_ok; }
    QString Problem() const { return m_problem; }
    QString Path() const;
    double FillMs() const { return m_fillMs; }
    // Makes this folder the program folder (BRTX_HOME) and reloads the texts.
    void Use() const;

    static QString Device() { return QStringLiteral("0123456789"); }

private:
    struct Impl;
    Impl* d;
    bool m_ok = false;
    QString m_problem;
    double m_fillMs = 0;
};

struct ListFigures {
    bool ok = false;
    QString problem;
    int rows = 0; // rows the list shows
    int columns = 0;
    double queryMs = 0; // the history query alone (median of the runs)
    double pageMs = 0;  // the page's Query handler and the repaint it causes (median)
    double firstPageMs = 0;
};

// Opens the history page on the home's database, queries the whole date range `runs` times.
ListFigures RunHistoryList(const HistoryHome& home, int runs);

struct XlsFigures {
    bool ok = false;
    QString problem;
    int rows = 0;
    double ms = 0; // collecting the list's cells as the page does and writing the file
    qint64 fileBytes = 0;
};

// For each count: exports the first `count` rows of the page's list (after a whole-range
// query) to an .xls file, and checks the file by reading it back.
QVector<XlsFigures> RunXlsExport(const HistoryHome& home, const QVector<int>& rowCounts);

struct PdfFigures {
    bool ok = false;
    QString problem;
    double ms = 0; // press to finished report
    qint64 fileBytes = 0;
};

// Selects the first row of the page's list and presses "Export PDF"; waits for the report.
PdfFigures RunPdfExport(const HistoryHome& home, int photoBytes);

} // namespace bench
