#include "device/page/FirstPage.h"

#include "app/shell/ControlId.h"
#include "base/Language.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

CFirstPage::CFirstPage(QWidget* parent, const CLanguage* language)
    : QWidget(parent), m_language(language ? *language : CLanguage()),
      m_session(ReadLinkOptions(m_language)) {
    m_session.ReadCalibrationDefaults(m_language);
    BuildControls();
    EnableCommands(false);
    SetCaptions();
    m_session.OpenDatabase();
    m_exchange = new CDeviceExchange(m_session, this);
    CDeviceWorker* worker = m_exchange->Worker();
    connect(m_exchange, &CDeviceExchange::busyChanged, this, &CFirstPage::UpdateControls);
    connect(worker, &CDeviceWorker::devicesFound, this,
            [this](const DeviceResult& r, const QStringList& serials) {
                if (r) {
                    m_serials->clear();
                    m_serials->addItems(serials);
                    m_serials->setCurrentIndex(0);
                }
                Status(r.key.toLatin1().constData());
            });
    connect(worker, &CDeviceWorker::linked, this, &CFirstPage::OnLinked);
    connect(worker, &CDeviceWorker::commandDone, this, &CFirstPage::OnCommandDone);
    InitDownload();
    InitStation();
    UpdateControls();
}

CFirstPage::~CFirstPage() {
    // A running download is canceled and anything in flight (a hung adb, a stalled reply)
    // aborted before the session goes away.
    EndStation();
    m_exchange->Shutdown();
    m_session.Disconnect();
}

// ---------------------------------------------------------------------------------------------
// Controls

QPushButton* CFirstPage::MakeButton(int id, const char* key) {
    auto* b = new QPushButton(this);
    SetControlId(b, id);
    b->setProperty("textKey", QString::fromLatin1(key));
    b->setMinimumHeight(28);
    b->setAutoDefault(false);
    return b;
}

