#pragma once
// The instrument work of the device page, without widgets: finding USB devices, linking over
// USB or Wi-Fi, reading the device information and the field titles, storing the titles, and
// the three settings commands. The device page (CFirstPage) and brtx-cli both drive one
// CDeviceSession; neither talks to the link directly for these steps.
//
// Every operation returns a DeviceResult: a success flag and the status key to show (the caller
// looks it up with GetText and writes it to the status line, or prints it). Nothing here shows
// anything itself.
//
// Connected state, for the download code (device/core/Download*, the page's download buttons):
//   - Database():      the open brtx.db (OpenDatabase() creates both tables); the same object
//                      for the whole life of the session; used without locks by one download
//                      worker at a time while the page keeps its command controls disabled.
//   - DeviceNumber():  the linked instrument's identity text as read with the device
//                      information ("00123456", or " " for an address holding 0xFF). It names
//                      the picture folder and fills Machine_NO / TitleInfo.DeviceID. It is not
//                      changed by SetDeviceId; it is read again at the next link.
//   - Total():         the instrument's record total from the device information; 0 before a
//                      link, after every link attempt that failed, and after Disconnect().
//   - IsLinked():      true after a successful ConnectUsb/ConnectWifi until Disconnect() or a
//                      failed attempt. The link itself is the session's own CTCPClient
//                      (Client()); a broken connection clears its flag (IsConnected()) but
//                      not IsLinked().
//   - NewRecords():    how many of the record numbers 1..Total() are not stored for the
//                      device (by Record_No), counted at the link.
// All of this runs on one thread at a time: the session's worker thread (CDeviceWorker), while
// the page keeps its command controls disabled. Abort() alone may be called from any thread.
#include "link/TCPClient.h"
#include "store/SQLite.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>

class CLanguage;

// The link options of the program's settings ([Global] StrictTiming=1, DeviceType), read once.
LinkOptions ReadLinkOptions(const CLanguage& language);

struct DeviceResult {
    bool ok = false;
    QString key; // status key ("ConnectUSBOK", "SetTimeFail", ...); empty when none
    explicit operator bool() const { return ok; }
};

// How far a link attempt got; tells the page which controls the attempt touched.
enum class LinkStage {
    Input,      // serial or address refused, or the adb forward failed; nothing connected
    Connect,    // the TCP connect failed
    DeviceInfo, // connected, the device information could not be read
    Titles,     // device information read (DeviceNumber() valid), the titles failed
    Done        // linked
};

enum class LinkRoute { None, Usb, Wifi };

struct LinkResult : DeviceResult {
    LinkStage stage = LinkStage::Input;
};

class CDeviceSession {
public:
    explicit CDeviceSession(const LinkOptions& options = LinkOptions());
    ~CDeviceSession(); // closes the link
    CDeviceSession(const CDeviceSession&) = delete;
    CDeviceSession& operator=(const CDeviceSession&) = delete;

    // Opens GetDatabasePath() and runs both CREATE TABLE statements. False when the file
    // cannot be opened or a table cannot be made (later statements then fail quietly).
    bool OpenDatabase();
    SQLite::Database& Database() { return m_db; }

    // Lists the ready adb devices: ok with "DeviceFindOK" and the serials in the order adb
    // printed them, or "GetDevFail" (serials left untouched).
    DeviceResult FindDevices(QStringList& serials);

    // USB route: forward port 7575 through adb for the serial, connect to 127.0.0.1:7575, read
    // the device information and the titles. Keys: "GetDevFail" (empty serial),
    // "ConnectUSBFailed" (forward, connect, device information or titles failed),
    // "ConnectUSBOK". Any failure leaves the socket closed and Total() 0.
    LinkResult ConnectUsb(const QString& serial);
    // Wi-Fi route: the trimmed address must pass IsValidAddress ("GetIPFail"), then the same
    // as USB with "WifiConnectFailed" / "WifiConnectOK".
    LinkResult ConnectWifi(const QString& address);
    // The station's routes: connects to host:port (USB: 127.0.0.1 and the port adb forwarded
    // for the serial; Wi-Fi: the instrument's address) and links as the two above do, with
    // their keys. The address must pass IsValidAddress ("GetIPFail").
    LinkResult ConnectAt(LinkRoute route, const QString& host, quint16 port);
    // Closes the socket and forgets the total. The device number stays readable until the
    // next link.
    void Disconnect();

