// The main window: texts, layout in dialog units, artwork choice, page switching, closing,
// dragging and the about box.
#include "common/TestSupport.h"

#include "app/shell/ControlId.h"
#include "app/shell/DialogUnits.h"
#include "app/shell/Look.h"
#include "app/shell/SkinControls.h"
#include "app/window/BRTXDlg.h"
#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "history/page/History.h"
#include "instruments/page/InstrumentsPage.h"
#include "store/Instruments.h"
#include "store/SQLite.h"
#include "store/Schema.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QTimer>
#include <gtest/gtest.h>

#include "base/Paths.h"

using brtxtest::GetText;

using brtxtest::TempHome;
using brtxtest::waitFor;

namespace {

QString TextOf(const CBRTXDlg& dlg, int id) {
    QWidget* w = FindControl(&dlg, id);
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    return QStringLiteral("<missing %1>").arg(id);
}

void AddDevice(const QString& device) {
    SQLite::Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    ASSERT_EQ(db.ExecuteSQL(QStringLiteral("REPLACE INTO TitleInfo(title1,titleindex,DeviceID) "
                                           "values('Name',1,'%1')")
                                .arg(SQLite::Quote(device))),
              0);
}

// A mouse event at a screen position; the window-relative position is taken where the window
// is now, as the system would.
void Mouse(QWidget* target, QEvent::Type type, const QPoint& global, Qt::MouseButton button,
           Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(target->mapFromGlobal(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

TEST(MainWindow, EmptyLanguageFileLeavesEveryTextEmptyButTheVersion) {
    TempHome home(false);
    home.writeLanguage(QByteArray());
    CBRTXDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QString());
    for (int id : {MainIds::kTitle, MainIds::kHome, MainIds::kHistory, MainIds::kExit,
                   MainIds::kDeviceId, MainIds::kTotal, MainIds::kStatus})
        EXPECT_EQ(TextOf(dlg, id), QString()) << id;
    EXPECT_EQ(TextOf(dlg, MainIds::kVersion), QStringLiteral("Version: V1.31"));
    EXPECT_EQ(dlg.DeviceHost()->tabText(0), QString());
    EXPECT_EQ(dlg.HistoryHost()->tabText(0), QString());
    // English artwork when the file names no language.
    EXPECT_EQ(dlg.BackgroundResource(), QStringLiteral(":/brtx/background_en.png"));
}

TEST(MainWindow, TextsComeFromTheLanguageFile) {
    TempHome home;
    CBRTXDlg dlg;
    ASSERT_FALSE(GetText("Home").isEmpty());
    EXPECT_EQ(dlg.windowTitle(), GetText("Title"));
    EXPECT_EQ(TextOf(dlg, MainIds::kTitle), GetText("Title"));
    EXPECT_EQ(TextOf(dlg, MainIds::kHome), GetText("Home"));
    EXPECT_EQ(TextOf(dlg, MainIds::kHistory), GetText("History"));
    EXPECT_EQ(TextOf(dlg, MainIds::kExit), GetText("Exit"));
    EXPECT_EQ(TextOf(dlg, MainIds::kDeviceId), GetText("DeviceID"));
    EXPECT_EQ(TextOf(dlg, MainIds::kTotal), GetText("TotalNumber"));
    EXPECT_EQ(TextOf(dlg, MainIds::kStatus), GetText("Status"));
    EXPECT_EQ(TextOf(dlg, MainIds::kVersion), QStringLiteral("Version: V1.31"));
    EXPECT_EQ(dlg.DeviceHost()->tabText(0), GetText("Home"));
    EXPECT_EQ(dlg.HistoryHost()->tabText(0), GetText("History"));
}

TEST(MainWindow, ControlsFollowTheDialogUnitTable) {
    TempHome home;
    CBRTXDlg dlg;
    dlg.show();
    const QSize base = dlg.BaseUnits();
    ASSERT_GT(base.width(), 0);
    ASSERT_GT(base.height(), 0);
    EXPECT_EQ(base, DialogBaseUnits(dlg.font()));
    EXPECT_EQ(dlg.size(), DialogUnitsToPixels(QRect(0, 0, 639, 448), base).size());

    struct Entry {
        int id;
        QRect dlu;
        bool visible;
    };
    const Entry table[] = {
        {1000, {7, 63, 625, 369}, false}, {1001, {7, 435, 204, 8}, true},
        {1002, {211, 435, 132, 8}, true}, {1032, {343, 435, 112, 8}, true},
        {1003, {455, 434, 177, 9}, true}, {1004, {4, 14, 49, 37}, true},
        {1005, {59, 14, 48, 38}, true},   {1011, {113, 14, 48, 38}, true},
        {1007, {165, 14, 45, 38}, true},  {1006, {165, 15, 49, 38}, false},
        {1008, {615, 2, 11, 9}, true},    {1009, {625, 2, 13, 9}, true},
        {1010, {4, 2, 91, 8}, false},
    };
    for (const Entry& e : table) {
        QWidget* w = FindControl(&dlg, e.id);
        ASSERT_NE(w, nullptr) << e.id;
        EXPECT_EQ(w->geometry(), dlg.MapDialogRect(e.dlu)) << e.id;
        EXPECT_EQ(w->isVisible(), e.visible) << e.id;
        EXPECT_EQ(w->property("ctrlId").toInt(), e.id);
    }
    // Both hosts cover the page area: the marker frame less one pixel on each side.
    const QRect area = dlg.MapDialogRect(QRect(7, 63, 625, 369)).adjusted(1, 1, -1, -1);
    EXPECT_EQ(dlg.PageArea(), area);
    EXPECT_EQ(FindControl(&dlg, MainIds::kDeviceHost)->geometry(), area);
    EXPECT_EQ(FindControl(&dlg, MainIds::kHistoryHost)->geometry(), area);
    EXPECT_EQ(dlg.DeviceHost()->tabBar()->tabRect(0).height(), 28);
    EXPECT_GE(dlg.DeviceHost()->tabBar()->tabRect(0).width(), 80);

    // Status fields: 15-pixel characters, black on (240, 250, 255).
    auto* status = FindControl<QLabel>(&dlg, MainIds::kStatus);
    EXPECT_EQ(status->font().pixelSize(), 15);
    EXPECT_EQ(status->palette().color(QPalette::Window), QColor(240, 250, 255));
    EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(Qt::black));
}

TEST(MainWindow, DialogUnitsRoundLikeTheWindowsConversion) {
    // Base units 6 x 13: x = units * 6 / 4, y = units * 13 / 8, each edge rounded.
    EXPECT_EQ(DialogUnitsToPixels(QRect(7, 63, 625, 369), QSize(6, 13)), QRect(11, 102, 937, 600));
    EXPECT_EQ(DialogUnitsToPixels(QRect(0, 0, 639, 448), QSize(7, 15)), QRect(0, 0, 1118, 840));
    // Adjacent fields stay adjacent: the right edge of one is the left edge of the next.
    const QSize base(7, 15);
    EXPECT_EQ(DialogUnitsToPixels(QRect(7, 435, 204, 8), base).right() + 1,
              DialogUnitsToPixels(QRect(211, 435, 132, 8), base).left());
    // The average width is taken over the 52 letters, rounded the usual way.
    const QSize units = DialogBaseUnits(DialogFont());
    const int letters =
        QFontMetrics(DialogFont())
            .horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(units.width(), (letters / 26 + 1) / 2);
    EXPECT_EQ(units.height(), QFontMetrics(DialogFont()).height());
}

TEST(MainWindow, DialogFontShrinksUntilTheWindowFitsTheScreen) {
    EXPECT_EQ(DialogFont().pointSize(), 9);
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    // A small dialog fits any screen at the designed 9 pt.
    EXPECT_EQ(DialogFont(QSize(40, 20), screen).pointSize(), 9);
    // The main window takes the largest size from 9 down to 7 pt that fits (7 pt at the least).
    const QSize room = screen->availableGeometry().size();
    const QSize dlu(CBRTXDlg::kWidthDlu, CBRTXDlg::kHeightDlu);
    const QFont font = DialogFont(dlu, screen);
    ASSERT_GE(font.pointSize(), 7);
    ASSERT_LE(font.pointSize(), 9);
    auto fits = [&](int points) {
        QFont f = font;
        f.setPointSize(points);
        const QSize px = DialogUnitsToPixels(QRect(QPoint(), dlu), DialogBaseUnits(f)).size();
        return px.width() <= room.width() && px.height() <= room.height();
    };
    EXPECT_TRUE(fits(font.pointSize()) || font.pointSize() == 7);
    if (font.pointSize() < 9) {
        EXPECT_FALSE(fits(font.pointSize() + 1));
    }

    TempHome home;
    CBRTXDlg dlg;
    EXPECT_EQ(dlg.font().pointSize(), font.pointSize());
}

TEST(MainWindow, BackgroundFollowsLanguageAndDeviceType) {
    EXPECT_EQ(CBRTXDlg::BackgroundFor("Chinese", "15"), ":/brtx/background_cn15.png");
    EXPECT_EQ(CBRTXDlg::BackgroundFor("Chinese", "4Q"), ":/brtx/background_cn.png");
    // The comparisons are exact: other spellings get the English artwork.
    EXPECT_EQ(CBRTXDlg::BackgroundFor("chinese", "15"), ":/brtx/background_en.png");
    EXPECT_EQ(CBRTXDlg::BackgroundFor("English", "15"), ":/brtx/background_en.png");
    InitShellResources();
    for (const char* res :
         {":/brtx/background_en.png", ":/brtx/background_cn.png", ":/brtx/background_cn15.png"})
        EXPECT_EQ(QPixmap(res).size(), QSize(1024, 768)) << res;
    for (const char* res : {":/brtx/home.png", ":/brtx/history.png", ":/brtx/exit.png",
                            ":/brtx/minimise.png", ":/brtx/close.png", ":/brtx/tab.png",
                            ":/brtx/tab_selected.png", ":/brtx/brtx.png", ":/brtx/arrow_down.png"})
        EXPECT_FALSE(QPixmap(res).isNull()) << res;
    EXPECT_FALSE(QImage(brtxtest::sourceDir() + "/assets/failer.jpg").isNull());
    EXPECT_FALSE(LookStyleSheet().isEmpty());

    TempHome home;
    home.writeLanguage(
        "[Global]\r\nLanguage=Chinese\r\nDeviceType=15\r\n[Chinese]\r\nHome=Home\r\n");
    CBRTXDlg dlg;
    EXPECT_EQ(dlg.BackgroundResource(), ":/brtx/background_cn15.png");
}

TEST(MainWindow, PageButtonsSwitchPagesAndHistoryReloadsDevicesEachTime) {
    TempHome home;
    AddDevice("000000000001");
    CBRTXDlg dlg;
    dlg.show();
    auto* homeButton = FindControl<QAbstractButton>(&dlg, MainIds::kHome);
    auto* historyButton = FindControl<QAbstractButton>(&dlg, MainIds::kHistory);
    auto* deviceHost = FindControl(&dlg, MainIds::kDeviceHost);
    auto* historyHost = FindControl(&dlg, MainIds::kHistoryHost);
    EXPECT_TRUE(deviceHost->isVisible());
    EXPECT_FALSE(historyHost->isVisible());
    EXPECT_TRUE(homeButton->isChecked());

    auto* devices = qobject_cast<QComboBox*>(dlg.HistoryPage()->Control(HistoryIds::kDeviceBox));
    ASSERT_NE(devices, nullptr);
    dlg.HistoryPage()->WaitForList(); // the device list comes from the worker
    ASSERT_EQ(devices->count(), 2);   // "All devices" and the device

    AddDevice("000000000002");
    historyButton->click();
    EXPECT_FALSE(deviceHost->isVisible());
    EXPECT_TRUE(historyHost->isVisible());
    EXPECT_TRUE(historyButton->isChecked());
    dlg.HistoryPage()->WaitForList();
    EXPECT_EQ(devices->count(), 3);

    // A second press reloads again, though the page is already in front.
    AddDevice("000000000003");
    historyButton->click();
    dlg.HistoryPage()->WaitForList();
    EXPECT_EQ(devices->count(), 4);
    EXPECT_TRUE(historyHost->isVisible());
    // The history page's status texts reach this window's status field.
    dlg.HistoryPage()->OnBnClickedExportPdf(); // no record selected
    EXPECT_EQ(TextOf(dlg, MainIds::kStatus), GetText("ClickRecord"));

    // Instruments: its page in front, the register read afresh; its texts reach the status.
    auto* instrumentsButton = FindControl<QAbstractButton>(&dlg, MainIds::kInstruments);
    auto* instrumentsHost = FindControl(&dlg, MainIds::kInstrumentsHost);
    EXPECT_EQ(instrumentsButton->text(), GetText("Instruments"));
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(GetDatabasePath()), 0);
        ASSERT_TRUE(Instruments::NoteLink(db, "000000000003", "4Q"));
    }
    instrumentsButton->click();
    EXPECT_TRUE(instrumentsHost->isVisible());
    EXPECT_FALSE(historyHost->isVisible());
    EXPECT_FALSE(deviceHost->isVisible());
    ASSERT_TRUE(dlg.InstrumentsPage()->WaitIdle());
    EXPECT_EQ(dlg.InstrumentsPage()->RegisterModel()->rowCount(), 1);
    ASSERT_TRUE(dlg.InstrumentsPage()->SaveChart(home.file("drift.svg")));
    EXPECT_TRUE(TextOf(dlg, MainIds::kStatus).startsWith(GetText("InstChartSaved")));