void CFirstPage::BuildControls() {
    // USB: find devices, pick a serial, connect.
    m_usbGroup = new QGroupBox(QStringLiteral("USB"), this);
    m_findDevices = MakeButton(IdFindDevices, "BtnGetDevID");
    m_serials = new QComboBox(this);
    SetControlId(m_serials, IdSerials);
    m_serials->setMinimumContentsLength(14);
    m_serials->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_usbButton = MakeButton(IdConnectUsb, "ConnectUSB");
    auto* usb = new QGridLayout(m_usbGroup);
    usb->addWidget(m_findDevices, 0, 0);
    usb->addWidget(m_serials, 0, 1);
    usb->addWidget(m_usbButton, 1, 0, 1, 2);
    usb->setColumnStretch(1, 1);

    // Wi-Fi: address and connect.
    m_wifiGroup = new QGroupBox(QStringLiteral("Wi-Fi"), this);
    m_addressLabel = new QLabel(this);
    SetControlId(m_addressLabel, IdAddressLabel);
    m_address = new QLineEdit(this);
    SetControlId(m_address, IdAddress);
    m_address->setPlaceholderText(QStringLiteral("192.168.1.10"));
    m_address->setMaxLength(64);
    m_wifiButton = MakeButton(IdWifiConnect, "WifiConnect");
    auto* wifi = new QGridLayout(m_wifiGroup);
    wifi->addWidget(m_addressLabel, 0, 0);
    wifi->addWidget(m_address, 0, 1);
    wifi->addWidget(m_wifiButton, 1, 0, 1, 2);
    wifi->setColumnStretch(1, 1);

    // Device commands: clock, device number, record range and downloads, delete.
    m_commandGroup = new QGroupBox(this);
    m_setTime = MakeButton(IdSetTime, "BtnSetTime");
    m_newDeviceId = new QLineEdit(this);
    SetControlId(m_newDeviceId, IdNewDeviceId);
    m_newDeviceId->setMaxLength(32);
    m_newDeviceId->setPlaceholderText(QStringLiteral("000000000000"));
    m_setDeviceId = MakeButton(IdSetDeviceId, "BtnSetDeviceID");
    m_startLabel = new QLabel(this);
    SetControlId(m_startLabel, IdStartLabel);
    m_from = new QLineEdit(this);
    SetControlId(m_from, IdFrom);
    m_endLabel = new QLabel(this);
    SetControlId(m_endLabel, IdEndLabel);
    m_to = new QLineEdit(this);
    SetControlId(m_to, IdTo);
    m_download = MakeButton(IdDownload, "BtnDownload");
    m_downloadNew = MakeButton(IdDownloadNew, "BtnDownloadNew");
    m_cancel = MakeButton(IdCancel, "BtnCancel");
    m_downloadOne = MakeButton(IdDownloadOne, "BtnDownloadOne");
    m_downloadAll = MakeButton(IdDownloadAll, "BtnDownloadAll");
    m_deleteFiles = MakeButton(IdDeleteFiles, "BtnDelFile");

    auto* cmd = new QGridLayout(m_commandGroup);
    cmd->addWidget(m_setTime, 0, 0, 1, 2);
    cmd->addWidget(m_newDeviceId, 1, 0);
    cmd->addWidget(m_setDeviceId, 1, 1);
    cmd->addWidget(m_startLabel, 2, 0);
    cmd->addWidget(m_from, 2, 1);
    cmd->addWidget(m_endLabel, 3, 0);
    cmd->addWidget(m_to, 3, 1);
    auto* downloads = new QHBoxLayout;
    downloads->addWidget(m_download);
    downloads->addWidget(m_downloadOne);
    downloads->addWidget(m_downloadAll);
    cmd->addLayout(downloads, 4, 0, 1, 2);
    auto* daily = new QHBoxLayout;
    daily->addWidget(m_downloadNew, 2);
    daily->addWidget(m_cancel, 1);
    cmd->addLayout(daily, 5, 0, 1, 2);
    cmd->addWidget(m_deleteFiles, 6, 0, 1, 2);
    cmd->setColumnStretch(0, 1);
    cmd->setColumnStretch(1, 1);

    m_progress = new QProgressBar(this);
    SetControlId(m_progress, IdProgress);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(18);

    auto* left = new QVBoxLayout;
    left->addWidget(m_usbGroup);
    left->addWidget(m_wifiGroup);
    left->addWidget(m_commandGroup);
    left->addWidget(m_progress);
    m_stationSwitch = new QCheckBox(this);
    m_stationSwitch->setObjectName(QStringLiteral("station"));
    left->addWidget(m_stationSwitch);
    left->addStretch(1);

    // Record tree and picture frame, filled by the download part.
    m_tree = new QTreeWidget(this);
    SetControlId(m_tree, IdTree);
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setMinimumWidth(160);
    // A picture saved under its date-time name is long: the column grows to the widest name
    // and the tree scrolls sideways rather than cutting names short.
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(false);

    auto* pictureBox = new QFrame(this);
    pictureBox->setFrameShape(QFrame::StyledPanel);
    pictureBox->setMinimumWidth(240);
    m_picture = new QLabel(pictureBox);
    SetControlId(m_picture, IdPicture);
    m_picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    QSizePolicy keep = m_picture->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    m_picture->setSizePolicy(keep);
    auto* pictureLayout = new QVBoxLayout(pictureBox);
    pictureLayout->setContentsMargins(2, 2, 2, 2);
    pictureLayout->addWidget(m_picture);
    m_picture->hide();

    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(m_tree);
    split->addWidget(pictureBox);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({270, 400});
    split->setChildrenCollapsible(false);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(8, 8, 8, 8);
    page->setSpacing(10);
    auto* leftHost = new QWidget(this);
    leftHost->setLayout(left);
    leftHost->setFixedWidth(360);
    left->setContentsMargins(0, 0, 0, 0);
    page->addWidget(leftHost);
    page->addWidget(split, 1);
    m_split = split;
    m_stationTable = new QTableWidget(0, 5, this);
    m_stationTable->setObjectName(QStringLiteral("stationTable"));
    m_stationTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_stationTable->verticalHeader()->hide();
    m_stationTable->horizontalHeader()->setStretchLastSection(true);
    m_stationTable->hide();
    page->addWidget(m_stationTable, 1);

    connect(m_findDevices, &QPushButton::clicked, this, &CFirstPage::OnFindDevices);
    connect(m_usbButton, &QPushButton::clicked, this, &CFirstPage::OnUsbButton);
    connect(m_wifiButton, &QPushButton::clicked, this, &CFirstPage::OnWifiButton);
    connect(m_setTime, &QPushButton::clicked, this, &CFirstPage::OnSetTime);
    connect(m_setDeviceId, &QPushButton::clicked, this, &CFirstPage::OnSetDeviceId);
    connect(m_deleteFiles, &QPushButton::clicked, this, &CFirstPage::OnDeleteFiles);
    connect(m_address, &QLineEdit::returnPressed, this, [this] {
        if (m_wifiButton->isEnabled() && m_session.Route() != LinkRoute::Wifi)
            OnWifiButton();
    });
}

