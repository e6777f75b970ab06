// A disk that fills up while a picture is written (a file size limit on brtx-cli stands in for
// it): the record is reported with "SaveTheImgFail", no partial picture is left under any name,
// and once there is room the next download completes the set. (Address 127.0.90.96.)
#include "faults/FaultSupport.h"

#include "base/Language.h"
#include "device/core/DownloadWorker.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

TEST(FullDisk, PictureThatDoesNotFitLeavesNothingBehind) {
    brtxtest::TempHome home;
    brtxsim::SimConfig config;
    config.address = "127.0.90.96";
    config.recordCount = 3;
    config.photoBytes = 300000; // larger than the room left
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    const QStringList args{"download", "--wifi", config.address, "--all"};

    // Files may not grow beyond 200 kB: the database fits, no picture does. A write beyond the
    // limit fails with EFBIG (the signal that would end the process is ignored), as on a full
    // disk.
    const faults::CliResult full = faults::runCli(home.path(), args, 60000, [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{200 * 1024, 200 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(full.finished);
    EXPECT_EQ(full.exitCode, 1) << full.text().toStdString();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(full.lines.contains(Download::StatusText(CLanguage(), "SaveTheImgFail", n)))
            << full.text().toStdString();
        EXPECT_TRUE(
            full.lines.contains(Download::StatusText(CLanguage(), "DownloadRecordFail", n)));
    }
    // Nothing in the device folder: no picture, no temporary file.
    const QString folder = home.file("pic/" + sim.DeviceNumberText());
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty())
        << QDir(folder).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString();
    QString integrity;
    faults::readValueInfo(home.file("brtx.db"), &integrity);
    EXPECT_EQ(integrity, "ok");

    // With room again, the next download stores every picture whole.
    const faults::CliResult again = faults::runCli(home.path(), args);
    EXPECT_EQ(again.exitCode, 0) << again.text().toStdString();
    const faults::StoreCheck check = faults::checkStore(home.path(), sim);
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_TRUE(faults::complete(check, 1, 3));
    for (int n = 1; n <= 3; ++n)
        EXPECT_TRUE(QFile::exists(folder + QString::asprintf("/%05d.jpg", n))) << n;
}

} // namespace
