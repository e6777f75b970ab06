#pragma once
// The device page: links the program to one instrument over USB (adb forward to
// 127.0.0.1:7575) or Wi-Fi, shows its number and record total in the main window, runs the
// three settings commands, and holds the download controls, the record tree and the picture
// frame. The instrument work itself is CDeviceSession (device/core); this page only turns its
// results into captions, enabled states and status texts.
//
// Controls carry their dialog id twice: objectName is the id as decimal text ("1008") and the
// dynamic property "ctrlId" holds the id as an int.
//
// The captions of 1008 and 1010 show the link state ("ConnectUSB"/"DisconnectUSB",
// "WifiConnect"/"WifiDisconnect"); a press connects or disconnects by the session's route,
// which changes together with the captions (and still works when the captions are blank). Idle:
// both connect buttons enabled, commands disabled. USB-linked: 1008 "DisconnectUSB", 1010 disabled,
// commands enabled. Wi-Fi-linked: 1010 "WifiDisconnect", 1008 and 1050 disabled, commands enabled.
// Exchanges run on the window thread under a wait cursor.
//
// Download part (device/page/FirstPageDownload.cpp). The page calls these members by name
// when the download part declares them (Q_INVOKABLE in the download block below), so the page
// builds with or without that part:
//   InitDownload()   - end of the constructor: connect buttons 1040/1014/1017, install an
//                      event filter for the download events 0x0BD2..0x0BDA, and so on;
//   ResetDownload()  - on every disconnect, after the tree was emptied and 1030 hidden
//                      (clear the picture-shown flag and the saved-picture list);
//   StopDownload()   - before the page closes the socket: on USB and Wi-Fi disconnect and
//                      first thing in the destructor (stop and join a running worker).
// The page gives the download part: Session() (device number, total, database), Tree() (1015),
// PictureFrame() (1030), Progress() (the progress bar), the edits via Control(id), and
// EnableCommands() to switch the nine command controls together.
#include "device/core/DeviceSession.h"

#include <QEvent>
#include <QString>
#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

class CFirstPage : public QWidget {
    Q_OBJECT
public:
    // Dialog ids of the page's controls.
    enum ControlId {
        IdConnectUsb = 1008,
        IdSetTime = 1009,
        IdWifiConnect = 1010,
        IdSetDeviceId = 1011,
        IdDownloadOne = 1014,
        IdTree = 1015,
        IdProgress = 1016,
        IdDownloadAll = 1017,
        IdNewDeviceId = 1020,
        IdDeleteFiles = 1029,
        IdPicture = 1030,
        IdFrom = 1031,
        IdTo = 1039,
        IdDownload = 1040,
        IdStartLabel = 1041,
        IdEndLabel = 1042,
        IdFindDevices = 1050,
        IdSerials = 1052,
        IdAddress = 1053,
        IdAddressLabel = 1054,
    };

    // Events the page posts to itself to show the Wi-Fi status texts.
    static constexpr QEvent::Type kWifiConnecting = QEvent::Type(3031);
    static constexpr QEvent::Type kWifiConnectFailed = QEvent::Type(3032); // + disable commands
    static constexpr QEvent::Type kWifiConnectOk =
        QEvent::Type(3033); // + enable commands, 1008 off
    static constexpr QEvent::Type kWifiEvent3034 = QEvent::Type(3034); // not used
    static constexpr QEvent::Type kGetIpFail = QEvent::Type(3035);
    static constexpr QEvent::Type kWifiDisconnectOk = QEvent::Type(3036);

    explicit CFirstPage(QWidget* parent = nullptr);
    ~CFirstPage() override; // stops the download part, closes the socket

    CDeviceSession& Session() { return m_session; }
    QWidget* Control(int id) const; // any control by dialog id, nullptr if none
    QTreeWidget* Tree() const { return m_tree; }
    QLabel* PictureFrame() const { return m_picture; }
    QProgressBar* Progress() const { return m_progress; }

    // Switches the nine device-command controls together (1009, 1011, 1040, 1014, 1017,
    // 1029, 1020, 1031, 1039).
    void EnableCommands(bool enable);

    // The button handlers (also reachable by clicking the buttons).
    void OnFindDevices(); // 1050
    void OnUsbButton();   // 1008: connect or disconnect by its caption
    void OnWifiButton();  // 1010: connect or disconnect by its caption
    void OnSetTime();     // 1009
    void OnSetDeviceId(); // 1011
    void OnDeleteFiles(); // 1029

    // --- download ---
    // Hooks called by name (see the top of this file).
    Q_INVOKABLE void InitDownload();
    Q_INVOKABLE void ResetDownload();
    Q_INVOKABLE void StopDownload();
    // The three download buttons (also reachable by clicking them).
    void OnDownload();    // 1040: all records when both boxes are empty, else the range
    void OnDownloadOne(); // 1014: the record in "From Record No."
    void OnDownloadAll(); // 1017
    bool IsDownloading() const;
    // Picture file names saved by the current download (the tree shows only these).
    QStringList SavedPictures() const;
    // The picture chosen in the tree ("" when none) and what the frame shows for it: the
    // picture, or failer.jpg when it cannot be loaded (null image when nothing is shown).
    QString SelectedPicture() const;
    QImage ShownPicture() const;
    class DownloadPart; // device/page/FirstPageDownload.cpp

private:
    DownloadPart* m_downloadPart = nullptr; // child object, owned by the page

public:
    // --- download ---

protected:
    bool event(QEvent* e) override;

private:
    void BuildControls();
    void SetCaptions();
    QPushButton* MakeButton(int id, const char* key);

    void UsbConnect();
    void UsbDisconnect();
    void WifiConnect();
    void WifiDisconnect();
    void ShowDeviceInfo();  // main window fields and the From/To edits after device info
    void ResetDeviceView(); // main window captions, edits emptied, tree emptied, 1030 hidden
    bool CallDownloadHook(const char* name);
    void Status(const char* key);
    void PostWifi(QEvent::Type type);

    CDeviceSession m_session;

    QGroupBox* m_usbGroup = nullptr;
    QGroupBox* m_wifiGroup = nullptr;
    QGroupBox* m_commandGroup = nullptr;
    QPushButton* m_findDevices = nullptr;
    QComboBox* m_serials = nullptr;
    QPushButton* m_usbButton = nullptr;
    QLabel* m_addressLabel = nullptr;
    QLineEdit* m_address = nullptr;
    QPushButton* m_wifiButton = nullptr;
    QPushButton* m_setTime = nullptr;
    QLineEdit* m_newDeviceId = nullptr;
    QPushButton* m_setDeviceId = nullptr;
    QLabel* m_startLabel = nullptr;
    QLineEdit* m_from = nullptr;
    QLabel* m_endLabel = nullptr;
    QLineEdit* m_to = nullptr;
    QPushButton* m_download = nullptr;
    QPushButton* m_downloadOne = nullptr;
    QPushButton* m_downloadAll = nullptr;
    QPushButton* m_deleteFiles = nullptr;
    QProgressBar* m_progress = nullptr;
    QTreeWidget* m_tree = nullptr;
    QLabel* m_picture = nullptr;
};
