// brtx-cli watch --once as a separate process against a simulated fleet: the fake adb (in
// <home>/adbcopy, with a map of serials to in-process simulators) and one simulator per
// instrument on 127.0.0.1. What each line says is held against what was stored.
#include "common/TestSupport.h"

#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

constexpr int kRecords = 40;
const QString kDeviceA = QStringLiteral("000123450001");
const QString kDeviceB = QStringLiteral("000123450002");

class WatchCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(m_home.path()).mkpath("adbcopy");
        const QString adb = m_home.file("adbcopy/adb");
        ASSERT_TRUE(QFile::copy(brtxtest::programDir() + "/fake-adb", adb));
        QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Instruments hold 45 records: 40 is beyond 80% of that.
        QFile lang(m_home.file("Language.ini"));
        ASSERT_TRUE(lang.open(QIODevice::ReadOnly));
        QByteArray text = lang.readAll();
        lang.close();
        ASSERT_TRUE(text.contains("\nInstrumentCapacity=\n"));
        text.replace("\nInstrumentCapacity=\n", "\nInstrumentCapacity=45\n");
        m_home.writeLanguage(text);
    }

    // Starts (or restarts) the simulator of a serial; faults as brtx-sim --fault takes them.
    void plug(const QString& serial, const QString& device, const QStringList& faults = {}) {
        brtxsim::SimConfig config;
        config.port = 0;
        config.recordCount = kRecords;
        config.photoBytes = 3000;
        config.deviceNumber = device;
        auto sim = std::make_unique<brtxsim::CSimulator>(config);
        for (const QString& f : faults) {
            brtxsim::Fault fault;
            ASSERT_TRUE(brtxsim::ParseFault(f, fault));
            sim->AddFault(fault);
        }
        QString error;
        ASSERT_TRUE(sim->Start(&error)) << error.toStdString();
        m_sims[serial] = std::move(sim);
    }
    void writeMap(const QStringList& extra = {}) {
        QFile map(m_home.file("adbcopy/fake-adb.map"));
        ASSERT_TRUE(map.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const auto& [serial, sim] : m_sims)
            map.write(QStringLiteral("%1 %2\n").arg(serial).arg(sim->Port()).toUtf8());
        for (const QString& line : extra)
            map.write(line.toUtf8() + "\n");
    }

    brtxtest::CliRun watch(const QStringList& args = {}) {
        return brtxtest::runCli(QStringList{"--home", m_home.path(), "watch", "--once"} + args,
                                60000);
    }
    // The line of one source.
    static QString lineOf(const brtxtest::CliRun& r, const QString& source) {
        for (const QString& line : r.out)
            if (line.startsWith(source + " "))
                return line;
        return {};
    }

    // Record numbers stored for the device whose date matches what the simulator holds.
    QList<int> stored(const QString& serial) {
        const brtxsim::CSimulator& sim = *m_sims.at(serial);
        SQLite::Database db;
        if (db.Open(m_home.file("brtx.db")) != 0)
            return {};
        const SQLite::Table t = db.QuerySQL(
            QStringLiteral("SELECT Record_No, Date_Date FROM ValueInfo WHERE Machine_NO = '%1' "
                           "ORDER BY CAST(Record_No AS INTEGER)")
                .arg(sim.DeviceNumberText()));
        QList<int> numbers;
        for (int row = 0; row < t.GetRowCount(); ++row) {
            const int n = t.Cell(row, 0).toInt();
            if (t.Cell(row, 1) == sim.RecordFields(n).value(2))
                numbers.append(n);
        }
        return numbers;
    }
    static QList<int> range(int first, int last) {
        QList<int> out;
        for (int n = first; n <= last; ++n)
            out.append(n);
        return out;
    }

    brtxtest::TempHome m_home;
    std::map<QString, std::unique_ptr<brtxsim::CSimulator>> m_sims;
};

} // namespace

