// brtx-cli watch killed while two instruments download in batches: what the store holds is
// whole (verify passes, no record without its picture), and the next pass fetches the rest.
#include "common/TestSupport.h"

#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(StationKill, KilledMidBatchLeavesWholeRecordsAndTheNextPassFetchesTheRest) {
    brtxtest::TempHome home;
    QDir(home.path()).mkpath("adbcopy");
    const QString adb = home.file("adbcopy/adb");
    ASSERT_TRUE(QFile::copy(brtxtest::programDir() + "/fake-adb", adb));
    QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::vector<std::unique_ptr<brtxsim::CSimulator>> sims;
    QFile map(home.file("adbcopy/fake-adb.map"));
    ASSERT_TRUE(map.open(QIODevice::WriteOnly));
    for (int k = 0; k < 2; ++k) {
        brtxsim::SimConfig config;
        config.port = 0;
        config.recordCount = 300;
        config.photoBytes = 60000;
        config.deviceNumber = QStringLiteral("00012345%1").arg(6000 + k);
        sims.push_back(std::make_unique<brtxsim::CSimulator>(config));
        ASSERT_TRUE(sims.back()->Start());
        map.write(QStringLiteral("SIM000%1 %2\n").arg(k + 1).arg(sims.back()->Port()).toUtf8());
    }
    map.close();

    QProcess watch;
    watch.start(brtxtest::programDir() + "/brtx-cli", {"--home", home.path(), "watch", "--once"});
    // Killed once both instruments are well into their records.
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return sims[0]->Requests().size() > 80 && sims[1]->Requests().size() > 80; }, 60000));
    watch.kill();
    watch.waitForFinished(5000);

    const brtxtest::CliRun verified = brtxtest::runCli({"--home", home.path(), "verify"});
    EXPECT_EQ(verified.code, 0) << verified.out.join('\n').toStdString();
    SQLite::Database db;
    ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
    auto stored = [&](const brtxsim::CSimulator& sim) {
        return db
            .QuerySQL(QStringLiteral("SELECT count(*) FROM ValueInfo WHERE Machine_NO='%1'")
                          .arg(sim.DeviceNumberText()))
            .Cell(0, 0)
            .toInt();
    };
    for (const auto& sim : sims)
        EXPECT_LT(stored(*sim), 300);

    const brtxtest::CliRun again =
        brtxtest::runCli({"--home", home.path(), "watch", "--once"}, 120000);
    EXPECT_EQ(again.code, 0) << again.out.join('\n').toStdString();
    for (const auto& sim : sims) {
        EXPECT_EQ(stored(*sim), 300);
        const QString folder = home.file("pic/" + sim->DeviceNumberText());
        EXPECT_TRUE(QDir(folder).entryList({".brtx-*"}, QDir::Files | QDir::Hidden).isEmpty());
        for (int n : {1, 150, 300}) {
            const QString picture = db.QuerySQL(QStringLiteral("SELECT Path FROM ValueInfo WHERE "
                                                               "Machine_NO='%1' AND Record_No='%2'")
                                                    .arg(sim->DeviceNumberText())
                                                    .arg(n))
                                        .Cell(0, 0)
                                        .mid(1)
                                        .replace('\\', '/');
            QFile f(home.file("pic/" + picture));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << picture.toStdString();
            EXPECT_EQ(f.readAll(), sim->Photo(n)) << n;
        }
    }
    const brtxtest::CliRun whole = brtxtest::runCli({"--home", home.path(), "verify"});
    EXPECT_EQ(whole.code, 0) << whole.out.join('\n').toStdString();
}
