#include "app/window/BRTXDlg.h"

#include "device/page/FirstPage.h"
#include "history/page/History.h"
#include "instruments/page/InstrumentsPage.h"

#include "app/shell/ControlId.h"
#include "app/shell/DialogUnits.h"
#include "app/shell/Look.h"
#include "app/shell/SkinControls.h"
#include "app/shell/Status.h"
#include "base/Language.h"

#include "base/Paths.h"
#include "base/Version.h"
#include "store/DeskKey.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace {

const QString kVersionText = QStringLiteral("Version: V" BRTX_VERSION);
const QString kProductName = QStringLiteral("BRTX");

bool IsChinese(const CLanguage& language) {
    return language.ReadLanguage() == QLatin1String("Chinese");
}

} // namespace

CBRTXDlg::CBRTXDlg(QWidget* parent, const CLanguage* language)
    : QDialog(parent), m_language(language ? *language : CLanguage()) {
    InitShellResources();
    CInstrumentsPage::InitResources();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowSystemMenuHint);
    setWindowIcon(QIcon(QStringLiteral(":/brtx/brtx.png")));

    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    setFont(DialogFont(QSize(kWidthDlu, kHeightDlu), screen));
    m_baseUnits = DialogBaseUnits(font());
    setFixedSize(MapDialogRect(QRect(0, 0, kWidthDlu, kHeightDlu)).size());

    m_backgroundPath = BackgroundFor(m_language.ReadLanguage(), m_language.ReadDeviceType());
    m_background = QPixmap(m_backgroundPath);

    BuildControls();
    BuildPages();
    SetTexts();
    RegisterMainWindow(this);
}

CBRTXDlg::~CBRTXDlg() {
    // Before any part of the window goes: setters called from now on do nothing.
    if (MainWindow() == this)
        RegisterMainWindow(nullptr);
}

QRect CBRTXDlg::MapDialogRect(const QRect& dlu) const {
    return DialogUnitsToPixels(dlu, m_baseUnits);
}

QString CBRTXDlg::BackgroundFor(const QString& language, const QString& deviceType) {
    if (language == QLatin1String("Chinese")) {
        return deviceType == QLatin1String("15") ? QStringLiteral(":/brtx/background_cn15.png")
                                                 : QStringLiteral(":/brtx/background_cn.png");
    }
    return QStringLiteral(":/brtx/background_en.png");
}

CLabel* CBRTXDlg::MakeLabel(int id, const QRect& dlu) {
    auto* label = new CLabel(this);
    SetControlId(label, id);
    label->setGeometry(MapDialogRect(dlu));
    return label;
}

CButtonST* CBRTXDlg::MakePageButton(int id, const QRect& dlu, const QString& icon,
                                    const char* key) {
    auto* button = new CButtonST(this);
    SetControlId(button, id);
    button->setGeometry(MapDialogRect(dlu));
    button->SetIcon(icon);
    button->setProperty("textKey", QString::fromLatin1(key));
    return button;
}

void CBRTXDlg::BuildControls() {
    using namespace MainIds;
    m_pageFrame = new QFrame(this);
    SetControlId(m_pageFrame, kPageArea);
    m_pageFrame->setGeometry(MapDialogRect(QRect(7, 63, 625, 369)));
    m_pageFrame->hide();

    m_title = MakeLabel(kTitle, QRect(4, 2, 91, 8));
    m_title->hide();
    m_version = MakeLabel(kVersion, QRect(7, 435, 204, 8));
    m_deviceId = MakeLabel(kDeviceId, QRect(211, 435, 132, 8));
    m_total = MakeLabel(kTotal, QRect(343, 435, 112, 8));
    m_status = MakeLabel(kStatus, QRect(455, 434, 177, 9));

    m_home = MakePageButton(kHome, QRect(4, 14, 49, 37), ":/brtx/home.png", "Home");
    m_history = MakePageButton(kHistory, QRect(59, 14, 48, 38), ":/brtx/history.png", "History");
    // Instruments sits beside History; Exit moves to the slot after the separator.
    m_instruments = MakePageButton(kInstruments, QRect(113, 14, 48, 38), ":/brtx/instruments.png",
                                   "Instruments");
    m_exit = MakePageButton(kExit, QRect(165, 14, 45, 38), ":/brtx/exit.png", "Exit");
    m_unused = MakePageButton(kUnused, QRect(165, 15, 49, 38), QString(), "");
    m_unused->hide();

    // Home, History and Instruments show which page is in front.
    m_home->setCheckable(true);
    m_history->setCheckable(true);
    m_instruments->setCheckable(true);
    auto* pages = new QButtonGroup(this);
    pages->setExclusive(true);
    pages->addButton(m_home);
    pages->addButton(m_history);
    pages->addButton(m_instruments);
    m_home->setChecked(true);

    m_minimise = new CBmpButton(this);
    SetControlId(m_minimise, kMinimise);
    m_minimise->setGeometry(MapDialogRect(QRect(615, 2, 11, 9)));
    m_minimise->LoadBitmaps(":/brtx/minimise.png", ":/brtx/minimise_hover.png",
                            ":/brtx/minimise_pressed.png");
    m_close = new CBmpButton(this);
    SetControlId(m_close, kClose);
    m_close->setGeometry(MapDialogRect(QRect(625, 2, 13, 9)));
    m_close->LoadBitmaps(":/brtx/close.png", ":/brtx/close_hover.png", ":/brtx/close_pressed.png");

    connect(m_home, &QAbstractButton::clicked, this, &CBRTXDlg::OnHome);
    connect(m_history, &QAbstractButton::clicked, this, &CBRTXDlg::OnHistory);
    connect(m_instruments, &QAbstractButton::clicked, this, &CBRTXDlg::OnInstruments);
    connect(m_exit, &QAbstractButton::clicked, this, &CBRTXDlg::OnExit);
    connect(m_close, &QAbstractButton::clicked, this, &CBRTXDlg::OnExit);
    connect(m_minimise, &QAbstractButton::clicked, this, &CBRTXDlg::OnMinimise);
}