void CFirstPage::SetCaptions() {
    m_addressLabel->setText(GetText("ManualIP"));
    m_wifiButton->setText(GetText("WifiConnect"));
    m_usbButton->setText(GetText("ConnectUSB"));
    m_setTime->setText(GetText("BtnSetTime"));
    m_setDeviceId->setText(GetText("BtnSetDeviceID"));
    m_download->setText(GetText("BtnDownload"));
    m_downloadOne->setText(GetText("BtnDownloadOne"));
    m_downloadAll->setText(GetText("BtnDownloadAll"));
    m_downloadNew->setText(GetText("BtnDownloadNew"));
    m_cancel->setText(GetText("BtnCancel"));
    m_deleteFiles->setText(GetText("BtnDelFile"));
    m_startLabel->setText(GetText("Start"));
    m_endLabel->setText(GetText("End"));
    m_findDevices->setText(GetText("BtnGetDevID"));
    m_stationSwitch->setText(GetText("StationMode"));
    m_stationTable->setHorizontalHeaderLabels(
        {GetText("StationInstrument"), GetText("StationDeviceNo"), GetText("StationState"),
         GetText("StationLastDownload"), GetText("StationNewRecords")});
}

QWidget* CFirstPage::Control(int id) const {
    // The controls sit inside group boxes and the splitter: search the whole page.
    return FindControl<QWidget>(this, id, Qt::FindChildrenRecursively);
}

void CFirstPage::EnableCommands(bool enable) {
    for (QWidget* w : {static_cast<QWidget*>(m_setTime), static_cast<QWidget*>(m_setDeviceId),
                       static_cast<QWidget*>(m_download), static_cast<QWidget*>(m_downloadOne),
                       static_cast<QWidget*>(m_downloadAll), static_cast<QWidget*>(m_downloadNew),
                       static_cast<QWidget*>(m_deleteFiles), static_cast<QWidget*>(m_newDeviceId),
                       static_cast<QWidget*>(m_from), static_cast<QWidget*>(m_to)})
        w->setEnabled(enable);
}

void CFirstPage::UpdateControls() {
    const bool busy = m_exchange && m_exchange->IsBusy();
    const LinkRoute route = m_session.Route();
    if (IsStationMode()) {
        m_cancel->setEnabled(false);
        EnableCommands(false);
        m_findDevices->setEnabled(false);
        m_usbButton->setEnabled(false);
        m_wifiButton->setEnabled(false);
        return;
    }
    m_stationSwitch->setEnabled(!busy && route == LinkRoute::None);
    m_cancel->setEnabled(busy && m_exchange->IsDownloading());
    EnableCommands(!busy && route != LinkRoute::None);
    m_findDevices->setEnabled(!busy && route != LinkRoute::Wifi);
    m_usbButton->setEnabled(!busy && route != LinkRoute::Wifi);
    m_wifiButton->setEnabled(!busy && route != LinkRoute::Usb);
}

QString CFirstPage::GetText(const QString& key) const {
    return m_language.GetText(key);
}

QString CFirstPage::GetTextNumber(const QString& key, qint64 number) const {
    return m_language.GetTextNumber(key, number);
}

void CFirstPage::Status(const char* key) {
    StatusText(GetText(QString::fromLatin1(key)));
}

void CFirstPage::StatusText(const QString& text) {
    emit statusChanged(text);
}

// ---------------------------------------------------------------------------------------------
// Device information shown in the main window and the range edits

void CFirstPage::ShowDeviceInfo() {
    emit deviceIdChanged(GetText("DeviceID") + m_session.DeviceNumber());
    emit totalChanged(GetText("TotalNumber") + QString::number(m_session.Total()));
    m_from->setText(QString::number(m_session.PresetFrom()));
    m_to->setText(QString::number(m_session.PresetTo()));
}

void CFirstPage::ResetDeviceView() {
    emit versionChanged(GetText("SwVersion"));
    emit deviceIdChanged(GetText("DeviceID"));
    emit totalChanged(GetText("TotalNumber"));
    m_newDeviceId->clear();
    m_from->clear();
    m_to->clear();
    m_tree->setUpdatesEnabled(false);
    m_tree->clear();
    m_tree->setUpdatesEnabled(true);
    m_tree->update();
    m_picture->hide();
    // A full bar left from the last download would suggest work done for the next link.
    m_progress->setValue(0);
    ResetDownload();
}

// ---------------------------------------------------------------------------------------------
// Find devices (1050)

void CFirstPage::OnFindDevices() {
    if (m_exchange->IsBusy())
        return;
    Status("DeviceFinding");
    m_exchange->FindDevices();
}

// ---------------------------------------------------------------------------------------------
// USB (1008)