    // The two reads of a link, usable on their own on an open connection.
    // ReadDeviceInfo sets DeviceNumber(), Total(), Stored(), PresetFrom()/PresetTo().
    bool ReadDeviceInfo();
    // ReadTitleInfo reads the title group, renames blanks and repeats (RenameTitles) and
    // stores a group with index 1 into TitleInfo under DeviceNumber().
    bool ReadTitleInfo();

    // Settings commands on the open link; one exchange each.
    DeviceResult SetTime(const QDateTime& localTime); // "SetTimeOk" / "SetTimeFail"
    DeviceResult SetTime() { return SetTime(QDateTime::currentDateTime()); }
    // digits must be exactly 12 decimal digits, else "DevIdMust12Digits" and nothing is sent.
    // On "SetDevIdOk" newNumber receives the 12 digits the instrument now answers with.
    DeviceResult SetDeviceId(const QString& digits, QString* newNumber = nullptr);
    DeviceResult DeleteFiles(); // "DelFileOk" / "DelFileFail"

    // Who the audit trail names as the program of this session's actions: "page" (the
    // default) or "cli". Connect, set time, set device number and delete files are audited.
    void SetProgram(const QString& program) { m_program = program; }
    QString Program() const { return m_program; }

    // State (see the top of this file).
    bool IsLinked() const { return m_route != LinkRoute::None; }
    LinkRoute Route() const { return m_route; }
    bool IsConnected() const;
    QString DeviceNumber() const { return m_deviceNumber; }
    quint32 Total() const { return m_total; }
    quint32 Stored() const { return m_stored; }
    quint32 PresetFrom() const { return FromPreset(m_total, m_stored); }
    quint32 PresetTo() const { return m_total; }
    QStringList Titles() const { return m_titles; } // as stored, after renaming
    int TitleIndex() const { return m_titleIndex; }

    quint32 NewRecords() const { return m_newRecords; }
    // What the instrument's log says about its due dates at the last link: key is a text key
    // ("CalibrationDueIn" with days, "CalibrationOverdue" with date, the same for
    // "Accuracy..."); empty when nothing is due within two weeks or there is no log.
    struct DueNotice {
        QString key;
        qint64 days = 0;
        QString date;
    };
    const DueNotice& CalibrationNotice() const { return m_dueNotice; }
    // The default intervals of calibrations and accuracy checks ([Global] CalibrationDays,
    // AccuracyDays); set before the session is used.
    void ReadCalibrationDefaults(const CLanguage& language);
    // The record numbers 1..Total() not stored for DeviceNumber(), ascending (read now).
    QVector<quint32> NewRecordNumbers();

    CTCPClient& Client() { return m_client; }
    // From any thread: ends the adb run, connect or exchange in flight within about 50 ms
    // (the link is broken afterwards). ClearAbort() before the next operation.
    void Abort();
    void ClearAbort();

    // Helpers with no state.
    // Four '.'-separated parts, each at most 3 characters, each part's leading decimal value
    // (an empty part counts as 0) in 0..255.
    static bool IsValidAddress(const QString& address);
    // A title " " becomes "emtyp<position>" (0-based); then a title equal to an earlier one
    // becomes "<title>_repetition<n>", n counting from 1 within the group.
    static QStringList RenameTitles(const QStringList& titles);
    // First record number to fetch: stored + 1 unless the instrument is empty or all its
    // records are stored.
    static quint32 FromPreset(quint32 total, quint32 stored);
    // True for exactly 12 characters '0'..'9'.
    static bool IsTwelveDigits(const QString& text);

private:
    LinkResult Link(LinkRoute route, const QString& failKey, const QString& okKey);
    void ResetLinkState();
    void CountNewRecords();
    void Reconnect();
    void AuditAction(const QString& action, const DeviceResult& result,
                     const QString& records = {});

    CTCPClient m_client;
    std::atomic<bool> m_abort{false};
    SQLite::Database m_db;
    LinkRoute m_route = LinkRoute::None;
    QString m_deviceNumber;
    quint32 m_total = 0;
    quint32 m_stored = 0;
    quint32 m_newRecords = 0;
    DueNotice m_dueNotice;
    int m_calibrationDays = 365;
    int m_accuracyDays = 30;
    QStringList m_titles;
    int m_titleIndex = 0;
    QString m_program = QStringLiteral("page");
};
