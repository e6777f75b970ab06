// brtx-cli as a separate process: usage errors, and the device commands over Wi-Fi against
// the in-process simulator on 127.0.6.x.
#include "common/TestSupport.h"

#include "base/Language.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <memory>

using brtxtest::GetText;

using brtxsim::CSimulator;
using brtxsim::Fault;
using brtxsim::FaultKind;
using brtxsim::SimCommand;
using brtxsim::SimConfig;

namespace {

using brtxtest::CliRun;

class CliDeviceTest : public ::testing::Test {
protected:
    CliRun run(const QStringList& args, bool withHome = true) {
        return brtxtest::runCli(withHome ? QStringList{"--home", m_home.path()} + args : args);
    }

    std::unique_ptr<CSimulator> startSim(const QString& address, int records = 10) {
        SimConfig config;
        config.address = address;
        config.recordCount = records;
        config.photoBytes = 1000;
        auto sim = std::make_unique<CSimulator>(config);
        QString error;
        EXPECT_TRUE(sim->Start(&error)) << error.toStdString();
        return sim;
    }

    static QString T(const char* key) { return GetText(QString::fromLatin1(key)); }

    brtxtest::TempHome m_home;
};

} // namespace

TEST_F(CliDeviceTest, HelpAndUsageErrors) {
    CliRun r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    const QString help = r.out.join('\n');
    for (const char* name : {"devices", "info", "set-time", "set-id", "delete-files"})
        EXPECT_TRUE(help.contains(QString::fromLatin1(name))) << name;
    EXPECT_TRUE(help.contains("--home"));

    EXPECT_EQ(run({"info", "--help"}).code, 0);

    // Usage errors: exit 2, nothing on standard output, a reason on standard error.
    for (const QStringList& args :
         {QStringList{}, QStringList{"no-such-command"}, QStringList{"info"},
          QStringList{"info", "--wifi"}, QStringList{"info", "--wifi", "1.2.3.4", "--usb"},
          QStringList{"info", "--wifi", "1.2.3.4", "surplus"}, QStringList{"devices", "x"},
          QStringList{"set-id", "--wifi", "127.0.6.9"},
          QStringList{"set-id", "--wifi", "127.0.6.9", "123456789012", "1"},
          QStringList{"set-time"}, QStringList{"delete-files", "--usb", "A", "B"}}) {
        r = run(args);
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << args.join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty()) << args.join(' ').toStdString();
    }
    r = run({"--home"}, false);
    EXPECT_EQ(r.code, 2);
}

TEST_F(CliDeviceTest, InfoLinksLikeThePage) {
    auto sim = startSim("127.0.6.1", 120);
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
        ASSERT_TRUE(Schema::CreateTables(db));
        for (int i = 1; i <= 100; ++i)
            db.ExecuteSQL(Statements::InsertValueInfo(
                {sim->DeviceNumberText(), QString::number(i), "2024-01-01", "08:00:00"}));
    }
    CliRun r = run({"info", "--wifi", "127.0.6.1"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, (QStringList{T("WifiConnecting"), T("WifiConnectOK"),
                                  "device: " + sim->DeviceNumberText(), "total: 120", "stored: 100",
                                  "from: 101", "to: 120"}));

    // The titles went into TitleInfo of the program folder's database, renamed.
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
    const SQLite::Table t = db.QuerySQL(Statements::SelectTitles(sim->DeviceNumberText()));
    ASSERT_EQ(t.GetRowCount(), 1);
    for (int c = 0; c < 20; ++c)
        EXPECT_NE(t.Cell(0, c), " ") << c;
}

TEST_F(CliDeviceTest, LinkFailuresExitOne) {
    CliRun r = run({"info", "--wifi", "192.168.1.300"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, (QStringList{T("WifiConnecting"), T("GetIPFail")}));

    r = run({"set-time", "--wifi", "127.0.6.9"}); // nobody listens there
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, (QStringList{T("WifiConnecting"), T("WifiConnectFailed")}));
}

TEST_F(CliDeviceTest, SettingsCommands) {
    auto sim = startSim("127.0.6.2", 5);
    const QStringList linked = {T("WifiConnecting"), T("WifiConnectOK")};

    CliRun r = run({"set-time", "--wifi", "127.0.6.2"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, linked + QStringList{T("SetTimeOk")});
    EXPECT_EQ(sim->ClockText().size(), 19);

    // A wrong number is refused before anything is linked.
    const int connections = sim->ConnectionCount();
    for (const char* bad : {"12345678901", "1234567890123", "12345678901a"}) {
        r = run({"set-id", "--wifi", "127.0.6.2", QString::fromLatin1(bad)});
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_EQ(r.out, QStringList{T("DevIdMust12Digits")});
    }
    EXPECT_EQ(sim->ConnectionCount(), connections);

    r = run({"set-id", "--wifi", "127.0.6.2", "123456789012"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, linked + (QStringList{T("SetDevIdOk"), "device: 123456789012"}));
    EXPECT_EQ(sim->DeviceNumber(), "123456789012");

    r = run({"delete-files", "--wifi", "127.0.6.2"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, linked + QStringList{T("DelFileOk")});
    EXPECT_EQ(sim->DeleteCount(), 1);

    // Refused replies: each command's failure text and exit 1.
    for (SimCommand c :
         {SimCommand::SetClock, SimCommand::SetDeviceNumber, SimCommand::DeleteDeviceFiles}) {
        Fault f;
        f.kind = FaultKind::WrongIdentifier;
        f.command = c;
        sim->AddFault(f);
    }
    r = run({"set-time", "--wifi", "127.0.6.2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, linked + QStringList{T("SetTimeFail")});
    r = run({"set-id", "--wifi=127.0.6.2", "000000000001"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, linked + QStringList{T("SetDevIdFail")});
    r = run({"delete-files", "--wifi", "127.0.6.2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, linked + QStringList{T("DelFileFail")});
}

TEST_F(CliDeviceTest, HomeOptionAndLanguage) {
    // --home decides where Language.ini and brtx.db are taken from.
    m_home.writeLanguage("[Global]\nLanguage=Test\n[Test]\nWifiConnecting=CONNECTING\n"
                         "GetIPFail=BAD ADDRESS\n");
    CliRun r = run({"info", "--wifi", "10.0.0"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, (QStringList{"CONNECTING", "BAD ADDRESS"}));

    // Without a text for a key the key itself is printed.
    m_home.writeLanguage("");
    r = run({"info", "--wifi", "10.0.0"});
    EXPECT_EQ(r.out, (QStringList{"WifiConnecting", "GetIPFail"}));
}
