#include "device/core/DeviceSession.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "device/core/PictureStore.h"
#include "instruments/Calibration.h"
#include "link/AdbBridge.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "store/Audit.h"
#include "store/Instruments.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QDebug>

#include <vector>

LinkOptions ReadLinkOptions(const CLanguage& language) {
    LinkOptions options;
    options.strictTiming =
        language.ReadGlobal(QStringLiteral("StrictTiming")).trimmed() == QLatin1String("1");
    options.deviceType = language.ReadDeviceType();
    return options;
}

CDeviceSession::CDeviceSession(const LinkOptions& options) {
    m_client.SetOptions(options);
}

CDeviceSession::~CDeviceSession() {
    m_client.Close();
}

void CDeviceSession::Abort() {
    m_abort = true;
    m_client.Abort();
}

void CDeviceSession::ClearAbort() {
    m_abort = false;
    m_client.ClearAbort();
}

QVector<quint32> CDeviceSession::NewRecordNumbers() {
    QVector<quint32> numbers;
    if (m_total == 0)
        return numbers;
    std::vector<bool> stored(size_t(m_total) + 1, false);
    if (m_db.IsOpen()) {
        const SQLite::Table t = m_db.QuerySQL(Statements::SelectRecordNumbers(m_deviceNumber));
        for (int row = 0; row < t.GetRowCount(); ++row) {
            bool ok = false;
            const uint n = t.Cell(row, 0).trimmed().toUInt(&ok);
            if (ok && n >= 1 && n <= m_total)
                stored[n] = true;
        }
    }
    for (quint32 n = 1; n <= m_total; ++n)
        if (!stored[n])
            numbers.append(n);
    return numbers;
}

void CDeviceSession::CountNewRecords() {
    m_newRecords = quint32(NewRecordNumbers().size());
}

void CDeviceSession::ReadCalibrationDefaults(const CLanguage& language) {
    const Calibration::Intervals d = Calibration::DefaultIntervals(language);
    m_calibrationDays = d.calibrationDays;
    m_accuracyDays = d.accuracyDays;
}

bool CDeviceSession::OpenDatabase() {
    if (m_db.IsOpen())
        return true;
    if (m_db.Open(GetDatabasePath()) != 0) {
        qWarning() << "cannot open the database" << GetDatabasePath();
        return false;
    }
    return Schema::CreateTables(m_db);
}

DeviceResult CDeviceSession::FindDevices(QStringList& serials) {
    QStringList found;
    if (!AdbListDevices(found, &m_abort))
        return {false, QStringLiteral("GetDevFail")};
    serials = found;
    return {true, QStringLiteral("DeviceFindOK")};
}

void CDeviceSession::ResetLinkState() {
    m_route = LinkRoute::None;
    m_total = 0;
    m_stored = 0;
    m_newRecords = 0;
}

void CDeviceSession::AuditAction(const QString& action, const DeviceResult& result,
                                 const QString& records) {
    if (m_db.IsOpen())
        Audit::Append(m_db, m_program, action, m_deviceNumber, records,
                      (result.ok ? QStringLiteral("ok ") : QStringLiteral("failed ")) + result.key);
}

LinkResult CDeviceSession::ConnectUsb(const QString& serial) {
    ResetLinkState();
    LinkResult r;
    r.stage = LinkStage::Input;
    if (serial.trimmed().isEmpty()) {
        r.key = QStringLiteral("GetDevFail");
        return r;
    }
    // Without the forward nothing can answer on the local port; say so instead of leaving
    // the "connecting" text standing.
    if (!AdbForward(serial.trimmed(), &m_abort)) {
        r.key = QStringLiteral("ConnectUSBFailed");
        return r;
    }
    if (!Client().ConnectLocal()) {
        r.stage = LinkStage::Connect;
        r.key = QStringLiteral("ConnectUSBFailed");
        return r;
    }
    return Link(LinkRoute::Usb, QStringLiteral("ConnectUSBFailed"), QStringLiteral("ConnectUSBOK"));
}

LinkResult CDeviceSession::ConnectWifi(const QString& address) {
    ResetLinkState();
    LinkResult r;
    r.stage = LinkStage::Input;
    const QString host = address.trimmed();
    if (!IsValidAddress(host)) {
        r.key = QStringLiteral("GetIPFail");
        return r;
    }
    if (!Client().ConnectTo(host)) {
        r.stage = LinkStage::Connect;
        r.key = QStringLiteral("WifiConnectFailed");
        return r;
    }
    return Link(LinkRoute::Wifi, QStringLiteral("WifiConnectFailed"),
                QStringLiteral("WifiConnectOK"));
}

