// The device page sends each download to the central store in the background.
#include "CentralTestSupport.h"
#include "common/StatusWindow.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "central/CentralSync.h"
#include "device/page/FirstPage.h"
#include "history/page/History.h"
#include "history/page/HistoryModel.h"
#include "sim/lib/Simulator.h"

#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

// Links the page to a simulator with three records, downloads them all and returns once the
// download has ended.
void DownloadAll(CFirstPage& page, StatusWindow& main, brtxsim::CSimulator& sim,
                 const QString& address) {
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    qobject_cast<QLineEdit*>(page.Control(CFirstPage::IdAddress))->setText(address);
    qobject_cast<QPushButton*>(page.Control(CFirstPage::IdWifiConnect))->click();
    // The connect text is followed by the count of new records.
    ASSERT_TRUE(waitFor([&] { return main.status().startsWith(GetText("WifiConnectOK")); }, 20000));
    qobject_cast<QPushButton*>(page.Control(CFirstPage::IdDownloadAll))->click();
    // A failing background sync may replace the finish text at once.
    ASSERT_TRUE(waitFor([&] { return main.saw(GetText("DownloadFinish")); }, 30000));
}

void WriteCentralUrl(const TempHome& home, const QString& conninfo) {
    QFile f(home.file("Language.ini"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray ini = f.readAll();
    f.close();
    ini.replace("CentralUrl=\n", "CentralUrl=" + conninfo.toUtf8() + "\n");
    home.writeLanguage(ini);
}

brtxsim::SimConfig Sim(const char* address) {
    brtxsim::SimConfig c;
    c.address = address;
    c.recordCount = 3;
    c.photoBytes = 2000;
    return c;
}

} // namespace

TEST(CentralAutoSync, ADownloadIsSentInTheBackground) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    TempHome home;
    WriteCentralUrl(home, pg.Conninfo());
    StatusWindow main;
    brtxsim::CSimulator sim(Sim("127.0.16.1"));
    auto page = std::make_unique<CFirstPage>();
    main.Follow(page.get());
    ASSERT_NO_FATAL_FAILURE(DownloadAll(*page, main, sim, "127.0.16.1"));
    ASSERT_TRUE(waitFor([&] { return pg.Value("SELECT count(*) FROM pictures") == "3"; }, 20000))
        << main.status().toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "3");
    EXPECT_EQ(main.status(), GetText("DownloadFinish")); // a sync that worked says nothing
    page.reset();
}

TEST(CentralAutoSync, AnUnreachableServerIsReportedAndNothingWaits) {
    TempHome home;
    WriteCentralUrl(home, "host=127.0.0.1 port=1 connect_timeout=3");
    StatusWindow main;
    brtxsim::CSimulator sim(Sim("127.0.16.2"));
    auto page = std::make_unique<CFirstPage>();
    main.Follow(page.get());
    ASSERT_NO_FATAL_FAILURE(DownloadAll(*page, main, sim, "127.0.16.2"));
    EXPECT_TRUE(waitFor([&] { return main.status() == GetText("SyncFail"); }, 20000))
        << main.status().toStdString();
    // The records stay on this desk.
    EXPECT_TRUE(QFile::exists(home.file("brtx.db")));
    page.reset();
}

TEST(CentralAutoSync, TheHistoryPageSyncsOnDemandAndOffersItOnlyWithAServer) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    TempHome home;
    StatusWindow main;
    {
        CHistory plain;
        EXPECT_TRUE(plain.Control(HistoryIds::kSync)->isHidden());
    }
    FillLocalStore(home.path(), "0123456789", 4);
    WriteCentralUrl(home, pg.Conninfo());
    CHistory page;
    main.Follow(&page);
    auto* sync = qobject_cast<QPushButton*>(page.Control(HistoryIds::kSync));
    ASSERT_TRUE(sync && !sync->isHidden());
    sync->click();
    EXPECT_FALSE(sync->isEnabled()); // the page goes on while the worker sends
    ASSERT_TRUE(waitFor([&] { return main.status() == GetText("SyncDone"); }, 20000))
        << main.status().toStdString();
    EXPECT_TRUE(sync->isEnabled());
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "4");
}

TEST(CentralAutoSync, TheHistoryPageListsTheCentralStoreWithItsPhotographs) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    // Another desk's records and photographs reach the server.
    TempHome other;
    FillLocalStore(other.path(), "DEV9", 3, 100);
    QImage photo(40, 30, QImage::Format_RGB32);
    photo.fill(Qt::darkCyan);
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(photo.save(
            other.file(QStringLiteral("pic/DEV9/%1.jpg").arg(n, 5, 10, QChar('0'))), "JPG"));
    ASSERT_EQ(runCli({"--home", other.path(), "seal"}).code, 0);
    Central::SyncOptions o;
    o.conninfo = pg.Conninfo();
    o.dbPath = other.file("brtx.db");
    o.picRoot = other.file("pic");
    ASSERT_TRUE(Central::SyncToCentral(o).ok);

    TempHome home;
    StatusWindow main;
    FillLocalStore(home.path(), "0123456789", 2);
    WriteCentralUrl(home, pg.Conninfo());
    CHistory page;
    main.Follow(&page);
    page.resize(1200, 700);
    auto* source = qobject_cast<QComboBox*>(page.Control(HistoryIds::kSource));
    auto* devices = qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox));
    ASSERT_TRUE(source && !source->isHidden() && devices);
    page.WaitForList();                       // the device list comes from the worker
    EXPECT_EQ(devices->findText("DEV9"), -1); // this computer has none of them
    source->setCurrentIndex(1);
    page.WaitForList();
    ASSERT_GE(devices->findText("DEV9"), 0);
    devices->setCurrentIndex(devices->findText("DEV9"));
    page.OnBnClickedQuery();
    ASSERT_TRUE(page.WaitForList());
    ASSERT_EQ(page.ListRowCount(), 3);
    EXPECT_EQ(page.ListCell(0, 1), "3");
    // The photograph is not on this desk: it comes from the server.
    qobject_cast<QTableView*>(page.Control(HistoryIds::kList))->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_TRUE(page.PictureShown());
    EXPECT_EQ(page.Control(HistoryIds::kPicture)->size(), QSize(40, 30));
    // The row marks are the central store's verification (this desk has no seal of DEV9): an
    // edit made on the server shows on the next query.
    auto* model = static_cast<CHistoryModel*>(
        qobject_cast<QTableView*>(page.Control(HistoryIds::kList))->model());
    auto mark = [&] {
        waitFor([&] { return !model->headerData(0, Qt::Vertical).toString().isEmpty(); }, 20000);
        return model->headerData(0, Qt::Vertical).toString();
    };
    EXPECT_EQ(mark(), "\u2713");
    ASSERT_EQ(pg.Value("UPDATE records SET test_mode = 'x' WHERE record_no = '3' RETURNING 1"),
              "1");
    page.OnBnClickedQuery();
    ASSERT_TRUE(page.WaitForList());
    EXPECT_EQ(mark(), "\u2717");
    EXPECT_TRUE(
        model->headerData(0, Qt::Vertical, Qt::ToolTipRole).toString().contains("ROW-CHANGED"));
    source->setCurrentIndex(0);
    page.WaitForList();
    EXPECT_EQ(devices->findText("DEV9"), -1);
}
