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
    // generated: the rows are made by one SQL statement (quick for a million), with names,
    // plates and places as field texts, from 2015 on, 300 tests a day, three devices.
    // keepDir (generated only): the folder is keepDir/workbench-ROWS and stays after the run;
    // a later run with the same keepDir reuses its database instead of generating it again.
    HistoryHome(const QString& programDir, int rows, bool generated = false,
                const QString& keepDir = QString());
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

struct WorkbenchFigures {
    bool ok = false;
    QString problem;
    qint64 rows = 0;
    double firstScreenMs = 0; // Query pressed to count and first rows shown
    double scrollEndMs = 0;   // scrolled to the end until its rows are shown
    double searchMs = 0;      // a search text: count and first screen
    qint64 searchRows = 0;
    double rangeMs = 0; // a result range
    qint64 rangeRows = 0;
    double sortMs = 0;     // sorted by Test Result, descending
    double textSortMs = 0; // sorted by a text column (locale order)
    double heldMb = 0;     // resident memory the page holds after these, over before the query
    double cliMs = 0;      // brtx-cli history of every row to /dev/null
    long cliPeakKb = 0;
    double cliCpuMs = 0; // its processor time (user and system)
    bool cliOk = false;
};

// The history workbench over the home's database: the page's list with filters and sorting,
// and (withCli) brtx-cli history of every row to /dev/null.
WorkbenchFigures RunWorkbench(const HistoryHome& home, const QString& programDir, bool withCli,
                              bool allDevices);

struct StatsFigures {
    bool ok = false;
    QString problem;
    struct Cli {
        QString by;
        double ms = 0, cpuMs = 0; // wall and processor time of brtx-cli stats
        long peakKb = 0;
        int lines = 0;
    };
    QVector<Cli> cli; // --all-devices --by day, week, hour, field:Officer, device
    struct Chart {
        QString name;
        double ms = 0; // the chart chosen until its bars and table are shown
        int bars = 0;
    };
    QVector<Chart> charts;
    double heldMb = 0; // resident memory the page holds after every chart, over before
};

// The statistics over the home's database (every device): brtx-cli stats by several groups,
// and each chart of the history page's Statistics tab.
StatsFigures RunStats(const HistoryHome& home, const QString& programDir);

} // namespace bench
