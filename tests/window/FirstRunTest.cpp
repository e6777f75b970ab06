// The first five minutes as the README tells them, in the whole window: Wi-Fi Connect to the
// simulator, All Download, History, Query, select a record; the meter follows the selection.
// In English and in Chinese. With BRTX_SHOT_DIR set the window is kept as the manual's
// screenshots (scripts/screenshots.sh runs this under Xvfb).
#include "common/TestSupport.h"

#include "app/shell/ControlId.h"
#include "app/window/BRTXDlg.h"
#include "controls/Meter.h"
#include "device/page/FirstPage.h"
#include "history/page/History.h"
#include "sim/lib/Simulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <ostream>

using brtxtest::GetText;
using brtxtest::waitFor;

namespace {

struct FirstRun {
    const char* language;     // [Global] Language
    const char* deviceType;   // [Global] DeviceType
    const char* address;      // the simulator's
    const char* deviceNumber; // 12 digits
    const char* homeShot;     // file names under BRTX_SHOT_DIR; empty: none
    const char* historyShot;
};

void PrintTo(const FirstRun& run, std::ostream* os) {
    *os << run.language;
}

class FirstRunTest : public ::testing::TestWithParam<FirstRun> {};

void Keep(QWidget& window, const char* name) {
    const QString dir = qEnvironmentVariable("BRTX_SHOT_DIR");
    if (dir.isEmpty() || !*name)
        return;
    QCoreApplication::processEvents();
    ASSERT_TRUE(window.grab().save(QDir(dir).filePath(QLatin1String(name))));
}

TEST_P(FirstRunTest, ConnectDownloadAndLookAtHistory) {
    const FirstRun& run = GetParam();
    brtxtest::TempHome home;
    QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", home.file("failer.jpg"));
    {
        QFile ini(home.file("Language.ini"));
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        QByteArray bytes = ini.readAll();
        bytes.replace("Language=English", QByteArray("Language=") + run.language);
        bytes.replace("DeviceType=4Q", QByteArray("DeviceType=") + run.deviceType);
        home.writeLanguage(bytes);
    }
    brtxsim::SimConfig config;
    config.address = run.address;
    config.recordCount = 12;
    config.deviceNumber = run.deviceNumber;
    if (QByteArray(run.language) == "Chinese")
        config.titles = brtxsim::TitlePreset("chinese");
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();

    CBRTXDlg dlg;
    dlg.show();
    auto* status = FindControl<QLabel>(&dlg, MainIds::kStatus);
    CFirstPage* device = dlg.DevicePage();
    qobject_cast<QLineEdit*>(device->Control(CFirstPage::IdAddress))->setText(run.address);
    qobject_cast<QPushButton*>(device->Control(CFirstPage::IdWifiConnect))->click();
    ASSERT_TRUE(waitFor([&] { return !device->IsBusy() && device->Session().IsLinked(); }, 20000));
    EXPECT_EQ(FindControl<QLabel>(&dlg, MainIds::kDeviceId)->text().section(':', -1).trimmed(),
              sim.DeviceNumberText());
    qobject_cast<QPushButton*>(device->Control(CFirstPage::IdDownloadAll))->click();
    ASSERT_TRUE(waitFor([&] { return status->text() == GetText("DownloadFinish"); }, 30000))
        << status->text().toStdString();
    // The tree holds this download's pictures; a click shows one.
    QTreeWidget* tree = device->Tree();
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    ASSERT_EQ(tree->topLevelItem(0)->childCount(), 1);
    QTreeWidgetItem* folder = tree->topLevelItem(0)->child(0);
    ASSERT_EQ(folder->childCount(), 12);
    tree->setCurrentItem(folder->child(8));
    emit tree->itemClicked(folder->child(8), 0);
    EXPECT_TRUE(device->SelectedPicture().endsWith("/00009.jpg"));
    Keep(dlg, run.homeShot);

    // History: the device just downloaded is chosen; Query lists its twelve records.
    dlg.OnHistory();
    CHistory* history = dlg.HistoryPage();
    qobject_cast<QPushButton*>(history->Control(HistoryIds::kQuery))->click();
    ASSERT_TRUE(waitFor([&] { return history->ListRowCount() == 12; }, 10000));
    EXPECT_EQ(history->ListCell(0, 0), sim.DeviceNumberText());

    // The meter follows the selection: the highest result, on the mg/L scale.
    int best = 0;
    for (int r = 1; r < 12; ++r)
        if (history->ListCell(r, 5).toDouble() > history->ListCell(best, 5).toDouble())
            best = r;
    auto* list = qobject_cast<QTableView*>(history->Control(HistoryIds::kList));
    list->selectRow(best);
    ASSERT_TRUE(waitFor([&] { return history->SelectedRow() == best; }, 5000));
    auto* meter = qobject_cast<CMeter*>(history->Control(HistoryIds::kMeter));
    ASSERT_NE(meter, nullptr);
    EXPECT_DOUBLE_EQ(meter->Value(), history->ListCell(best, 5).toDouble());
    EXPECT_EQ(meter->Maximum(), 2.0);
    EXPECT_GT(meter->Value(), 0.0);
    Keep(dlg, run.historyShot);
}

INSTANTIATE_TEST_SUITE_P(Languages, FirstRunTest,
                         ::testing::Values(FirstRun{"English", "4Q", "127.0.66.1", "000123456789",
                                                    "screenshot-home.png",
                                                    "screenshot-history.png"},
                                           FirstRun{"Chinese", "15", "127.0.66.2", "000000000015",
                                                    "", "screenshot-chinese.png"}),
                         [](const ::testing::TestParamInfo<FirstRun>& info) {
                             return std::string(info.param.language);
                         });

} // namespace
