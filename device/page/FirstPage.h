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
//
// Every exchange with the instrument (adb, connect, the settings commands, the downloads) runs
// on the session's worker thread (CDeviceExchange, device/core/DeviceWorker.h); the page
// starts it and reacts to its signals, so the window never waits. While one runs, the link
// buttons and the device commands are disabled; "Cancel" is enabled during a download.
// Closing the page cancels a running download (and aborts anything in flight) first.
// Texts for the main window's status fields go out as signals (statusChanged, ...).
//
// The download part (device/page/FirstPageDownload.cpp) holds the download buttons' handlers,
// the record tree and the picture frame.
#include "base/Language.h"
#include "device/core/DeviceSession.h"
#include "device/core/DeviceWorker.h"

#include <QEvent>
#include <QString>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTableWidget;
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
        IdDownloadNew = 1060,
        IdCancel = 1061,
    };

    // language: the program's texts (the page keeps a copy); nullptr: the page reads
    // Language.ini of the program folder itself, once.
    explicit CFirstPage(QWidget* parent = nullptr, const CLanguage* language = nullptr);
    const CLanguage& Texts() const { return m_language; }
    ~CFirstPage() override; // cancels and ends the worker, closes the socket

    // Types an instrument's Wi-Fi address into the address field (brtx --address), as the
    // operator would; nothing is linked until Connect is pressed.
    void SetAddress(const QString& address);

    CDeviceSession& Session() { return m_session; }
    CDeviceExchange& Exchange() { return *m_exchange; }
    // True while an exchange with the instrument runs on the worker.
    bool IsBusy() const { return m_exchange->IsBusy(); }
    QWidget* Control(int id) const; // any control by dialog id, nullptr if none
    QTreeWidget* Tree() const { return m_tree; }
    QLabel* PictureFrame() const { return m_picture; }
    QProgressBar* Progress() const { return m_progress; }

    // Switches the device-command controls together (1009, 1011, 1040, 1014, 1017, 1060,
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
    // The download buttons (also reachable by clicking them).
    void OnDownload();    // 1040: all records when both boxes are empty, else the range
    void OnDownloadOne(); // 1014: the record in "From Record No."
    void OnDownloadAll(); // 1017
    void OnDownloadNew(); // 1060: the records not stored yet
    void OnCancel();      // 1061: the running download stops (status "DownloadCanceled")
    bool IsDownloading() const;
    // Picture file names saved by the current download (the tree shows only these).
    QStringList SavedPictures() const;
    // The picture chosen in the tree ("" when none) and what the frame shows for it: the
    // picture, or failer.jpg when it cannot be loaded (null image when nothing is shown).
    QString SelectedPicture() const;
    QImage ShownPicture() const;
    class DownloadPart; // device/page/FirstPageDownload.cpp

    // --- station mode (device/page/FirstPageStation.cpp) ---
    // The switch serves every docked instrument as brtx-cli watch does (CStation), with a
    // table of instruments in place of the record tree; the single-instrument controls are
    // disabled while it is on. Off: the downloads in flight end after their record, then the
    // page is as before. The switch can be turned on only while nothing is linked.
    void SetStationMode(bool on);
    bool IsStationMode() const;
    QTableWidget* StationTable() const { return m_stationTable; }
    QCheckBox* StationSwitch() const { return m_stationSwitch; }
    class StationPart;

signals:
    // A download has ended (also after Cancel), its records stored.
    void downloadFinished(const Download::Update& summary);
    // The texts of the main window's four fields, as the page changes them (the main window
    // connects these; the page knows nothing of it).
    void statusChanged(const QString& text);
    void versionChanged(const QString& text);
    void deviceIdChanged(const QString& text);
    void totalChanged(const QString& text);

private:
    void InitDownload();
    void ResetDownload();
    void OnLinked(DeviceOp op, const LinkResult& r);
    void OnCommandDone(DeviceOp op, const DeviceResult& r, const QString& newNumber);
    void UpdateControls();                  // enabled states from the link and the worker's state
    DownloadPart* m_downloadPart = nullptr; // child object, owned by the page
    StationPart* m_stationPart = nullptr;   // child object, owned by the page
    void InitStation();
    void EndStation(); // stops the station and waits for its workers

    void BuildControls();
    void SetCaptions();
    QPushButton* MakeButton(int id, const char* key);

    void UsbConnect();
    void UsbDisconnect();
    void WifiConnect();
    void WifiDisconnect();
    void ShowDeviceInfo();  // main window fields and the From/To edits after device info
    void ResetDeviceView(); // main window captions, edits emptied, tree emptied, 1030 hidden
    void Status(const char* key);
    void StatusText(const QString& text);

    QString GetText(const QString& key) const;
    QString GetTextNumber(const QString& key, qint64 number) const;

    CLanguage m_language; // a copy of the program's texts (a small value)
    CDeviceSession m_session;
    CDeviceExchange* m_exchange = nullptr;

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
    QPushButton* m_downloadNew = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_deleteFiles = nullptr;
    QProgressBar* m_progress = nullptr;
    QTreeWidget* m_tree = nullptr;
    QLabel* m_picture = nullptr;
    QSplitter* m_split = nullptr;
    QCheckBox* m_stationSwitch = nullptr;
    QTableWidget* m_stationTable = nullptr;
};
