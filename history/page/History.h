#pragma once
// The history page: pick a device (or every device) and a date range, narrow the list with a
// search text, a test mode and a result range, sort it by a heading, show the selected
// record's picture and result, export the list (.xls) or one record (PDF report).
//
// The rows are read from an IRecordSource on a worker thread, a block at a time as they come
// into view; the page swaps the source with SetSource().
//
// Every control carries its id as objectName (decimal text) and as the dynamic property
// "ctrlId" (int), so tests and the exports find them with Control(id) or findChild.
#include <QHash>
#include <QPixmap>
#include <QWidget>

#include "base/Language.h"
#include "history/core/HistoryFilter.h"
#include "history/core/HistoryQuery.h"
#include "history/core/RecordSource.h"

#include <atomic>
#include <memory>

class QComboBox;
class QDateEdit;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class CPdfReport;
struct ExportResult;
class QTableView;
class QFrame;
class QLineEdit;
class QSplitter;
class QTimer;
class CRecordWorker;
class CMeter;
class CHistoryModel;
class CStatsView;
class QTabBar;
namespace Central {
class CCentralSyncWorker;
}

namespace HistoryIds {
constexpr int kDeviceLabel = 1029;
constexpr int kDeviceBox = 1049;
constexpr int kStartLabel = 1027;
constexpr int kStartDate = 1025;
constexpr int kEndLabel = 1028;
constexpr int kEndDate = 1026;
constexpr int kQuery = 1008;
constexpr int kExportExcel = 1011;
constexpr int kExportPdf = 1055;
constexpr int kDelete = 1009;
constexpr int kList = 1024;
constexpr int kPicture = 1034;
constexpr int kMeter = 1048;
constexpr int kSearch = 1101;
constexpr int kMode = 1102;
constexpr int kMinResult = 1103;
constexpr int kMaxResult = 1104;
constexpr int kRowCount = 1105;
constexpr int kSplitter = 1106;
constexpr int kSync = 1090;       // shown only when a central store is set
constexpr int kSource = 1091;     // "This computer / Central", shown only when one is set
constexpr int kOverLimit = 1109;  // any result / over limit 1 / over limit 2
constexpr int kTabs = 1107;       // History / Statistics
constexpr int kStats = 1108;      // the statistics tab
constexpr int kCancelRead = 1110; // Cancel after the source choice, while a central read runs
} // namespace HistoryIds

class CHistory : public QWidget {
    Q_OBJECT
public:
    // texts: the program's texts, of which the page keeps a copy (nullptr: the page reads the
    // program folder's Language.ini itself).
    explicit CHistory(QWidget* parent = nullptr, const CLanguage* texts = nullptr);
    const CLanguage& Texts() const { return m_language; }
    ~CHistory() override;

    // Reloads the device box from the record source (keeps the chosen device when it is still
    // there); rebuilds the columns when the shown device changed. The device list is read on
    // the worker: the box changes when its answer is in, the page goes on meanwhile.
    void RefreshDeviceList();

    // The control with the given id (nullptr for an unknown id).
    QWidget* Control(int id) const;

    // Reads from now on go to this source (the local database by default).
    void SetSource(std::shared_ptr<IRecordSource> source);

    // The list as shown. Out-of-range indexes read as empty text. ListRowCount and ListCell are
    // for tests and benchmarks: they wait for the page's reads still running (WaitForList), and
    // ListCell of a row not held yet waits for it; the page's own paths never call them.
    int ListRowCount() const;
    int ListColumnCount() const;
    QString ListHeading(int c) const;
    QString ListCell(int r, int c) const;

    // The selected rows in list order (the list allows extended selection).
    QVector<int> SelectedRows() const;
    // The export bar (progress and cancel), shown while an export runs longer than 1 s.
    QWidget* ExportBar() const { return m_pExportBar; }

    // The accessors below are for tests and benchmarks; those that depend on a read wait for
    // the page's reads still out first (as WaitForList).
    // The lowest selected row (-1 when none) and its stored Path (empty when none).
    int SelectedRow() const { return m_nSelRow; }
    QString SelectedPath() const { return m_strSelPath; }
    // Full path of the selected record's picture: picture folder + stored Path.
    QString PicturePath() const { return Settled(m_strPicturePath); }
    bool PictureShown() const { return Settled(m_bShowPicture); }

    // Row and column counts of the last statement result (title load or query).
    int ResultRowCount() const { return Settled(m_nRows); }
    int ResultColumnCount() const { return Settled(m_nCols); }