LinkResult CDeviceSession::ConnectAt(LinkRoute route, const QString& host, quint16 port) {
    ResetLinkState();
    const bool usb = route == LinkRoute::Usb;
    const QString failKey =
        usb ? QStringLiteral("ConnectUSBFailed") : QStringLiteral("WifiConnectFailed");
    LinkResult r;
    r.stage = LinkStage::Input;
    if (route == LinkRoute::None || !IsValidAddress(host.trimmed()) || port == 0) {
        r.key = usb ? failKey : QStringLiteral("GetIPFail");
        return r;
    }
    if (!Client().ConnectTo(host.trimmed(), port)) {
        r.stage = LinkStage::Connect;
        r.key = failKey;
        return r;
    }
    return Link(route, failKey,
                usb ? QStringLiteral("ConnectUSBOK") : QStringLiteral("WifiConnectOK"));
}

LinkResult CDeviceSession::Link(LinkRoute route, const QString& failKey, const QString& okKey) {
    LinkResult r;
    r.key = failKey;
    r.stage = LinkStage::DeviceInfo;
    if (!ReadDeviceInfo()) {
        Client().Close();
        ResetLinkState();
        AuditAction(QStringLiteral("connect"), r);
        return r;
    }
    r.stage = LinkStage::Titles;
    if (!ReadTitleInfo()) {
        Client().Close();
        ResetLinkState();
        AuditAction(QStringLiteral("connect"), r);
        return r;
    }
    m_route = route;
    CountNewRecords();
    // A picture file half written by a process that was killed is removed before the folder
    // is used again.
    if (Picture::IsUsableDeviceId(m_deviceNumber))
        Picture::RemoveLeftoverParts(Picture::DeviceFolder(GetPicFolder(), m_deviceNumber));
    r.ok = true;
    r.key = okKey;
    r.stage = LinkStage::Done;
    // The instrument's register notes every link (the first one registers it), and its log
    // tells what falls due.
    m_dueNotice = DueNotice();
    if (m_db.IsOpen()) {
        Instruments::NoteLink(m_db, m_deviceNumber, m_client.Options().deviceType);
        Instruments::Instrument instrument;
        bool read = false;
        const QList<Instruments::LogEntry> log = Instruments::Log(m_db, m_deviceNumber, &read);
        if (read && Instruments::Find(m_db, m_deviceNumber, &instrument)) {
            const Calibration::Notice n = Calibration::DueNotice(
                Calibration::NextDue(
                    log, Calibration::IntervalsOf(instrument, {m_calibrationDays, m_accuracyDays})),
                QDate::currentDate());
            m_dueNotice = {n.key, n.days, n.date};
        }
    }
    AuditAction(QStringLiteral("connect"), r,
                route == LinkRoute::Usb ? QStringLiteral("usb") : Client().Host());
    return r;
}

void CDeviceSession::Disconnect() {
    Client().Close();
    ResetLinkState();
}

bool CDeviceSession::IsConnected() const {
    return m_client.IsConnected();
}

bool CDeviceSession::ReadDeviceInfo() {
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(
        Client(), DeviceFrame::Command::ReadDeviceInfo, DeviceFrame::BuildReadDeviceInfo());
    if (!reply.ok())
        return false;
    DeviceFrame::DeviceInfo info;
    if (!DeviceFrame::ParseDeviceInfo(reply.bytes, reply.received, info,
                                      m_client.Options().deviceType))
        return false;
    m_deviceNumber = info.deviceNumber;
    m_total = info.totalRecords;

    m_stored = 0;
    if (m_db.IsOpen()) {
        const SQLite::Table t = m_db.QuerySQL(Statements::CountRecords(m_deviceNumber));
        if (t.GetRowCount() > 0 && t.GetColCount() > 0)
            m_stored = t.Cell(0, 0).toUInt();
    }
    return true;
}