TEST_F(WatchCliTest, FleetOfThreeThenPluggedInAgain) {
    // SIM0001 and SIM0003 report the same device number and are slowed down so they are
    // served at the same time; SIM0002 is unplugged at its record 15; SIM0009 vanishes
    // between the listing and the forward.
    ASSERT_NO_FATAL_FAILURE(plug("SIM0001", kDeviceA, {"delay:0:60"}));
    ASSERT_NO_FATAL_FAILURE(plug("SIM0002", kDeviceB, {"unplug:15"}));
    ASSERT_NO_FATAL_FAILURE(plug("SIM0003", kDeviceA, {"delay:0:60"}));
    ASSERT_NO_FATAL_FAILURE(writeMap({"SIM0009 1 vanish"}));

    const brtxtest::CliRun first = watch();
    const std::string out = first.out.join('\n').toStdString() + "\n" + first.err.toStdString();
    EXPECT_EQ(first.code, 1) << out;
    EXPECT_EQ(first.out.size(), 4) << out;

    const QString devA = m_sims.at("SIM0001")->DeviceNumberText();
    const QString one = lineOf(first, "SIM0001");
    const QString three = lineOf(first, "SIM0003");
    const bool oneRefused = one.contains("refused");
    const QString served = oneRefused ? three : one;
    const QString refused = oneRefused ? one : three;
    EXPECT_TRUE(served.contains(devA + ": downloaded: 40, skipped: 0, failed: 0")) << out;
    EXPECT_TRUE(served.contains(devA + " holds 40 of 45 records: delete its files after the "
                                       "download"))
        << out;
    EXPECT_TRUE(refused.contains("refused: SIM0001 and SIM0003") ||
                refused.contains("refused: SIM0003 and SIM0001"))
        << out;
    const QString two = lineOf(first, "SIM0002");
    EXPECT_TRUE(two.contains("downloaded: 14, skipped: 0, failed: 26")) << out;
    EXPECT_TRUE(two.contains("link lost")) << out;
    EXPECT_TRUE(lineOf(first, "SIM0009").contains("skipped: gone")) << out;

    EXPECT_EQ(stored("SIM0001"), range(1, kRecords));
    EXPECT_EQ(stored("SIM0002"), range(1, 14));

    // Plugged in again (a fresh link, no fault), SIM0003 taken away, SIM0001's files deleted:
    // the rest of SIM0002 comes, SIM0001's smaller total is said, and nothing fails.
    m_sims.erase("SIM0003");
    ASSERT_NO_FATAL_FAILURE(plug("SIM0002", kDeviceB));
    m_sims.at("SIM0001")->ClearFaults();
    m_sims.at("SIM0001")->SetRecordCount(10);
    ASSERT_NO_FATAL_FAILURE(writeMap());
    const brtxtest::CliRun second = watch({"--parallel", "1"});
    const std::string out2 = second.out.join('\n').toStdString() + "\n" + second.err.toStdString();
    EXPECT_EQ(second.code, 0) << out2;
    EXPECT_EQ(lineOf(second, "SIM0001"),
              "SIM0001 " + devA + ": downloaded: 0, skipped: 0, failed: 0; " + devA +
                  " holds 10 records, 40 at its last download: its files were deleted")
        << out2;
    EXPECT_TRUE(lineOf(second, "SIM0002").contains(": downloaded: 26, skipped: 0, failed: 0"))
        << out2;
    EXPECT_EQ(stored("SIM0002"), range(1, kRecords));
}

TEST_F(WatchCliTest, AdbFailingLeavesWifiServed) {
    ASSERT_NO_FATAL_FAILURE(plug("WIFI", kDeviceB));
    QFile mode(m_home.file("adbcopy/fake-adb.mode"));
    ASSERT_TRUE(mode.open(QIODevice::WriteOnly));
    mode.write("fail");
    mode.close();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(m_sims.at("WIFI")->Port());
    const brtxtest::CliRun r = watch({"--wifi", address});
    const std::string out = r.out.join('\n').toStdString() + "\n" + r.err.toStdString();
    EXPECT_EQ(r.code, 1) << out; // adb failing is a failure of the pass
    ASSERT_EQ(r.out.size(), 2) << out;
    EXPECT_TRUE(r.out[0].startsWith("adb could not list the USB devices")) << out;
    EXPECT_TRUE(lineOf(r, address).contains(": downloaded: 40, skipped: 0, failed: 0")) << out;
    EXPECT_EQ(stored("WIFI"), range(1, kRecords));
}
