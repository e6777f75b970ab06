// The device page's station mode against a simulated fleet: the fake adb in
// <home>/adbcopy with a map of serials to in-process simulators on 127.0.0.1.
#include "common/TestSupport.h"

#include "device/page/FirstPage.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTableWidget>
#include <gtest/gtest.h>

#include <map>
#include <memory>

using brtxtest::GetText;

TEST(StationModeTest, ServesTheFleetAndHoldsTheSingleControls) {
    brtxtest::TempHome home;
    QDir(home.path()).mkpath("adbcopy");
    const QString adb = home.file("adbcopy/adb");
    ASSERT_TRUE(QFile::copy(brtxtest::programDir() + "/fake-adb", adb));
    QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // SIM0001 and SIM0003 share a device number and are slowed so they are served at once;
    // SIM0002 is unplugged at its record 15.
    struct Instrument {
        const char* serial;
        const char* device;
        const char* fault;
    };
    const Instrument fleet[] = {{"SIM0001", "000123450001", "delay:0:60"},
                                {"SIM0002", "000123450002", "unplug:15"},
                                {"SIM0003", "000123450001", "delay:0:60"}};
    std::map<QString, std::unique_ptr<brtxsim::CSimulator>> sims;
    QFile map(home.file("adbcopy/fake-adb.map"));
    ASSERT_TRUE(map.open(QIODevice::WriteOnly));
    for (const Instrument& i : fleet) {
        brtxsim::SimConfig config;
        config.port = 0;
        config.recordCount = 40;
        config.photoBytes = 3000;
        config.deviceNumber = i.device;
        auto sim = std::make_unique<brtxsim::CSimulator>(config);
        brtxsim::Fault fault;
        ASSERT_TRUE(brtxsim::ParseFault(i.fault, fault));
        sim->AddFault(fault);
        ASSERT_TRUE(sim->Start());
        map.write(QStringLiteral("%1 %2\n").arg(i.serial).arg(sim->Port()).toUtf8());
        sims[i.serial] = std::move(sim);
    }
    map.close();

    CFirstPage page;
    page.StationSwitch()->setChecked(true);
    ASSERT_TRUE(page.IsStationMode());
    for (int id : {CFirstPage::IdConnectUsb, CFirstPage::IdWifiConnect, CFirstPage::IdFindDevices,
                   CFirstPage::IdDownloadNew, CFirstPage::IdCancel})
        EXPECT_FALSE(page.Control(id)->isEnabled()) << id;

    QTableWidget* table = page.StationTable();
    auto state = [table](const QString& serial) {
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->item(row, 0)->text() == serial)
                return table->item(row, 2)->text();
        return QString();
    };
    const QString done = GetText("StationDone");
    const QString failed = GetText("StationFailed").section("%s", 0, 0);
    auto ended = [&](const char* serial) {
        const QString s = state(serial);
        return s == done || s.startsWith(failed);
    };
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return ended("SIM0001") && ended("SIM0002") && ended("SIM0003"); }, 60000))
        << state("SIM0001").toStdString() << " / " << state("SIM0002").toStdString() << " / "
        << state("SIM0003").toStdString();

    const QString one = state("SIM0001"), three = state("SIM0003");
    EXPECT_TRUE((one == done && three.contains("refused: SIM0001 and SIM0003")) ||
                (three == done && one.contains("refused: SIM0003 and SIM0001")))
        << one.toStdString() << " / " << three.toStdString();
    EXPECT_TRUE(state("SIM0002").contains("link lost")) << state("SIM0002").toStdString();

    // What each instrument holds, stored: all 40 of the shared number, 1..14 of the unplugged.
    SQLite::Database db;
    ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
    auto count = [&db](const brtxsim::CSimulator& sim) {
        return db
            .QuerySQL(QStringLiteral("SELECT count(*), max(CAST(Record_No AS INTEGER)) FROM "
                                     "ValueInfo WHERE Machine_NO = '%1'")
                          .arg(sim.DeviceNumberText()))
            .m_rows.value(0)
            .join(' ');
    };
    EXPECT_EQ(count(*sims.at("SIM0001")), "40 40");
    EXPECT_EQ(count(*sims.at("SIM0002")), "14 14");

    page.StationSwitch()->setChecked(false);
    ASSERT_TRUE(brtxtest::waitFor([&] { return !page.IsStationMode(); }, 15000));
    EXPECT_TRUE(page.StationSwitch()->isEnabled());
    EXPECT_TRUE(page.Control(CFirstPage::IdConnectUsb)->isEnabled());
    EXPECT_TRUE(table->isHidden());
}
