// The adb listing parser, and the bridge against the fake adb placed in <home>/adbcopy/adb.
#include "common/TestSupport.h"
#include "link/AdbBridge.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

// A temporary program folder with the fake adb as adbcopy/adb.
struct FakeAdbHome {
    FakeAdbHome() {
        QDir(home.path()).mkpath("adbcopy");
        ok = QFile::copy(brtxtest::sourceDir() + "/sim/fake-adb", home.file("adbcopy/adb"));
        QFile(home.file("adbcopy/adb"))
            .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ExeOwner);
        log = home.file("adb.log");
        qputenv("FAKE_ADB_LOG", QFile::encodeName(log));
    }
    ~FakeAdbHome() {
        qunsetenv("FAKE_ADB_LOG");
        qunsetenv("FAKE_ADB_MODE");
        qunsetenv("FAKE_ADB_LISTING");
    }
    QStringList runs() const {
        QFile f(log);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    brtxtest::TempHome home{false};
    QString log;
    bool ok = false;
};

} // namespace

TEST(Adb, ListingParser) {
    QStringList d;
    // CR LF listing with the empty last line.
    EXPECT_TRUE(
        ParseAdbDeviceList("List of devices attached\r\n0123456789ABCDEF\tdevice\r\n\r\n", d));
    EXPECT_EQ(d, QStringList{"0123456789ABCDEF"});
    // LF only.
    EXPECT_TRUE(ParseAdbDeviceList("List of devices attached\n0123456789ABCDEF\tdevice\n\n", d));
    EXPECT_EQ(d, QStringList{"0123456789ABCDEF"});
    // Unauthorized or offline devices are not ready; alone they give false.
    EXPECT_FALSE(ParseAdbDeviceList("List of devices attached\nAAA\tunauthorized\n\n", d));
    EXPECT_TRUE(d.isEmpty());
    EXPECT_TRUE(
        ParseAdbDeviceList("List of devices attached\nAAA\tunauthorized\nBBB\tdevice\n\n", d));
    EXPECT_EQ(d, QStringList{"BBB"});
    // Two ready devices in the order printed.
    EXPECT_TRUE(ParseAdbDeviceList(
        "List of devices attached\r\nSER1\tdevice\r\nemulator-5554\tdevice\r\n\r\n", d));
    EXPECT_EQ(d, (QStringList{"SER1", "emulator-5554"}));
    // A last line without a line end gets the same test as the others.
    EXPECT_TRUE(ParseAdbDeviceList("List of devices attached\nSER1\tdevice", d));
    EXPECT_EQ(d, QStringList{"SER1"});
    EXPECT_FALSE(ParseAdbDeviceList("List of devices attached\nSER1\toffline", d));
    // Nothing but the heading, or nothing at all.
    EXPECT_FALSE(ParseAdbDeviceList("List of devices attached\n\n", d));
    EXPECT_FALSE(ParseAdbDeviceList("", d));
    // A daemon start-up message before the heading does not become a serial.
    EXPECT_TRUE(ParseAdbDeviceList("* daemon not running; starting now at tcp:5037\n* daemon "
                                   "started successfully\nList of devices attached\nX1\tdevice\n",
                                   d));
    EXPECT_EQ(d, QStringList{"X1"});
}

TEST(Adb, BridgeWithTheFakeTool) {
    FakeAdbHome f;
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(AdbToolPath(), f.home.file("adbcopy/adb"));

    QStringList devices;
    ASSERT_TRUE(AdbListDevices(devices));
    EXPECT_EQ(devices, QStringList{"SIM0001"});

    qputenv("FAKE_ADB_LISTING",
            "List of devices attached\\r\\nA1\\tdevice\\r\\nB2\\tdevice\\r\\n\\r\\n");
    ASSERT_TRUE(AdbListDevices(devices));
    EXPECT_EQ(devices, (QStringList{"A1", "B2"}));

    EXPECT_TRUE(AdbForward("A1"));
    QStringList runs = f.runs();
    ASSERT_EQ(runs.size(), 3);
    EXPECT_EQ(runs[0], "devices");
    EXPECT_EQ(runs[2], "-s A1 forward tcp:7575 tcp:7575");

    // Output wanted: the text comes back; "no": nothing read, still true.
    QString out;
    EXPECT_TRUE(RunAdbCommand("adb devices", out));
    EXPECT_TRUE(out.startsWith("List of devices attached"));
    out = "no";
    EXPECT_TRUE(RunAdbCommand("adb devices", out));
    EXPECT_EQ(out, "no");
}

TEST(Adb, EmptyOutputFailsAfterTwoRuns) {
    FakeAdbHome f;
    ASSERT_TRUE(f.ok);
    qputenv("FAKE_ADB_MODE", "empty");
    QStringList devices{"stale"};
    EXPECT_FALSE(AdbListDevices(devices));
    EXPECT_TRUE(devices.isEmpty());
    EXPECT_EQ(f.runs().size(), 2);
    // A forward does not read the output, so an empty one is fine there.
    EXPECT_TRUE(AdbForward("X"));
}

TEST(Adb, HangingToolIsKilledWithinFiveSeconds) {
    FakeAdbHome f;
    ASSERT_TRUE(f.ok);
    qputenv("FAKE_ADB_MODE", "hang");
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(AdbForward("X"));
    const qint64 ms = t.elapsed();
    EXPECT_GE(ms, 4900);
    EXPECT_LT(ms, 7000);
    // The killed child is gone (reaped): no "sleep 600" child of ours is left.
    QProcess ps;
    ps.start("ps",
             {"-o", "pid=,args=", "--ppid", QString::number(QCoreApplication::applicationPid())});
    ps.waitForFinished(3000);
    EXPECT_FALSE(QString::fromLocal8Bit(ps.readAllStandardOutput()).contains("sleep 600"));
}

TEST(Adb, MissingToolFails) {
    brtxtest::TempHome home(false);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", "/nonexistent");
    QStringList devices;
    QString out;
    EXPECT_FALSE(RunAdbCommand("adb devices", out));
    EXPECT_FALSE(AdbListDevices(devices));
    EXPECT_FALSE(AdbForward("X"));
    qputenv("PATH", path);
}
