// The four status setters: direct on the window thread, queued from any other thread, and
// harmless without a main window.
#include "common/TestSupport.h"

#include "app/shell/ControlId.h"
#include "app/shell/SkinControls.h"
#include "app/shell/Status.h"
#include "app/window/BRTXDlg.h"
#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "history/page/History.h"

#include <QCoreApplication>
#include <QLabel>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using brtxtest::TempHome;
using brtxtest::waitFor;

namespace {
QString Field(const QWidget* dlg, int id) {
    auto* label = FindControl<QLabel>(dlg, id);
    return label ? label->text() : QStringLiteral("<missing>");
}
} // namespace

TEST(StatusSetters, OnTheWindowThreadSetTheirFieldsAtOnce) {
    TempHome home;
    CBRTXDlg dlg;
    ASSERT_EQ(MainWindow(), &dlg);
    SetStatusText("status");
    SetVersionText("version");
    SetDeviceIdText("device");
    SetTotalNumberText("total");
    EXPECT_EQ(Field(&dlg, MainIds::kStatus), "status");
    EXPECT_EQ(Field(&dlg, MainIds::kVersion), "version");
    EXPECT_EQ(Field(&dlg, MainIds::kDeviceId), "device");
    EXPECT_EQ(Field(&dlg, MainIds::kTotal), "total");
    // A page control with a clashing id is not the main window's field.
    auto* pageLabel = new QLabel("page", dlg.DevicePage());
    SetControlId(pageLabel, MainIds::kStatus);
    SetStatusText("again");
    EXPECT_EQ(pageLabel->text(), "page");
    EXPECT_EQ(Field(&dlg, MainIds::kStatus), "again");
}

TEST(StatusSetters, ALongTextIsDrawnSmallerToFitItsField) {
    TempHome home;
    CBRTXDlg dlg;
    dlg.show();
    auto* status = FindControl<QLabel>(&dlg, MainIds::kStatus);
    ASSERT_NE(status, nullptr);
    const int design = status->font().pixelSize();
    const QString longText = "The record number must not exceed the total.";
    SetStatusText(longText);
    QFontMetrics fm(status->font());
    EXPECT_LT(status->font().pixelSize(), design);
    EXPECT_LE(fm.horizontalAdvance(longText), status->contentsRect().width());
    // A short text is drawn at the field's own size again.
    SetStatusText("Ready");
    EXPECT_EQ(status->font().pixelSize(), design);
}

TEST(StatusSetters, FromAnotherThreadAreHandedOverInOrder) {
    TempHome home;
    CBRTXDlg dlg;
    const QString before = Field(&dlg, MainIds::kStatus);
    std::thread worker([] {
        for (int i = 0; i < 200; ++i)
            SetStatusText(QStringLiteral("step %1").arg(i));
        SetVersionText("v");
        SetDeviceIdText("d");
        SetTotalNumberText("t");
    });
    worker.join();
    // The worker touched no widget: nothing changes until the window thread runs its events.
    EXPECT_EQ(Field(&dlg, MainIds::kStatus), before);
    EXPECT_EQ(Field(&dlg, MainIds::kVersion), "Version: V1.31");
    ASSERT_TRUE(waitFor([&] { return Field(&dlg, MainIds::kTotal) == "t"; }));
    EXPECT_EQ(Field(&dlg, MainIds::kStatus), "step 199");
    EXPECT_EQ(Field(&dlg, MainIds::kVersion), "v");
    EXPECT_EQ(Field(&dlg, MainIds::kDeviceId), "d");
}

TEST(StatusSetters, WithoutAMainWindowDoNothing) {
    ASSERT_EQ(MainWindow(), nullptr);
    // A window that did not register is not the main window.
    QWidget stray;
    auto* label = new CLabel(&stray);
    SetControlId(label, MainIds::kStatus);
    label->setText("old");
    SetStatusText("new");
    std::thread worker([] { SetStatusText("from worker"); });
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(label->text(), "old");
}

TEST(StatusSetters, TextsPendingForAClosedWindowAreDropped) {
    TempHome home;
    auto dlg = std::make_unique<CBRTXDlg>();
    std::thread worker([] {
        for (int i = 0; i < 50; ++i)
            SetStatusText(QStringLiteral("late %1").arg(i));
    });
    worker.join();
    dlg.reset();
    EXPECT_EQ(MainWindow(), nullptr);
    QCoreApplication::processEvents(); // the posted texts must not reach a destroyed window
    SetStatusText("after");
    std::thread after([] { SetTotalNumberText("after"); });
    after.join();
    QCoreApplication::processEvents();

    // A new window registers in its place and gets the texts again.
    CBRTXDlg next;
    EXPECT_EQ(MainWindow(), &next);
    std::thread again([] { SetStatusText("next"); });
    again.join();
    EXPECT_TRUE(waitFor([&] { return Field(&next, MainIds::kStatus) == "next"; }));
}

TEST(StatusSetters, WorkersRacingTheWindowsEndDoNotCrash) {
    TempHome home;
    for (int round = 0; round < 5; ++round) {
        auto dlg = std::make_unique<CBRTXDlg>();
        std::atomic<bool> stop{false};
        std::thread worker([&stop] {
            int i = 0;
            while (!stop)
                SetStatusText(QString::number(i++));
        });
        QCoreApplication::processEvents();
        dlg.reset(); // while the worker keeps posting
        QCoreApplication::processEvents();
        stop = true;
        worker.join();
        QCoreApplication::processEvents();
        EXPECT_EQ(MainWindow(), nullptr);
    }
}
