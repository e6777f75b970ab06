#pragma once
// The history page: pick a device and a date range, list its stored records, show the
// selected record's picture, export the list (.xls) or one record (PDF report).
//
// Every control carries its id as objectName (decimal text) and as the dynamic property
// "ctrlId" (int), so tests and the exports find them with Control(id) or findChild.
#include <QPixmap>
#include <QWidget>

#include "history/core/HistoryQuery.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class QFrame;
class CMeter;
class CHistoryModel;
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
constexpr int kSync = 1090; // shown only when a central store is set
} // namespace HistoryIds

class CHistory : public QWidget {
    Q_OBJECT
public:
    explicit CHistory(QWidget* parent = nullptr);
    ~CHistory() override;

    // Reloads the device box from the database (keeps the chosen device when it is still
    // there); rebuilds the columns when the shown device changed.
    void RefreshDeviceList();

    // The control with the given id (nullptr for an unknown id).
    QWidget* Control(int id) const;

    // The list as shown. Out-of-range indexes read as empty text.
    int ListRowCount() const;
    int ListColumnCount() const;
    QString ListHeading(int c) const;
    QString ListCell(int r, int c) const;

    // The selected row (-1 when none) and its stored Path (empty when none).
    int SelectedRow() const { return m_nSelRow; }
    QString SelectedPath() const { return m_strSelPath; }
    // Full path of the selected record's picture: picture folder + stored Path.
    QString PicturePath() const { return m_strPicturePath; }
    bool PictureShown() const { return m_bShowPicture; }

    // Row and column counts of the last statement result (title load or query).
    int ResultRowCount() const { return m_nRows; }
    int ResultColumnCount() const { return m_nCols; }

    // The device the columns belong to, and the two date texts ("yyyy-MM-dd").
    QString CurrentDevice() const { return m_strDevice; }
    QString StartDateText() const;
    QString EndDateText() const;

    const CHistoryQuery& Query() const { return m_query; }

public slots:
    void OnBnClickedQuery();
    void OnBnClickedExportExcel(); // defined in HistoryExport.cpp
    void OnBnClickedExportPdf();   // defined in HistoryExport.cpp
    void OnBnClickedDelete();
    void OnBnClickedSync(); // defined in HistorySync.cpp
    void OnCbnSelchangeDevice();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void RebuildColumns();
    void ForgetSelection();
    void OnListSelectionChanged();
    void PaintPicture();
    void SizeColumns();
    void LayoutBar(int pageWidth);

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
    Central::CCentralSyncWorker* m_sync = nullptr; // made on the first Sync
    QTableView* m_pList = nullptr;
    CHistoryModel* m_pModel = nullptr;
    QFrame* m_pPicture = nullptr;
    CMeter* m_pMeter = nullptr;

    CHistoryQuery m_query;
    QString m_strDevice;
    int m_nRows = 0;
    int m_nCols = 0;
    int m_nSelRow = -1;
    QString m_strSelPath;
    QString m_strPicturePath;
    bool m_bShowPicture = false;
    QPixmap m_picture;         // what the picture frame shows
    QStringList m_deleteFiles; // file names collected by the deletion handler
};
