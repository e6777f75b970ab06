// From the simulator to the history page: records downloaded by brtx-cli are listed under
// the device's own titles and each one shows its photograph.
#include "base/Language.h"
#include "common/TestSupport.h"
#include "history/page/History.h"
#include "sim/lib/Simulator.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTableView>
#include <gtest/gtest.h>

TEST(HistoryEndToEnd, DownloadedRecordsAreListedWithTheirPhotographs) {
    const QString cli = brtxtest::programDir() + "/brtx-cli";
    if (!QFile::exists(cli))
        GTEST_SKIP() << "brtx-cli is not built";
    brtxtest::TempHome home;
    QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", home.file("failer.jpg"));

    brtxsim::SimConfig config;
    config.address = "127.0.0.62";
    config.recordCount = 4;
    config.photoBytes = 9000;
    config.firstDate = QDate(2024, 2, 27);
    QStringList titles(20, QStringLiteral(" "));
    titles[0] = "Name";
    titles[1] = "Plate";
    titles[2] = "Place";
    config.titles = titles;
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();

    QProcess download;
    download.start(cli, {"--home", home.path(), "download", "--wifi", "127.0.0.62", "--all"});
    ASSERT_TRUE(download.waitForFinished(60000));
    ASSERT_EQ(download.exitCode(), 0) << download.readAllStandardOutput().toStdString();
    sim.Stop();

    CHistory page;
    page.resize(1000, 600);
    page.show();
    page.WaitForList(); // the device list comes from the worker
    const QString device = sim.DeviceNumberText();
    auto* box = qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox));
    ASSERT_EQ(box->count(), 2); // "All devices" and the device
    EXPECT_EQ(page.CurrentDevice(), device);

    // The device's own titles; its blank titles were stored as placeholders and are listed.
    ASSERT_EQ(page.ListColumnCount(), 7 + 20 + 1 + 1); // GPS, then Calibration
    EXPECT_EQ(page.ListHeading(7), "Name");
    EXPECT_EQ(page.ListHeading(9), "Place");
    EXPECT_EQ(page.ListHeading(10), "emtyp3");
    EXPECT_EQ(page.ListHeading(27), "GPS");

    qobject_cast<QDateEdit*>(page.Control(HistoryIds::kStartDate))->setDate(QDate(2024, 2, 1));
    qobject_cast<QDateEdit*>(page.Control(HistoryIds::kEndDate))->setDate(QDate(2024, 3, 31));
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 4);
    auto* list = qobject_cast<QTableView*>(page.Control(HistoryIds::kList));
    for (int row = 0; row < 4; ++row) {
        const int recordNo = page.ListCell(row, 1).toInt();
        EXPECT_EQ(recordNo, 4 - row);
        const QStringList fields = sim.RecordFields(recordNo);
        EXPECT_EQ(page.ListCell(row, 2), fields[2]);
        EXPECT_EQ(page.ListCell(row, 7), fields[15]);
        EXPECT_EQ(page.ListCell(row, 27), fields[36] + " " + fields[37]);

        list->selectRow(row);
        EXPECT_EQ(page.SelectedRow(), row);
        const QImage photo = QImage::fromData(sim.Photo(recordNo));
        ASSERT_FALSE(photo.isNull());
        EXPECT_TRUE(QFile::exists(page.PicturePath())) << page.PicturePath().toStdString();
        EXPECT_TRUE(page.Control(HistoryIds::kPicture)->isVisible());
        EXPECT_EQ(page.Control(HistoryIds::kPicture)->size(), photo.size());
    }
}