    homeButton->click();
    EXPECT_TRUE(deviceHost->isVisible());
    EXPECT_FALSE(historyHost->isVisible());
    EXPECT_FALSE(instrumentsHost->isVisible());
    EXPECT_TRUE(homeButton->isChecked());
    EXPECT_FALSE(historyButton->isChecked());
}

TEST(MainWindow, ExitAndCloseEndTheDialogButEscapeDoesNot) {
    TempHome home;
    for (int id : {MainIds::kExit, MainIds::kClose}) {
        CBRTXDlg dlg;
        QTimer::singleShot(0, &dlg, [&dlg] {
            // Escape first: it must not end the dialog.
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&dlg, &esc);
        });
        QTimer::singleShot(20, &dlg, [&dlg, id] {
            EXPECT_TRUE(dlg.isVisible());
            FindControl<QAbstractButton>(&dlg, id)->click();
        });
        QTimer::singleShot(10000, &dlg, [&dlg] { dlg.done(42); }); // safety net
        EXPECT_EQ(dlg.exec(), QDialog::Rejected) << id;
        EXPECT_FALSE(dlg.isVisible());
    }
}

TEST(MainWindow, DragFromAFreeSpotMovesTheWindow) {
    TempHome home;
    CBRTXDlg dlg;
    dlg.move(40, 30);
    dlg.show();
    ASSERT_TRUE(waitFor([&] { return dlg.isVisible(); }));

    // Two free spots of the title strip: between the page buttons and the brand, and under the
    // brand on the right.
    for (const QRect dlu : {QRect(300, 30, 1, 1), QRect(560, 45, 1, 1)}) {
        const QPoint spot = dlg.MapDialogRect(dlu).topLeft();
        ASSERT_EQ(dlg.childAt(spot), nullptr);
        const QPoint start = dlg.pos();
        const QPoint delta(37, 21);
        const QPoint at = dlg.mapToGlobal(spot);
        Mouse(&dlg, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
        Mouse(&dlg, QEvent::MouseMove, at + QPoint(10, 5), Qt::NoButton, Qt::LeftButton);
        Mouse(&dlg, QEvent::MouseMove, at + delta, Qt::NoButton, Qt::LeftButton);
        Mouse(&dlg, QEvent::MouseButtonRelease, at + delta, Qt::LeftButton, Qt::NoButton);
        EXPECT_TRUE(waitFor([&] { return dlg.pos() == start + delta; }, 2000))
            << "at " << dlu.x() << "," << dlu.y();
        // Moving the mouse after the release leaves the window where it is.
        Mouse(&dlg, QEvent::MouseMove, at + delta + QPoint(50, 50), Qt::NoButton, Qt::NoButton);
        EXPECT_EQ(dlg.pos(), start + delta);
    }

    // The right button does not drag.
    const QPoint spot = dlg.MapDialogRect(QRect(300, 30, 1, 1)).topLeft();
    const QPoint start = dlg.pos();
    const QPoint at = dlg.mapToGlobal(spot);
    Mouse(&dlg, QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
    Mouse(&dlg, QEvent::MouseMove, at + QPoint(30, 30), Qt::NoButton, Qt::RightButton);
    Mouse(&dlg, QEvent::MouseButtonRelease, at + QPoint(30, 30), Qt::RightButton, Qt::NoButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg.pos(), start);
}

TEST(MainWindow, TitleStripContextMenuOpensTheAboutBox) {
    TempHome home;
    CBRTXDlg dlg;
    dlg.show();

    int menus = 0;
    QString okText;
    QString aboutName;
    int ticks = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        ++ticks;
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            ++menus;
            menu->setActiveAction(menu->actions().value(0));
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(menu, &enter);
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->objectName() == QLatin1String("aboutBox")) {
            if (auto* name = modal->findChild<QLabel*>("aboutName"))
                aboutName = name->text();
            for (auto* b : modal->findChildren<QPushButton*>()) {
                okText = b->text();
                b->click();
            }
            return;
        }
        if (ticks > 500) { // safety net: never leave a test hanging
            if (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                box->reject();
        }
    });
    poll.start(10);

    // Below the title strip: no menu.
    const QPoint inPage = dlg.PageArea().center();
    QContextMenuEvent below(QContextMenuEvent::Mouse, inPage, dlg.mapToGlobal(inPage));
    QApplication::sendEvent(&dlg, &below);
    EXPECT_EQ(menus, 0);

    // On the title strip: the menu, then the about box with its button "确定".
    const QPoint onStrip = dlg.MapDialogRect(QRect(300, 30, 1, 1)).topLeft();
    QContextMenuEvent right(QContextMenuEvent::Mouse, onStrip, dlg.mapToGlobal(onStrip));
    QApplication::sendEvent(&dlg, &right);
    poll.stop();
    EXPECT_EQ(menus, 1);
    EXPECT_EQ(okText, QStringLiteral("确定"));
    EXPECT_TRUE(aboutName.contains("1.31")) << aboutName.toStdString();
    EXPECT_TRUE(dlg.isVisible());
}