    // The device the columns belong to ("" with every device), and the two date texts
    // ("yyyy-MM-dd").
    QString CurrentDevice() const { return Settled(m_strDevice); }
    bool AllDevices() const { return Settled(m_bAllDevices); }
    QString StartDateText() const;
    QString EndDateText() const;

    // The filter and order of the list as shown (after the last Query).
    const HistoryFilter& Filter() const { return m_filter; }
    const HistorySort& Sort() const { return m_sort; }
    // Sorts by a column (-1: the default order), as a click on its heading does.
    void SortBy(int column, bool descending);
    // Waits until the page's reads are in (device list, columns, the last Query's rows and
    // count, the selected photograph) and the worker has nothing left to do; false when the
    // query failed or it took too long. For tests and benchmarks: the page never calls it.
    bool WaitForList(int timeoutMs = 120000);
    // True while a read of the device list, the columns, the list or a photograph is out.
    bool ReadPending() const;
    // Stops the reads that are out: the source's running call is aborted (a central store's
    // statement is cancelled), their answers are dropped, and the next read works again. The
    // Cancel button after the source choice does this.
    void CancelReads();
    // True from a Query or a sort until the first rows of its answer are in the list.
    bool ListPending() const { return m_bQueryPending; }
    // The file the list's column widths, hidden columns and splitter position are kept in.
    QString ViewStatePath() const;
    // The list's model (tests and computed columns).
    CHistoryModel* Model() const { return m_pModel; }
    // The statistics tab and the History / Statistics tab bar.
    CStatsView* Stats() const;
    QTabBar* Tabs() const;
    // Lists exactly the records of a chart's bar (its filter) on the History tab, until the
    // next Query.
    void ListChartChoice(const HistoryFilter& filter);

signals:
    // A text for the main window's status field (a query that failed, an export's outcome,
    // the state of a sync).
    void statusChanged(const QString& text);

public slots:
    void OnBnClickedQuery();
    void OnBnClickedExportExcel(); // defined in HistoryExport.cpp
    void OnBnClickedExportPdf();   // defined in HistoryExport.cpp
    void OnExportCancel();         // defined in HistoryExport.cpp
    void OnBnClickedDelete();
    void OnBnClickedSync();      // defined in HistorySync.cpp
    void OnSourceChanged(int i); // defined in HistorySync.cpp
    void OnCbnSelchangeDevice();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // value, once the page's reads are in (for the test accessors).
    template <class T> T Settled(const T& value) const {
        const_cast<CHistory*>(this)->WaitForList();
        return value;
    }
    QString GetText(const QString& key) const;
    // The text of key, a space and the path; the reason in brackets when there is one.
    QString StatusWithPath(const QString& key, const QString& path,
                           const QString& reason = {}) const;
    // Reads the columns of the device (or every device) and lays the list out for them.
    void RebuildColumns();
    // Fills the device box from the device list's answer.
    void ApplyDevices(const QStringList& devices);
    void ApplyColumns(const QVector<HistoryColumn>& columns);
    void ForgetSelection();
    void OnListSelectionChanged();
    void PaintPicture();
    void SizeColumns();
    void LayoutBar(int pageWidth);
    void LayoutSide();
    void PlaceSplitter();
    // The legal limits of Language.ini for the list's marks; report: a bad entry is named on
    // the status line.
    void ApplyLimits(bool report);
    bool ReadFilter(HistoryFilter& filter);
    void StartQuery(bool countToo);
    void SetResultCounts(const QVector<HistoryColumn>& columns, qint64 count);
    void OnHeadingClicked(int column);
    void OnHeadingMenu(const QPoint& pos);
    void ShowCount();
    void ShowReading();
    // The selected record's photograph from the source, painted when it arrives.
    void RequestPicture(const HistoryRow& row);
    // A Query pressed while the device list or the columns were still being read runs now.
    void RunDeferredQuery();
    // Shows the count's "Reading" text and, for a central store, the Cancel button while a
    // read is out.
    void ShowReadState();
    void RestoreViewState();
    void SaveViewState();
    void WriteViewState() const;
    QString ViewKey() const;

