// The USB route: find devices and USB connect/disconnect on the device page and through
// brtx-cli, with the fake adb in <program folder>/adbcopy/adb and the simulator on
// 127.0.0.1:7575 (these tests run one at a time).
#include "common/StatusWindow.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

#include <csignal>

using brtxtest::GetText;
using brtxtest::GetTextNumber;

using brtxsim::CSimulator;
using brtxsim::SimConfig;

namespace {

class UsbRouteTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(m_home.path()).mkpath("adbcopy");
        m_adb = m_home.file("adbcopy/adb");
        ASSERT_TRUE(QFile::copy(brtxtest::programDir() + "/fake-adb", m_adb));
        makeAdbRunnable(true);
        m_log = m_home.file("adb.log");
        qputenv("FAKE_ADB_LOG", QFile::encodeName(m_log));
    }
    void TearDown() override {
        m_page.reset();
        qunsetenv("FAKE_ADB_LOG");
    }

    void makeAdbRunnable(bool runnable) {
        QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
        if (runnable)
            p |= QFile::ExeOwner;
        QFile::setPermissions(m_adb, p);
    }
    void setListing(const QByteArray& text) {
        QFile f(m_home.file("adbcopy/fake-adb.listing"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    void setMode(const QByteArray& mode) {
        QFile f(m_home.file("adbcopy/fake-adb.mode"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(mode);
    }
    QStringList adbLog() const {
        QFile f(m_log);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<CSimulator> startSim(int records = 10) {
        SimConfig config; // 127.0.0.1:7575
        config.recordCount = records;
        config.photoBytes = 1000;
        auto sim = std::make_unique<CSimulator>(config);
        QString error;
        EXPECT_TRUE(sim->Start(&error)) << error.toStdString();
        return sim;
    }

    CFirstPage& page() {
        if (!m_page) {
            m_page = std::make_unique<CFirstPage>();
            m_main.Follow(m_page.get());
        }
        return *m_page;
    }
    // Clicks a button and waits until the exchange it started (if any) has ended.
    void press(int id) {
        button(id)->click();
        EXPECT_TRUE(brtxtest::waitFor([&] { return !page().IsBusy(); }, 15000));
    }
    QPushButton* button(int id) { return qobject_cast<QPushButton*>(page().Control(id)); }
    QComboBox* serials() { return qobject_cast<QComboBox*>(page().Control(1052)); }
    QString field(int id) const { return m_main.field(id); }
    QString status() const { return field(1003); }
    bool commandsEnabled(bool expected) {
        for (int id : {1009, 1011, 1040, 1014, 1017, 1029, 1020, 1031, 1039})
            if (page().Control(id)->isEnabled() != expected)
                return false;
        return true;
    }
    void expectIdle() {
        EXPECT_EQ(button(1008)->text(), GetText("ConnectUSB"));
        EXPECT_EQ(button(1010)->text(), GetText("WifiConnect"));
        EXPECT_TRUE(button(1008)->isEnabled());
        EXPECT_TRUE(button(1010)->isEnabled());
        EXPECT_TRUE(button(1050)->isEnabled());
        EXPECT_TRUE(commandsEnabled(false));
    }

    // Runs brtx-cli in the test's program folder; returns its exit code, output lines in *out.
    int runCli(const QStringList& args, QStringList* out) {
        QProcess p;
        p.setProgram(brtxtest::programDir() + "/brtx-cli");
        p.setArguments(QStringList{"--home", m_home.path()} + args);
        p.start();
        EXPECT_TRUE(p.waitForFinished(30000));
        *out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    brtxtest::TempHome m_home;
    brtxtest::StatusWindow m_main;
    QString m_adb;
    QString m_log;
    std::unique_ptr<CFirstPage> m_page;
};

} // namespace

TEST_F(UsbRouteTest, FindDevicesListsReadyDevicesInOrder) {
    setListing("List of devices attached\r\nAAA111\tdevice\r\nBBB222\tunauthorized\r\n"
               "CCC333\tdevice\r\n\r\n");
    press(1050);
    EXPECT_EQ(status(), GetText("DeviceFindOK"));
    ASSERT_EQ(serials()->count(), 2);
    EXPECT_EQ(serials()->itemText(0), "AAA111");
    EXPECT_EQ(serials()->itemText(1), "CCC333");
    EXPECT_EQ(serials()->currentText(), "AAA111");
    EXPECT_TRUE(button(1050)->isEnabled());

    // A listing without ready devices fails and keeps what the list held.
    setListing("List of devices attached\nBBB222\tunauthorized\n\n");
    press(1050);
    EXPECT_EQ(status(), GetText("GetDevFail"));
    EXPECT_EQ(serials()->count(), 2);
    EXPECT_TRUE(button(1050)->isEnabled());
}

TEST_F(UsbRouteTest, UsbConnectAndDisconnect) {
    auto sim = startSim(7);
    press(1050);
    ASSERT_EQ(serials()->currentText(), "SIM0001");
    press(1008);
    EXPECT_TRUE(status().startsWith(GetText("ConnectUSBOK"))) << status().toStdString();
    EXPECT_TRUE(status().endsWith(GetTextNumber("NewRecords", 7))) << status().toStdString();
    EXPECT_TRUE(adbLog().contains("-s SIM0001 forward tcp:7575 tcp:7575"));
    EXPECT_EQ(button(1008)->text(), GetText("DisconnectUSB"));
    EXPECT_TRUE(button(1008)->isEnabled());
    EXPECT_FALSE(button(1010)->isEnabled());
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_EQ(field(1002), GetText("DeviceID") + sim->DeviceNumberText());
    EXPECT_EQ(field(1032), GetText("TotalNumber") + "7");
    EXPECT_EQ(qobject_cast<QLineEdit*>(page().Control(1031))->text(), "1");
    EXPECT_EQ(qobject_cast<QLineEdit*>(page().Control(1039))->text(), "7");
    EXPECT_TRUE(page().Session().IsConnected());

    press(1009);
    EXPECT_EQ(status(), GetText("SetTimeOk"));

    press(1008);
    EXPECT_EQ(status(), GetText("DisconnectUSBOK"));
    expectIdle();
    EXPECT_EQ(serials()->count(), 0);
    EXPECT_EQ(field(1002), GetText("DeviceID"));
    EXPECT_EQ(field(1032), GetText("TotalNumber"));
    EXPECT_EQ(field(1001), GetText("SwVersion"));
    EXPECT_TRUE(qobject_cast<QLineEdit*>(page().Control(1031))->text().isEmpty());
    EXPECT_FALSE(page().Session().IsConnected());
}

TEST_F(UsbRouteTest, UsbConnectFailuresReturnToIdle) {
    press(1050);
    ASSERT_EQ(serials()->count(), 1);

    // The forward cannot run: a clear failure, not a "connecting" text left standing.
    makeAdbRunnable(false);
    press(1008);
    EXPECT_EQ(status(), GetText("ConnectUSBFailed"));
    expectIdle();

    // The forward runs but nothing answers on the local port.
    makeAdbRunnable(true);
    press(1008);
    EXPECT_EQ(status(), GetText("ConnectUSBFailed"));
    expectIdle();
    EXPECT_FALSE(page().Session().IsConnected());
}

TEST_F(UsbRouteTest, CliOverUsb) {
    QStringList out;
    EXPECT_EQ(runCli({"devices"}, &out), 0);
    EXPECT_EQ(out,
              (QStringList{GetText("DeviceFinding"), GetText("DeviceFindOK"), "serial: SIM0001"}));

    // No instrument answering on the forwarded port.
    EXPECT_EQ(runCli({"info", "--usb", "SIM0001"}, &out), 1);
    EXPECT_EQ(out, (QStringList{GetText("USBConneting"), GetText("ConnectUSBFailed")}));

    auto sim = startSim(4);
    EXPECT_EQ(runCli({"info", "--usb"}, &out), 0);
    EXPECT_EQ(out, (QStringList{GetText("DeviceFinding"), GetText("DeviceFindOK"),
                                GetText("USBConneting"), GetText("ConnectUSBOK"),
                                "device: " + sim->DeviceNumberText(), "total: 4", "stored: 0",
                                "from: 1", "to: 4"}));
    EXPECT_TRUE(adbLog().contains("-s SIM0001 forward tcp:7575 tcp:7575"));

    // set-id with --usb and no serial: the only word is the new number.
    EXPECT_EQ(runCli({"set-id", "--usb", "000000000077"}, &out), 0);
    EXPECT_EQ(out.value(4), GetText("SetDevIdOk"));
    EXPECT_EQ(out.value(5), "device: 000000000077");
    EXPECT_EQ(sim->DeviceNumber(), "000000000077");

    setMode("empty");
    EXPECT_EQ(runCli({"devices"}, &out), 1);
    EXPECT_EQ(out, (QStringList{GetText("DeviceFinding"), GetText("GetDevFail")}));
    EXPECT_EQ(runCli({"delete-files", "--usb"}, &out), 1);
    EXPECT_EQ(out, (QStringList{GetText("DeviceFinding"), GetText("GetDevFail")}));
    EXPECT_EQ(sim->DeleteCount(), 0);
}

TEST_F(UsbRouteTest, HungAdbNeitherFreezesTheWindowNorHoldsItsEnd) {
    setMode("hang");
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    sinceTick.start();
    ticker.start(10);
    button(1050)->click();
    EXPECT_TRUE(page().IsBusy());
    EXPECT_FALSE(button(1008)->isEnabled());
    brtxtest::waitFor([] { return false; }, 1500); // adb hangs meanwhile
    EXPECT_TRUE(page().IsBusy());
    EXPECT_LT(longestGap, 1000) << "the window stopped serving events";

    // The user ends the program now: the hung adb is killed, nothing waits for its 5 s.
    QElapsedTimer closing;
    closing.start();
    m_page.reset();
    EXPECT_LT(closing.elapsed(), 1000);
}

TEST_F(UsbRouteTest, CliSignalWhileAdbHangsAbortsTheExchange) {
    // SIGINT/SIGTERM while adb hangs (the forward of a USB connect, the device listing) abort
    // the exchange at once: status 130 and a line on stderr, long before adb's own 5 s limit.
    setMode("hang");
    const struct {
        QStringList args;
        int signal;
        const char* firstKey;
    } cases[] = {{{"info", "--usb", "SIM0001"}, SIGINT, "USBConneting"},
                 {{"devices"}, SIGTERM, "DeviceFinding"}};
    for (const auto& c : cases) {
        const qsizetype runs = adbLog().size();
        QProcess p;
        p.setProgram(brtxtest::programDir() + "/brtx-cli");
        p.setArguments(QStringList{"--home", m_home.path()} + c.args);
        p.start();
        ASSERT_TRUE(brtxtest::waitFor([&] { return adbLog().size() > runs; }, 5000));
        QElapsedTimer ending;
        ending.start();
        ::kill(pid_t(p.processId()), c.signal);
        ASSERT_TRUE(p.waitForFinished(5000)) << c.firstKey;
        EXPECT_LT(ending.elapsed(), 3000) << c.firstKey;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << c.firstKey;
        EXPECT_EQ(p.exitCode(), 130) << c.firstKey;
        const QStringList out =
            QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(out.value(0), GetText(c.firstKey));
        EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("interrupted"))
            << c.firstKey;
    }
}
