// A long download keeps memory flat: brtx-cli fetches 2,000 records with small photographs
// from the simulator while its resident set is sampled. The peak stays small and the later
// records add next to nothing to what the first few hundred needed. (Address 127.0.90.95.)
#include "faults/FaultSupport.h"

#include "base/Language.h"

#include <QThread>
#include <gtest/gtest.h>

namespace {

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM); -1 when the process is gone.
qint64 statusKb(qint64 pid, const QByteArray& field) {
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

TEST(LongDownload, MemoryStaysFlat) {
    constexpr int kRecords = 2000;
    brtxtest::TempHome home;
    brtxsim::SimConfig config;
    config.address = "127.0.90.95";
    config.recordCount = kRecords;
    config.photoBytes = 3000;
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();

    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    cli.setProcessEnvironment(env);
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.start(faults::cliPath(),
              {"--home", home.path(), "download", "--wifi", config.address, "--all"});
    ASSERT_TRUE(cli.waitForStarted());
    const qint64 pid = cli.processId();

    // Resident set once the first 400 records are in (everything is set up by then), and the
    // highest mark just before the end.
    qint64 early = -1, peak = -1;
    while (!cli.waitForFinished(50)) {
        const int asked = sim.Requests().size();
        const qint64 hwm = statusKb(pid, "VmHWM");
        if (early < 0 && asked >= 400)
            early = statusKb(pid, "VmRSS");
        if (hwm > 0)
            peak = hwm;
        if (cli.state() == QProcess::NotRunning)
            break;
    }
    ASSERT_EQ(cli.exitCode(), 0);
    ASSERT_GT(early, 0);
    std::printf("peak RSS %lld kB, after 400 records %lld kB\n", peak, early);
    // A sanitizer build keeps freed blocks in quarantine and shadow memory: no measure there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak, 80 * 1024) << "kB";
    EXPECT_LT(peak - early, 12 * 1024) << "memory grows with the records downloaded";
#endif

    QString integrity;
    EXPECT_EQ(faults::readValueInfo(home.file("brtx.db"), &integrity).size(), kRecords);
    EXPECT_EQ(integrity, "ok");
}

} // namespace