void CFirstPage::OnUsbButton() {
    if (m_exchange->IsBusy())
        return;
    Status("USBConneting");
    // The caption shows the state; the decision follows the link itself, so that blank
    // captions (a Language.ini without texts) cannot turn a disconnect into a new connect.
    if (m_session.Route() != LinkRoute::Usb)
        UsbConnect();
    else
        UsbDisconnect();
}

void CFirstPage::UsbConnect() {
    const QString serial = m_serials->currentText();
    if (serial.trimmed().isEmpty()) {
        Status("GetDevFail");
        return;
    }
    m_exchange->ConnectUsb(serial);
}

void CFirstPage::UsbDisconnect() {
    m_serials->clear();
    m_session.Disconnect(); // idle worker: the session is the window thread's now
    Status("DisconnectUSBOK");
    m_usbButton->setText(GetText("ConnectUSB"));
    ResetDeviceView();
    UpdateControls();
}

// ---------------------------------------------------------------------------------------------
// Wi-Fi (1010)

void CFirstPage::OnWifiButton() {
    if (m_exchange->IsBusy())
        return;
    if (m_session.Route() != LinkRoute::Wifi)
        WifiConnect();
    else
        WifiDisconnect();
}

void CFirstPage::SetAddress(const QString& address) {
    m_address->setText(address.trimmed());
}

void CFirstPage::WifiConnect() {
    Status("WifiConnecting");
    const QString address = m_address->text().trimmed();
    if (!CDeviceSession::IsValidAddress(address)) {
        Status("GetIPFail");
        return;
    }
    m_exchange->ConnectWifi(address);
}

void CFirstPage::WifiDisconnect() {
    m_session.Disconnect();
    Status("WifiDisconnectOK");
    m_wifiButton->setText(GetText("WifiConnect"));
    ResetDeviceView();
    m_serials->clear();
    UpdateControls();
}

void CFirstPage::OnLinked(DeviceOp op, const LinkResult& r) {
    const bool wifi = op == DeviceOp::ConnectWifi;
    if (r.stage >= LinkStage::Titles) {
        ShowDeviceInfo();
        if (wifi) {
            m_serials->clear();
            m_serials->addItem(m_session.DeviceNumber());
            m_serials->setCurrentIndex(0);
        }
    }
    if (!r) {
        if (r.stage >= LinkStage::Titles) {
            ResetDeviceView();
            if (wifi)
                m_serials->clear();
        }
        if (wifi)
            m_wifiButton->setText(GetText("WifiConnect"));
        else
            m_usbButton->setText(GetText("ConnectUSB"));
        Status(r.key.toLatin1().constData());
        UpdateControls();
        return;
    }
    if (wifi)
        m_wifiButton->setText(GetText("WifiDisconnect"));
    else
        m_usbButton->setText(GetText("DisconnectUSB"));
    // The operator's daily question after a link: how many records are new.
    const QString newText =
        GetTextNumber(QStringLiteral("NewRecords"), qint64(m_session.NewRecords()));
    const QString ok = GetText(r.key);
    QString text = newText.isEmpty() ? ok : ok + QStringLiteral("  ") + newText;
    // And whether a calibration or an accuracy check falls due.
    const CDeviceSession::DueNotice& due = m_session.CalibrationNotice();
    if (!due.key.isEmpty()) {
        QString notice = GetTextNumber(due.key, due.days);
        notice.replace(QStringLiteral("%s"), due.date);
        if (!notice.isEmpty())
            text += QStringLiteral("  ") + notice;
    }
    StatusText(text);
    UpdateControls();
}

// ---------------------------------------------------------------------------------------------
// Settings commands

void CFirstPage::OnSetTime() {
    if (!m_exchange->IsBusy())
        m_exchange->SetTime();
}

void CFirstPage::OnSetDeviceId() {
    if (m_exchange->IsBusy())
        return;
    const QString digits = m_newDeviceId->text();
    if (!CDeviceSession::IsTwelveDigits(digits)) {
        m_newDeviceId->clear();
        Status("DevIdMust12Digits");
        return;
    }
    m_exchange->SetDeviceId(digits);
}

void CFirstPage::OnDeleteFiles() {
    if (!m_exchange->IsBusy())
        m_exchange->DeleteFiles();
}

void CFirstPage::OnCommandDone(DeviceOp op, const DeviceResult& r, const QString& newNumber) {
    if (op == DeviceOp::SetDeviceId && r)
        emit deviceIdChanged(GetText("DeviceID") + newNumber);
    Status(r.key.toLatin1().constData());
}
