// The device page: controls, captions and enabled states through connect, failure and
// disconnect over Wi-Fi (simulator on 127.0.5.x), the settings buttons, the main window fields.
#include "common/StatusWindow.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

using brtxtest::GetText;

using brtxsim::CSimulator;
using brtxsim::Fault;
using brtxsim::FaultKind;
using brtxsim::SimCommand;
using brtxsim::SimConfig;

namespace {

// Each test gets its own program folder, main window and page.
class FirstPageTest : public ::testing::Test {
protected:
    void SetUp() override { makePage(); }
    void TearDown() override { m_page.reset(); }

    void makePage() {
        m_page = std::make_unique<CFirstPage>();
        m_main.Follow(m_page.get());
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

    // Clicks a button and waits until the exchange it started (if any) has ended.
    void press(int id) {
        button(id)->click();
        EXPECT_TRUE(brtxtest::waitFor([&] { return !(*m_page).IsBusy(); }, 15000));
    }
    QPushButton* button(int id) const { return qobject_cast<QPushButton*>(m_page->Control(id)); }
    QLineEdit* edit(int id) const { return qobject_cast<QLineEdit*>(m_page->Control(id)); }
    QComboBox* serials() const {
        return qobject_cast<QComboBox*>(m_page->Control(CFirstPage::IdSerials));
    }
    bool commandsEnabled(bool expected) const {
        for (int id : {1009, 1011, 1040, 1014, 1017, 1029, 1020, 1031, 1039})
            if (m_page->Control(id)->isEnabled() != expected)
                return false;
        return true;
    }
    bool waitStatus(const char* key) {
        const QString text = GetText(QString::fromLatin1(key));
        return brtxtest::waitFor([&] { return m_main.status().startsWith(text); }, 5000);
    }
    void wifiConnect(const QString& address) {
        edit(CFirstPage::IdAddress)->setText(address);
        press(CFirstPage::IdWifiConnect);
    }
    void expectIdle() {
        EXPECT_EQ(button(1008)->text(), GetText("ConnectUSB"));
        EXPECT_EQ(button(1010)->text(), GetText("WifiConnect"));
        EXPECT_TRUE(button(1008)->isEnabled());
        EXPECT_TRUE(button(1010)->isEnabled());
        EXPECT_TRUE(button(1050)->isEnabled());
        EXPECT_TRUE(commandsEnabled(false));
    }

    brtxtest::TempHome m_home;
    brtxtest::StatusWindow m_main;
    std::unique_ptr<CFirstPage> m_page;
};

} // namespace

TEST_F(FirstPageTest, ControlsCaptionsAndIdleState) {
    const QList<int> ids = {1008, 1009, 1010, 1011, 1014, 1015, 1016, 1017, 1020, 1029,
                            1030, 1031, 1039, 1040, 1041, 1042, 1050, 1052, 1053, 1054};
    for (int id : ids) {
        QWidget* w = m_page->Control(id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_EQ(w->property("ctrlId").toInt(), id);
    }
    const QList<QPair<int, const char*>> captions = {
        {1008, "ConnectUSB"},     {1009, "BtnSetTime"},     {1010, "WifiConnect"},
        {1011, "BtnSetDeviceID"}, {1014, "BtnDownloadOne"}, {1017, "BtnDownloadAll"},
        {1029, "BtnDelFile"},     {1040, "BtnDownload"},    {1050, "BtnGetDevID"}};
    for (const auto& [id, key] : captions) {
        EXPECT_FALSE(GetText(key).isEmpty());
        EXPECT_EQ(button(id)->text(), GetText(key)) << id;
    }
    EXPECT_EQ(qobject_cast<QLabel*>(m_page->Control(1054))->text(), GetText("ManualIP"));
    EXPECT_EQ(qobject_cast<QLabel*>(m_page->Control(1041))->text(), GetText("Start"));
    EXPECT_EQ(qobject_cast<QLabel*>(m_page->Control(1042))->text(), GetText("End"));
    expectIdle();

    // The page made the database with both tables.
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM ValueInfo").GetRowCount(), 1);
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM TitleInfo").GetRowCount(), 1);
}

TEST_F(FirstPageTest, WifiConnectShowsDeviceAndDisconnectResetsEverything) {
    auto sim = startSim("127.0.5.1", 120);
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
        for (int i = 1; i <= 100; ++i)
            db.ExecuteSQL(Statements::InsertValueInfo(
                {sim->DeviceNumberText(), QString::number(i), "2024-01-01", "08:00:00"}));
    }
    wifiConnect("127.0.5.1");
    ASSERT_TRUE(waitStatus("WifiConnectOK")) << m_main.status().toStdString();
    EXPECT_EQ(button(1010)->text(), GetText("WifiDisconnect"));
    EXPECT_TRUE(button(1010)->isEnabled());
    EXPECT_FALSE(button(1008)->isEnabled());
    EXPECT_FALSE(button(1050)->isEnabled());
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_EQ(m_main.deviceId(), GetText("DeviceID") + sim->DeviceNumberText());
    EXPECT_EQ(m_main.total(), GetText("TotalNumber") + "120");
    EXPECT_EQ(edit(1031)->text(), "101");
    EXPECT_EQ(edit(1039)->text(), "120");
    ASSERT_EQ(serials()->count(), 1);
    EXPECT_EQ(serials()->currentText(), sim->DeviceNumberText());
    EXPECT_TRUE(m_page->Session().IsConnected());

    edit(1020)->setText("999");
    m_page->Progress()->setValue(m_page->Progress()->maximum()); // as a download leaves it
    press(1010);
    ASSERT_TRUE(waitStatus("WifiDisconnectOK"));
    EXPECT_EQ(m_page->Progress()->value(), 0);
    expectIdle();
    EXPECT_FALSE(m_page->Session().IsConnected());
    EXPECT_EQ(m_main.version(), GetText("SwVersion"));
    EXPECT_EQ(m_main.deviceId(), GetText("DeviceID"));
    EXPECT_EQ(m_main.total(), GetText("TotalNumber"));
    EXPECT_TRUE(edit(1020)->text().isEmpty());
    EXPECT_TRUE(edit(1031)->text().isEmpty());
    EXPECT_TRUE(edit(1039)->text().isEmpty());
    EXPECT_EQ(serials()->count(), 0);
    EXPECT_EQ(m_page->Session().Total(), 0u);
    EXPECT_FALSE(m_page->PictureFrame()->isVisible());
    EXPECT_EQ(m_page->Tree()->topLevelItemCount(), 0);
}

TEST_F(FirstPageTest, WifiAddressChecks) {
    for (const char* bad : {"192.168.1.300", "10.0.0", "", "   "}) {
        wifiConnect(QString::fromLatin1(bad));
        ASSERT_TRUE(waitStatus("GetIPFail")) << bad;
        expectIdle();
        m_main.clearStatus();
    }
    // An empty part counts as 0: the address passes the check and the connect is tried
    // (nothing listens there, so it fails as a connection, not as an address).
    wifiConnect("127..5.9");
    ASSERT_TRUE(waitStatus("WifiConnectFailed")) << m_main.status().toStdString();
    expectIdle();
}

TEST_F(FirstPageTest, FailedLinksReturnToIdle) {
    // Nobody listening.
    wifiConnect("127.0.5.2");
    ASSERT_TRUE(waitStatus("WifiConnectFailed"));
    expectIdle();
    EXPECT_EQ(m_main.deviceId(), QString()); // never touched

    // Titles refused after the device information was read: nothing of it stays shown.
    auto sim = startSim("127.0.5.3");
    Fault f;
    f.kind = FaultKind::WrongIdentifier;
    f.command = SimCommand::ReadTitleInfo;
    sim->AddFault(f);
    m_main.clearStatus();
    wifiConnect("127.0.5.3");
    ASSERT_TRUE(waitStatus("WifiConnectFailed"));
    expectIdle();
    EXPECT_EQ(m_main.deviceId(), GetText("DeviceID"));
    EXPECT_EQ(m_main.total(), GetText("TotalNumber"));
    EXPECT_TRUE(edit(1031)->text().isEmpty());
    EXPECT_TRUE(edit(1039)->text().isEmpty());
    EXPECT_EQ(serials()->count(), 0);
    EXPECT_FALSE(m_page->Session().IsConnected());

    // Then a good link works from that state.
    sim->ClearFaults();
    wifiConnect("127.0.5.3");
    ASSERT_TRUE(waitStatus("WifiConnectOK"));
    EXPECT_TRUE(commandsEnabled(true));
}

TEST_F(FirstPageTest, UsbConnectWithEmptyListShowsGetDevFail) {
    ASSERT_EQ(serials()->count(), 0);
    press(1008);
    EXPECT_EQ(m_main.status(), GetText("GetDevFail"));
    expectIdle();
}

TEST_F(FirstPageTest, SetDeviceIdChecksTextAndShowsNewNumber) {
    auto sim = startSim("127.0.5.4");
    wifiConnect("127.0.5.4");
    ASSERT_TRUE(waitStatus("WifiConnectOK"));
    const QString shownBefore = m_main.deviceId();

    for (const char* bad : {"12345678901", "1234567890123", "12345678901x"}) {
        sim->ClearRequests();
        edit(1020)->setText(QString::fromLatin1(bad));
        press(1011);
        EXPECT_EQ(m_main.status(), GetText("DevIdMust12Digits")) << bad;
        EXPECT_TRUE(edit(1020)->text().isEmpty());
        EXPECT_TRUE(sim->Requests().isEmpty()) << bad;
        EXPECT_EQ(m_main.deviceId(), shownBefore);
    }

    edit(1020)->setText("123456789012");
    press(1011);
    EXPECT_EQ(m_main.status(), GetText("SetDevIdOk"));
    EXPECT_EQ(m_main.deviceId(), GetText("DeviceID") + "123456789012");
    EXPECT_EQ(sim->DeviceNumber(), "123456789012");

    Fault f;
    f.kind = FaultKind::WrongIdentifier;
    f.command = SimCommand::SetDeviceNumber;
    sim->AddFault(f);
    edit(1020)->setText("000000000042");
    press(1011);
    EXPECT_EQ(m_main.status(), GetText("SetDevIdFail"));
    EXPECT_EQ(m_main.deviceId(), GetText("DeviceID") + "123456789012");
}

TEST_F(FirstPageTest, SetTimeAndDeleteButtons) {
    auto sim = startSim("127.0.5.5");
    wifiConnect("127.0.5.5");
    ASSERT_TRUE(waitStatus("WifiConnectOK"));

    press(1009);
    EXPECT_EQ(m_main.status(), GetText("SetTimeOk"));
    EXPECT_EQ(sim->ClockText().size(), 19);
    press(1029);
    EXPECT_EQ(m_main.status(), GetText("DelFileOk"));
    EXPECT_EQ(sim->DeleteCount(), 1);

    Fault f;
    f.kind = FaultKind::NoReply;
    sim->AddFault(f);
    press(1009);
    EXPECT_EQ(m_main.status(), GetText("SetTimeFail"));
    press(1029);
    EXPECT_EQ(m_main.status(), GetText("DelFileFail"));
    // The link stays as it was after a failed command.
    EXPECT_EQ(button(1010)->text(), GetText("WifiDisconnect"));
    EXPECT_TRUE(commandsEnabled(true));
}

TEST_F(FirstPageTest, DestroyingThePageClosesTheSocket) {
    auto sim = startSim("127.0.5.6");
    wifiConnect("127.0.5.6");
    ASSERT_TRUE(waitStatus("WifiConnectOK"));
    ASSERT_TRUE(m_page->Session().IsConnected());
    // The page ends its worker and closes its own link; a new page links again at once.
    m_page.reset();
    makePage();
    wifiConnect("127.0.5.6");
    ASSERT_TRUE(waitStatus("WifiConnectOK"));
    EXPECT_EQ(sim->ConnectionCount(), 2);
}

TEST_F(FirstPageTest, BlankCaptionsStillDisconnect) {
    // Without texts both captions of a button are blank; the second press must still end
    // the link rather than make a new one.
    m_page.reset();
    m_home.writeLanguage("");
    makePage();
    auto sim = startSim("127.0.5.7");
    wifiConnect("127.0.5.7");
    ASSERT_TRUE(brtxtest::waitFor([&] { return commandsEnabled(true); }));
    EXPECT_EQ(sim->ConnectionCount(), 1);
    press(1010);
    EXPECT_TRUE(commandsEnabled(false));
    EXPECT_FALSE(m_page->Session().IsConnected());
    EXPECT_TRUE(button(1008)->isEnabled());
    EXPECT_EQ(sim->ConnectionCount(), 1);
}

TEST_F(FirstPageTest, TreeShowsLongPictureNamesInFull) {
    // The tree as a download leaves it, with a picture saved under its date-time name.
    QTreeWidget* tree = m_page->Tree();
    auto* root = new QTreeWidgetItem(tree, {"pic"});
    auto* device = new QTreeWidgetItem(root, {"0123456789"});
    auto* picture = new QTreeWidgetItem(device, {"00004_20240104080228.jpg"});
    tree->expandAll();
    m_page->resize(1000, 600);
    m_page->show();
    const int needed = tree->fontMetrics().horizontalAdvance(picture->text(0));
    ASSERT_TRUE(
        brtxtest::waitFor([&] { return tree->visualItemRect(picture).width() > needed; }, 2000))
        << tree->visualItemRect(picture).width() << " < " << needed;
    // Wider than the tree's view: it scrolls sideways.
    tree->resize(120, tree->height());
    EXPECT_TRUE(
        brtxtest::waitFor([&] { return tree->horizontalScrollBar()->maximum() > 0; }, 2000));
}