void CBRTXDlg::BuildPages() {
    // The page area is the marker frame shrunk by one pixel on each side.
    m_pageArea = m_pageFrame->geometry().adjusted(1, 1, -1, -1);

    m_deviceHost = new CSkinTabCtrl(this);
    SetControlId(m_deviceHost, MainIds::kDeviceHost);
    m_deviceHost->setGeometry(m_pageArea);
    m_deviceHost->SetItemSize(QSize(80, 28), 80);
    m_devicePage = new CFirstPage(m_deviceHost, &m_language);
    // The device page's texts go to the four fields of this window.
    using namespace MainIds;
    for (const auto& [signal, id] : {std::pair{&CFirstPage::statusChanged, kStatus},
                                     std::pair{&CFirstPage::versionChanged, kVersion},
                                     std::pair{&CFirstPage::deviceIdChanged, kDeviceId},
                                     std::pair{&CFirstPage::totalChanged, kTotal}}) {
        const int field = id;
        connect(m_devicePage, signal, this,
                [this, field](const QString& text) { ShowFieldText(this, field, text); });
    }
    m_deviceHost->AddPage(m_devicePage, GetText("Home"));

    m_historyHost = new CSkinTabCtrl(this);
    SetControlId(m_historyHost, MainIds::kHistoryHost);
    m_historyHost->setGeometry(m_pageArea);
    m_historyHost->SetItemSize(QSize(80, 28), 80);
    m_historyPage = new CHistory(m_historyHost, &m_language);
    connect(m_historyPage, &CHistory::statusChanged, this,
            [this](const QString& text) { ShowFieldText(this, MainIds::kStatus, text); });
    m_historyHost->AddPage(m_historyPage, GetText("History"));

    m_instrumentsHost = new CSkinTabCtrl(this);
    SetControlId(m_instrumentsHost, MainIds::kInstrumentsHost);
    m_instrumentsHost->setGeometry(m_pageArea);
    m_instrumentsHost->SetItemSize(QSize(80, 28), 80);
    m_instrumentsPage = new CInstrumentsPage(m_instrumentsHost, &m_language);
    connect(m_instrumentsPage, &CInstrumentsPage::statusChanged, this,
            [this](const QString& text) { ShowFieldText(this, MainIds::kStatus, text); });
    m_instrumentsHost->AddPage(m_instrumentsPage, GetText("Instruments"));

    // The device page is in front after the build.
    ShowHost(m_deviceHost);
}

void CBRTXDlg::ShowHost(CSkinTabCtrl* host) {
    for (CSkinTabCtrl* h : {m_deviceHost, m_historyHost, m_instrumentsHost})
        if (h != host)
            h->hide();
    host->show();
    host->raise();
}

void CBRTXDlg::SetTexts() {
    const QString title = GetText("Title");
    setWindowTitle(title);
    m_title->setText(title);
    m_home->setText(GetText("Home"));
    m_history->setText(GetText("History"));
    m_instruments->setText(GetText("Instruments"));
    m_exit->setText(GetText("Exit"));
    m_version->setText(kVersionText);
    m_deviceId->setText(GetText("DeviceID"));
    m_total->setText(GetText("TotalNumber"));
    m_status->setText(GetText("Status"));
}

