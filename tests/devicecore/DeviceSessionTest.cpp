// The device session against the in-process simulator over the Wi-Fi route (own loopback
// addresses 127.0.4.x, port 7575), and its stateless helpers.
#include "common/TestSupport.h"

#include "device/core/DeviceSession.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"
#include "store/Statements.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>

using brtxsim::CSimulator;
using brtxsim::Fault;
using brtxsim::FaultKind;
using brtxsim::SimCommand;
using brtxsim::SimConfig;

namespace {

std::unique_ptr<CSimulator> StartSim(const QString& address, int records = 10,
                                     const QStringList& titles = QStringList()) {
    SimConfig config;
    config.address = address;
    config.recordCount = records;
    config.photoBytes = 2000;
    config.titles = titles;
    auto sim = std::make_unique<CSimulator>(config);
    QString error;
    EXPECT_TRUE(sim->Start(&error)) << error.toStdString();
    return sim;
}

QStringList TwentyTitles(const QStringList& first) {
    QStringList t = first;
    while (t.size() < 20)
        t.append(QStringLiteral("T%1").arg(t.size()));
    return t;
}

Fault MakeFault(FaultKind kind, SimCommand command) {
    Fault f;
    f.kind = kind;
    f.command = command;
    return f;
}

// Stores `count` rows for the device so the stored count and the From preset can be checked.
void StoreRows(SQLite::Database& db, const QString& device, int count) {
    for (int i = 1; i <= count; ++i) {
        QStringList v;
        v << device << QString::number(i) << QStringLiteral("2024-01-01")
          << QStringLiteral("08:00:%1").arg(i % 60);
        ASSERT_EQ(db.ExecuteSQL(Statements::InsertValueInfo(v)), 0);
    }
}

} // namespace

TEST(DeviceSessionHelpers, AddressCheck) {
    // Four parts of at most three characters, each part's leading value 0..255.
    for (const char* good : {"192.168.1.10", "1..2.3", "0.0.0.0", "255.255.255.255", "127.0.4.1",
                             "1.2.3.", "01.002.3.4", "..."})
        EXPECT_TRUE(CDeviceSession::IsValidAddress(QString::fromLatin1(good))) << good;
    for (const char* bad : {"192.168.1.300", "10.0.0", "", "1.2.3.4.5", "1234.1.1.1", "-1.2.3.4",
                            "256.1.1.1", "...."})
        EXPECT_FALSE(CDeviceSession::IsValidAddress(QString::fromLatin1(bad))) << bad;
}

TEST(DeviceSessionHelpers, TitleRenaming) {
    // Blank at position 3 and a repeated name.
    QStringList in = {"Name", "Name", "Other", " "};
    QStringList out = CDeviceSession::RenameTitles(in);
    EXPECT_EQ(out, (QStringList{"Name", "Name_repetition1", "Other", "emtyp3"}));

    // Repeats are compared after earlier renames and the counter runs over the whole group.
    out = CDeviceSession::RenameTitles({"A", " ", "A", "A", "B", "B", " "});
    EXPECT_EQ(out, (QStringList{"A", "emtyp1", "A_repetition1", "A_repetition2", "B",
                                "B_repetition3", "emtyp6"}));

    // Empty names stay empty; a renamed name that meets its own form is renamed again.
    out = CDeviceSession::RenameTitles({"", "", "X", "X", "X_repetition1"});
    EXPECT_EQ(out, (QStringList{"", "", "X", "X_repetition1", "X_repetition1_repetition2"}));
}

TEST(DeviceSessionHelpers, FromPresetAndDigits) {
    EXPECT_EQ(CDeviceSession::FromPreset(120, 120), 120u);
    EXPECT_EQ(CDeviceSession::FromPreset(120, 100), 101u);
    EXPECT_EQ(CDeviceSession::FromPreset(120, 0), 1u);
    EXPECT_EQ(CDeviceSession::FromPreset(0, 7), 7u);
    EXPECT_EQ(CDeviceSession::FromPreset(0, 0), 0u);
    // More stored than the instrument holds (its files were deleted): start again at 1.
    EXPECT_EQ(CDeviceSession::FromPreset(5, 100), 1u);

    EXPECT_TRUE(CDeviceSession::IsTwelveDigits("123456789012"));
    EXPECT_FALSE(CDeviceSession::IsTwelveDigits("12345678901"));
    EXPECT_FALSE(CDeviceSession::IsTwelveDigits("1234567890123"));
    EXPECT_FALSE(CDeviceSession::IsTwelveDigits("12345678901a"));
    EXPECT_FALSE(CDeviceSession::IsTwelveDigits(" 12345678901"));
    EXPECT_FALSE(CDeviceSession::IsTwelveDigits(QString(12, QChar(0x0663)))); // Arabic-Indic 3
}

