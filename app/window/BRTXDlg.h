#pragma once
// The main window: a frameless dialog with its own title strip (page buttons "Home", "History",
// "Instruments", "Exit", minimise and close), three page hosts (device page, history page,
// instruments page) of which one shows at a time, and the four status fields at the bottom. Sizes
// and positions are given in dialog units and converted with the dialog font's base units. The
// window can be dragged from any free spot; a right click on the title strip offers the about box.
//
// Controls carry their ids as described in app/shell/ControlId.h (ids in MainIds).
#include "base/Language.h"

#include <QDialog>
#include <QPixmap>
#include <QPoint>
#include <QSize>

class CBmpButton;
class CButtonST;
class CFirstPage;
class CHistory;
class CInstrumentsPage;
class CLabel;
class CSkinTabCtrl;
class QFrame;
class QMenu;

class CBRTXDlg : public QDialog {
    Q_OBJECT
public:
    // The window's size in dialog units.
    static constexpr int kWidthDlu = 639;
    static constexpr int kHeightDlu = 448;

    // language: the program's texts, handed to the device page; nullptr: the window reads
    // Language.ini of the program folder itself, once.
    explicit CBRTXDlg(QWidget* parent = nullptr, const CLanguage* language = nullptr);
    ~CBRTXDlg() override;

    // Dialog units of this window to pixels.
    QSize BaseUnits() const { return m_baseUnits; }
    QRect MapDialogRect(const QRect& dlu) const;

    // The background image for a language and device type: the Chinese artwork (its own
    // variant for device type "15") for "Chinese" exactly, the English artwork otherwise.
    static QString BackgroundFor(const QString& language, const QString& deviceType);
    QString BackgroundResource() const { return m_backgroundPath; }

    // The page area (client pixels) and the pages in their hosts.
    QRect PageArea() const { return m_pageArea; }
    CFirstPage* DevicePage() const { return m_devicePage; }
    CHistory* HistoryPage() const { return m_historyPage; }
    CInstrumentsPage* InstrumentsPage() const { return m_instrumentsPage; }
    CSkinTabCtrl* DeviceHost() const { return m_deviceHost; }
    CSkinTabCtrl* HistoryHost() const { return m_historyHost; }
    CSkinTabCtrl* InstrumentsHost() const { return m_instrumentsHost; }

    // The title strip's context menu (caller owns it); its one action opens the about box.
    QMenu* CreateTitleMenu();
    // The about box, modal: icon, name and version, a second line, button "确定".
    void ShowAboutBox();

public slots:
    void OnHome();        // show the device page
    void OnHistory();     // reload the history page's device list, then show that page
    void OnInstruments(); // reload the register, then show the instruments page
    void OnExit();        // close: the dialog ends
    void OnMinimise();    // minimise the window

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString GetText(const QString& key) const { return m_language.GetText(key); }
    CLanguage m_language; // a copy of the program's texts (a small value)

    void BuildControls();
    void BuildPages();
    void ShowHost(CSkinTabCtrl* host); // in front, the other hosts hidden
    void SetTexts();
    CLabel* MakeLabel(int id, const QRect& dlu);
    CButtonST* MakePageButton(int id, const QRect& dlu, const QString& icon, const char* key);

    QSize m_baseUnits;
    QString m_backgroundPath;
    QPixmap m_background;
    QPixmap m_scaledBackground;
    QRect m_pageArea;

    QFrame* m_pageFrame = nullptr;
    CLabel* m_title = nullptr;
    CLabel* m_version = nullptr;
    CLabel* m_deviceId = nullptr;
    CLabel* m_total = nullptr;
    CLabel* m_status = nullptr;
    CButtonST* m_home = nullptr;
    CButtonST* m_history = nullptr;
    CButtonST* m_instruments = nullptr;
    CButtonST* m_exit = nullptr;
    CButtonST* m_unused = nullptr;
    CBmpButton* m_minimise = nullptr;
    CBmpButton* m_close = nullptr;
    CSkinTabCtrl* m_deviceHost = nullptr;
    CSkinTabCtrl* m_historyHost = nullptr;
    CFirstPage* m_devicePage = nullptr;
    CHistory* m_historyPage = nullptr;
    CSkinTabCtrl* m_instrumentsHost = nullptr;
    CInstrumentsPage* m_instrumentsPage = nullptr;

    bool m_dragging = false;
    QPoint m_dragOffset; // press point relative to the window's top left, global coordinates
};