bool CDeviceSession::ReadTitleInfo() {
    m_titles.clear();
    m_titleIndex = 0;
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(
        Client(), DeviceFrame::Command::ReadTitleInfo, DeviceFrame::BuildReadTitleInfo());
    if (!reply.ok())
        return false;
    DeviceFrame::TitleGroup group;
    if (!DeviceFrame::ParseTitleInfo(reply.bytes, reply.received, group))
        return false;
    m_titleIndex = group.groupIndex;
    if (group.groupIndex != 1)
        return true; // only the first title group names the fields
    m_titles = RenameTitles(group.titles);
    if (m_db.ExecuteSQL(Statements::ReplaceTitleInfo(m_titles, 1, m_deviceNumber)) != 0)
        qWarning() << "storing the titles of" << m_deviceNumber << "failed";
    return true;
}

void CDeviceSession::Reconnect() {
    // A canceled download may have broken the link on purpose; the next command opens it
    // again on the same address.
    if (IsLinked() && !m_client.IsConnected() && !m_abort.load())
        m_client.Connect();
}

DeviceResult CDeviceSession::SetTime(const QDateTime& localTime) {
    Reconnect();
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(Client(), DeviceFrame::Command::SetClock,
                                                           DeviceFrame::BuildSetClock(localTime));
    const DeviceResult result = reply.ok() ? DeviceResult{true, QStringLiteral("SetTimeOk")}
                                           : DeviceResult{false, QStringLiteral("SetTimeFail")};
    AuditAction(QStringLiteral("set-time"), result, localTime.toString(Qt::ISODate));
    return result;
}

DeviceResult CDeviceSession::SetDeviceId(const QString& digits, QString* newNumber) {
    // Only twelve decimal digits make a device number; anything else would be written into
    // the instrument as a wrong number.
    if (!IsTwelveDigits(digits))
        return {false, QStringLiteral("DevIdMust12Digits")};
    Reconnect();
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(
        Client(), DeviceFrame::Command::SetDeviceNumber, DeviceFrame::BuildSetDeviceNumber(digits));
    if (!reply.ok()) {
        AuditAction(QStringLiteral("set-device-number"), {false, QStringLiteral("SetDevIdFail")},
                    digits);
        return {false, QStringLiteral("SetDevIdFail")};
    }
    if (newNumber)
        *newNumber = DeviceFrame::DeviceNumberFromBcd(
            DeviceFrame::ReplyAddress(reply.bytes, reply.received));
    AuditAction(QStringLiteral("set-device-number"), {true, QStringLiteral("SetDevIdOk")}, digits);
    return {true, QStringLiteral("SetDevIdOk")};
}

DeviceResult CDeviceSession::DeleteFiles() {
    Reconnect();
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(
        Client(), DeviceFrame::Command::DeleteDeviceFiles, DeviceFrame::BuildDeleteDeviceFiles());
    const DeviceResult result = reply.ok() ? DeviceResult{true, QStringLiteral("DelFileOk")}
                                           : DeviceResult{false, QStringLiteral("DelFileFail")};
    AuditAction(QStringLiteral("delete-device-files"), result);
    return result;
}

bool CDeviceSession::IsValidAddress(const QString& address) {
    const QByteArray text = address.toLocal8Bit();
    if (text.isEmpty())
        return false;
    const QList<QByteArray> parts = text.split('.');
    if (parts.size() != 4)
        return false;
    for (const QByteArray& part : parts) {
        if (part.size() > 3)
            return false;
        // Bytes are read one character each, as the C conversion reads them.
        const long v = DeviceFrame::LeadingDecimal(QString::fromLatin1(part));
        if (v < 0 || v > 255)
            return false;
    }
    return true;
}

QStringList CDeviceSession::RenameTitles(const QStringList& titles) {
    QStringList out = titles;
    for (int i = 0; i < out.size(); ++i)
        if (out[i] == QLatin1String(" "))
            out[i] = QStringLiteral("emtyp%1").arg(i);
    int counter = 1;
    for (int i = 1; i < out.size(); ++i) {
        if (out[i].isEmpty())
            continue; // the instrument's unused names stay empty
        for (int j = 0; j < i; ++j) {
            if (out[j] == out[i]) {
                out[i] = QStringLiteral("%1_repetition%2").arg(out[i]).arg(counter++);
                break;
            }
        }
    }
    return out;
}

quint32 CDeviceSession::FromPreset(quint32 total, quint32 stored) {
    if (total == 0 || stored == total)
        return stored;
    // More rows stored than the instrument now holds: its files were deleted and it numbers
    // from 1 again. Starting behind the total would make the preset range empty.
    if (stored > total)
        return 1;
    return stored + 1;
}

bool CDeviceSession::IsTwelveDigits(const QString& text) {
    if (text.size() != 12)
        return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}