void CBRTXDlg::OnHome() {
    m_home->setChecked(true);
    ShowHost(m_deviceHost);
}

void CBRTXDlg::OnHistory() {
    m_history->setChecked(true);
    m_historyPage->RefreshDeviceList();
    ShowHost(m_historyHost);
}

void CBRTXDlg::OnInstruments() {
    m_instruments->setChecked(true);
    // Showing the page reads the register again (on its worker).
    ShowHost(m_instrumentsHost);
}

void CBRTXDlg::OnExit() {
    close();
}

void CBRTXDlg::OnMinimise() {
    showMinimized();
}

void CBRTXDlg::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (m_scaledBackground.size() != size() && !m_background.isNull())
        m_scaledBackground =
            m_background.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (m_scaledBackground.isNull())
        p.fillRect(rect(), QColor(0xe6, 0xef, 0xf8));
    else
        p.drawPixmap(0, 0, m_scaledBackground);
}

void CBRTXDlg::resizeEvent(QResizeEvent* event) {
    m_scaledBackground = QPixmap();
    QDialog::resizeEvent(event);
}

void CBRTXDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QDialog::mousePressEvent(event);
        return;
    }
    // A press on any free spot moves the window: the window manager does it where it can,
    // otherwise the window follows the mouse itself.
    if (QWindow* handle = windowHandle(); handle && handle->startSystemMove()) {
        event->accept();
        return;
    }
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void CBRTXDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CBRTXDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (m_dragging && event->button() == Qt::LeftButton) {
        m_dragging = false;
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

QMenu* CBRTXDlg::CreateTitleMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("titleMenu"));
    QAction* about =
        menu->addAction(IsChinese(m_language) ? QStringLiteral("关于 %1(&A)...").arg(kProductName)
                                              : QStringLiteral("&About %1...").arg(kProductName));
    about->setObjectName(QStringLiteral("aboutAction"));
    return menu;
}

void CBRTXDlg::contextMenuEvent(QContextMenuEvent* event) {
    // Only the title strip (above the page area) has the menu.
    if (event->pos().y() >= m_pageArea.top()) {
        QDialog::contextMenuEvent(event);
        return;
    }
    event->accept();
    QMenu* menu = CreateTitleMenu();
    QAction* chosen = menu->exec(event->globalPos());
    const bool about = chosen && chosen->objectName() == QLatin1String("aboutAction");
    delete menu;
    if (about)
        ShowAboutBox();
}

void CBRTXDlg::ShowAboutBox() {
    QDialog box(this);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setWindowTitle(IsChinese(m_language) ? QStringLiteral("关于 %1").arg(kProductName)
                                             : QStringLiteral("About %1").arg(kProductName));
    auto* icon = new QLabel(&box);
    icon->setPixmap(QIcon(QStringLiteral(":/brtx/brtx.png")).pixmap(QSize(48, 48)));
    icon->setAlignment(Qt::AlignTop);
    auto* name = new QLabel(
        QStringLiteral("%1, Version %2").arg(kProductName, QStringLiteral(BRTX_VERSION)), &box);
    name->setObjectName(QStringLiteral("aboutName"));
    auto* second = new QLabel(QStringLiteral("Copyright (C) 2024"), &box);
    second->setObjectName(QStringLiteral("aboutLine"));
    // The desk key's fingerprint (abbreviated), so a report's signer can be matched to this desk.
    const QString fingerprint =
        Desk::FingerprintOfKeyFile(GetAppFolder() + QStringLiteral("/desk.key"));
    auto* desk = new QLabel(QStringLiteral("%1: %2").arg(
                                GetText(QStringLiteral("DeskKeyName")),
                                fingerprint.isEmpty() ? QStringLiteral("-") : fingerprint.left(16)),
                            &box);
    desk->setObjectName(QStringLiteral("aboutDeskKey"));
    desk->setToolTip(fingerprint);
    desk->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* ok = new QPushButton(QStringLiteral("确定"), &box);
    ok->setDefault(true);
    ok->setMinimumWidth(MapDialogRect(QRect(0, 0, 50, 0)).width());
    connect(ok, &QPushButton::clicked, &box, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(second);
    text->addWidget(desk);
    text->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(text, 1);
    top->addWidget(ok, 0, Qt::AlignTop);
    box.setLayout(top);
    box.setMinimumWidth(MapDialogRect(QRect(0, 0, 170, 0)).width());
    box.exec();
}

void CBRTXDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        // Escape does not end the program; "Exit" and the close button do.
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter presses only the button that has the focus; it never triggers some other
        // button of a page as a dialog default would.
        if (auto* button = qobject_cast<QAbstractButton*>(focusWidget()))
            button->animateClick();
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