    // Exports (HistoryExport.cpp): the spreadsheet export runs on a worker thread, a report
    // in the converter's process; the bar below shows their progress and cancels them.
    bool ExportRunning() const;
    void ShowExportBusy(bool busy);
    void PlaceExportBar();
    void OnExportFinished(const ExportResult& result);
    // Makes the PDF report of the rows (list order); fetched: blocks read for rows that were
    // not held when Export PDF was pressed.
    void StartPdfReport(const QVector<int>& rows, const QHash<int, QVector<HistoryRow>>& fetched);
    CPdfReport* Report();
    CLanguage m_language; // a copy of the program's texts (a small value)
    QLabel* m_pDeviceLabel = nullptr;
    QComboBox* m_pDeviceBox = nullptr;
    QLabel* m_pStartLabel = nullptr;
    QDateEdit* m_pStartDate = nullptr;
    QLabel* m_pEndLabel = nullptr;
    QDateEdit* m_pEndDate = nullptr;
    QPushButton* m_pQuery = nullptr;
    QPushButton* m_pExportExcel = nullptr;
    QPushButton* m_pExportPdf = nullptr;
    QPushButton* m_pDelete = nullptr;
    QPushButton* m_pSync = nullptr;
    QComboBox* m_pSource = nullptr;                // This computer / Central
    Central::CCentralSyncWorker* m_sync = nullptr; // made on the first Sync
    QTableView* m_pList = nullptr;
    CHistoryModel* m_pModel = nullptr;
    QFrame* m_pPicture = nullptr;
    CMeter* m_pMeter = nullptr;
    QLineEdit* m_pSearch = nullptr;
    QComboBox* m_pMode = nullptr;
    QLineEdit* m_pMin = nullptr;
    QLineEdit* m_pMax = nullptr;
    QComboBox* m_pOver = nullptr;
    QLabel* m_pCount = nullptr;
    QSplitter* m_pSplitter = nullptr;
    QTabBar* m_pTabs = nullptr;
    CStatsView* m_pStats = nullptr;
    QWidget* m_pSide = nullptr;
    QTimer* m_pSaveTimer = nullptr;       // writes the view state after the last change
    QPushButton* m_pCancelRead = nullptr; // stops a central read (shown while one runs)
    QTimer* m_pCancelDelay = nullptr;     // a read shorter than this never shows Cancel

    std::shared_ptr<IRecordSource> m_source; // what the list reads (its worker holds it)
    CRecordWorker* m_pWorker = nullptr;
    // A spreadsheet export runs on a worker and source of its own, so the list goes on
    // answering while it runs.
    CRecordWorker* m_pExportWorker = nullptr;
    QVector<HistoryColumn> m_columns;
    HistoryFilter m_filter;
    HistorySort m_sort;
    quint64 m_queryTicket = 0;
    // The ticket of the list's current query, read by the worker: calls for an older one end
    // early.
    std::shared_ptr<std::atomic<quint64>> m_liveTicket;
    // The page's other reads: each answer carries the ticket it was asked with, and one for
    // an older request (another source, device or selection since) is dropped.
    quint64 m_devicesTicket = 0;
    quint64 m_columnsTicket = 0;
    quint64 m_pictureTicket = 0;
    bool m_bDevicesPending = false;
    bool m_bColumnsPending = false;
    bool m_bPicturePending = false;
    bool m_bColumnsAfterDevices = false; // a new source: the columns are read again
    bool m_bQueryDeferred = false;       // Query was pressed before the columns were in
    bool m_bQueryPending = false;        // the first rows of the last query are still to come
    bool m_bCountPending = false;        // its count is still to come
    bool m_bQueryOk = true;
    bool m_bQueried = false; // Query was pressed since the columns were laid out
    bool m_bRestoring = false;
    // The side's width (picture and meter) the user chose by dragging the splitter; 0: the
    // width they need.
    int m_nUserSide = 0;
    bool m_bAllDevices = false;
    QString m_strDevice;
    int m_nRows = 0;
    int m_nCols = 0;
    int m_nSelRow = -1;
    QString m_strSelPath;
    QString m_strPicturePath;
    bool m_bShowPicture = false;
    QPixmap m_picture;         // what the picture frame shows
    QByteArray m_pictureBytes; // the selected record's photograph as the source gave it
    QStringList m_deleteFiles; // file names collected by the deletion handler
    QString m_strDbPath;       // the local database (for the deletion handler)

    // Exports (HistoryExport.cpp)
    bool m_bExporting = false;      // a spreadsheet export runs on the worker
    bool m_bPdfRowsPending = false; // rows of a PDF report are read before it starts
    std::shared_ptr<std::atomic<bool>> m_exportCancel;
    QWidget* m_pExportBar = nullptr; // progress bar and cancel button, shown after 1 s
    QProgressBar* m_pExportProgress = nullptr;
    QPushButton* m_pExportCancel = nullptr;
    QTimer* m_pExportBarDelay = nullptr;
};