TEST(DeviceSession, WifiLinkReadsInfoAndStoresRenamedTitles) {
    brtxtest::TempHome home;
    QStringList titles = TwentyTitles({"Name", "Name", "Place", " ", "Driver's id", "姓名"});
    auto sim = StartSim("127.0.4.1", 120, titles);
    CDeviceSession s;
    ASSERT_TRUE(s.OpenDatabase());
    StoreRows(s.Database(), sim->DeviceNumberText(), 100);

    const LinkResult r = s.ConnectWifi("  127.0.4.1 ");
    ASSERT_TRUE(r.ok) << r.key.toStdString();
    EXPECT_EQ(r.key, "WifiConnectOK");
    EXPECT_EQ(r.stage, LinkStage::Done);
    EXPECT_TRUE(s.IsLinked());
    EXPECT_TRUE(s.IsConnected());
    EXPECT_EQ(s.Route(), LinkRoute::Wifi);
    EXPECT_EQ(s.DeviceNumber(), sim->DeviceNumberText());
    EXPECT_EQ(s.Total(), 120u);
    EXPECT_EQ(s.Stored(), 100u);
    EXPECT_EQ(s.PresetFrom(), 101u);
    EXPECT_EQ(s.PresetTo(), 120u);

    const SQLite::Table t =
        s.Database().QuerySQL(Statements::SelectTitles(sim->DeviceNumberText()));
    ASSERT_EQ(t.GetRowCount(), 1);
    EXPECT_EQ(t.Cell(0, 0), "Name");
    EXPECT_EQ(t.Cell(0, 1), "Name_repetition1");
    EXPECT_EQ(t.Cell(0, 2), "Place");
    EXPECT_EQ(t.Cell(0, 3), "emtyp3");
    EXPECT_EQ(t.Cell(0, 4), "Driver's id");
    EXPECT_EQ(t.Cell(0, 5), QString::fromUtf8("姓名"));
    EXPECT_EQ(t.Cell(0, 20), "1"); // titleindex

    // Linking again replaces the row instead of adding one; all stored gives From = To.
    s.Disconnect();
    EXPECT_FALSE(s.IsConnected());
    EXPECT_EQ(s.Total(), 0u);
    StoreRows(s.Database(), sim->DeviceNumberText(), 20);
    ASSERT_TRUE(s.ConnectWifi("127.0.4.1").ok);
    EXPECT_EQ(s.PresetFrom(), 120u);
    EXPECT_EQ(s.PresetTo(), 120u);
    EXPECT_EQ(s.Database().QuerySQL("SELECT count(*) FROM TitleInfo").Cell(0, 0), "1");
}

TEST(DeviceSession, EmptyInstrumentPresetsFromStored) {
    brtxtest::TempHome home;
    auto sim = StartSim("127.0.4.2", 0);
    CDeviceSession s;
    ASSERT_TRUE(s.OpenDatabase());
    StoreRows(s.Database(), sim->DeviceNumberText(), 3);
    ASSERT_TRUE(s.ConnectWifi("127.0.4.2").ok);
    EXPECT_EQ(s.Total(), 0u);
    EXPECT_EQ(s.PresetFrom(), 3u);
    EXPECT_EQ(s.PresetTo(), 0u);
}

TEST(DeviceSession, LinkFailuresLeaveNothingOpen) {
    brtxtest::TempHome home;
    CDeviceSession s;
    ASSERT_TRUE(s.OpenDatabase());

    LinkResult r = s.ConnectWifi("192.168.1.300");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.key, "GetIPFail");
    EXPECT_EQ(r.stage, LinkStage::Input);

    // Nobody listens on this address.
    r = s.ConnectWifi("127.0.4.9");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.key, "WifiConnectFailed");
    EXPECT_EQ(r.stage, LinkStage::Connect);
    EXPECT_FALSE(s.IsConnected());

    auto sim = StartSim("127.0.4.3");
    sim->AddFault(MakeFault(FaultKind::WrongControl, SimCommand::ReadDeviceInfo));
    r = s.ConnectWifi("127.0.4.3");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.stage, LinkStage::DeviceInfo);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_FALSE(s.IsLinked());

    sim->ClearFaults();
    sim->AddFault(MakeFault(FaultKind::WrongIdentifier, SimCommand::ReadTitleInfo));
    r = s.ConnectWifi("127.0.4.3");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.key, "WifiConnectFailed");
    EXPECT_EQ(r.stage, LinkStage::Titles);
    EXPECT_EQ(s.DeviceNumber(), sim->DeviceNumberText());
    EXPECT_EQ(s.Total(), 0u);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_FALSE(s.IsLinked());
    EXPECT_EQ(s.Database().QuerySQL("SELECT count(*) FROM TitleInfo").Cell(0, 0), "0");
}

TEST(DeviceSession, OtherTitleGroupsAreNotStored) {
    brtxtest::TempHome home;
    auto sim = StartSim("127.0.4.4");
    sim->SetTitles(TwentyTitles({"X"}), 2);
    CDeviceSession s;
    ASSERT_TRUE(s.OpenDatabase());
    ASSERT_TRUE(s.ConnectWifi("127.0.4.4").ok);
    EXPECT_EQ(s.TitleIndex(), 2);
    EXPECT_TRUE(s.Titles().isEmpty());
    EXPECT_EQ(s.Database().QuerySQL("SELECT count(*) FROM TitleInfo").Cell(0, 0), "0");
}

TEST(DeviceSession, SetTimeSendsLocalTimeAndChecksTheEcho) {
    brtxtest::TempHome home;
    auto sim = StartSim("127.0.4.5");
    CDeviceSession s;
    s.OpenDatabase();
    ASSERT_TRUE(s.ConnectWifi("127.0.4.5").ok);

    DeviceResult r = s.SetTime(QDateTime(QDate(2020, 12, 23), QTime(1, 8, 59)));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.key, "SetTimeOk");
    EXPECT_EQ(sim->ClockText(), "2020-12-23 01-08-59");

    // An accepted write reply of another command is a failure; the link stays open.
    sim->AddFault(MakeFault(FaultKind::WrongIdentifier, SimCommand::SetClock));
    r = s.SetTime();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.key, "SetTimeFail");
    EXPECT_TRUE(s.IsConnected());

    // No reply: failure after the silence time-out, not a hang.
    sim->ClearFaults();
    sim->AddFault(MakeFault(FaultKind::NoReply, SimCommand::SetClock));
    QElapsedTimer timer;
    timer.start();
    r = s.SetTime();
    EXPECT_EQ(r.key, "SetTimeFail");
    EXPECT_LT(timer.elapsed(), 4000);
}

TEST(DeviceSession, SetDeviceIdRefusesAnythingButTwelveDigits) {
    brtxtest::TempHome home;
    auto sim = StartSim("127.0.4.6");
    CDeviceSession s;
    s.OpenDatabase();
    ASSERT_TRUE(s.ConnectWifi("127.0.4.6").ok);
    const QString before = s.DeviceNumber();

    for (const char* bad : {"12345678901", "1234567890123", "12345678901a", ""}) {
        sim->ClearRequests();
        const DeviceResult r = s.SetDeviceId(QString::fromLatin1(bad));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.key, "DevIdMust12Digits");
        EXPECT_TRUE(sim->Requests().isEmpty()) << "sent for " << bad;
    }

    sim->ClearRequests();
    QString number;
    DeviceResult r = s.SetDeviceId("123456789012", &number);
    ASSERT_TRUE(r.ok) << r.key.toStdString();
    EXPECT_EQ(r.key, "SetDevIdOk");
    EXPECT_EQ(number, "123456789012");
    EXPECT_EQ(sim->DeviceNumber(), "123456789012");
    ASSERT_EQ(sim->Requests().size(), 1);
    EXPECT_EQ(sim->Requests().first().mid(13, 6), QByteArray::fromHex("123456789012"));
    // The session's identity is read again only at the next link.
    EXPECT_EQ(s.DeviceNumber(), before);

    sim->AddFault(MakeFault(FaultKind::WrongControl, SimCommand::SetDeviceNumber));
    r = s.SetDeviceId("000000000001", &number);
    EXPECT_EQ(r.key, "SetDevIdFail");
}

TEST(DeviceSession, DeleteFiles) {
    brtxtest::TempHome home;
    auto sim = StartSim("127.0.4.7", 5);
    CDeviceSession s;
    s.OpenDatabase();
    ASSERT_TRUE(s.ConnectWifi("127.0.4.7").ok);
    DeviceResult r = s.DeleteFiles();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.key, "DelFileOk");
    EXPECT_EQ(sim->DeleteCount(), 1);

    sim->AddFault(MakeFault(FaultKind::WrongIdentifier, SimCommand::DeleteDeviceFiles));
    r = s.DeleteFiles();
    EXPECT_EQ(r.key, "DelFileFail");

    // Without a link every command fails with its own key and nothing is sent.
    s.Disconnect();
    EXPECT_EQ(s.DeleteFiles().key, "DelFileFail");
    EXPECT_EQ(s.SetTime().key, "SetTimeFail");
    EXPECT_EQ(s.SetDeviceId("123456789012").key, "SetDevIdFail");
}
