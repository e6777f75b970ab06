// The device page's download part against the simulator (127.0.51.x): buttons, controls held
// disabled while a worker runs, progress, status texts, the tree and the picture frame.
#include "common/StatusWindow.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "sim/lib/Simulator.h"
#include "store/Instruments.h"
#include "store/SQLite.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

using brtxtest::GetText;
using brtxtest::GetTextNumber;

namespace {

using brtxtest::StatusWindow;

QList<quint32> requestedRecords(const brtxsim::CSimulator& sim) {
    QList<quint32> out;
    for (const QByteArray& r : sim.Requests()) {
        if (r.size() == 18 && quint8(r[11]) == 0x02 && quint8(r[12]) == 0x10)
            out.append(quint8(r[13]) | (quint8(r[14]) << 8) | (quint8(r[15]) << 16));
    }
    return out;
}

// The tree as text lines, one per item, indented by depth.
QStringList treeLines(QTreeWidget* tree) {
    QStringList out;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
        out.append(QString(depth * 2, ' ') + item->text(0));
        for (int i = 0; i < item->childCount(); ++i)
            walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        walk(tree->topLevelItem(i), 0);
    return out;
}

class DownloadPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", m_home.file("failer.jpg"));
        m_page = std::make_unique<CFirstPage>();
        m_main.Follow(m_page.get());
        m_page->resize(1000, 640);
    }
    void TearDown() override { m_page.reset(); }

    void link(const QString& address, int records, int photoBytes = 2000) {
        brtxsim::SimConfig config;
        config.address = address;
        config.recordCount = records;
        config.photoBytes = photoBytes;
        m_sim = std::make_unique<brtxsim::CSimulator>(config);
        QString error;
        ASSERT_TRUE(m_sim->Start(&error)) << error.toStdString();
        edit(CFirstPage::IdAddress)->setText(address);
        button(CFirstPage::IdWifiConnect)->click();
        ASSERT_TRUE(waitStatus("WifiConnectOK")) << m_main.status().toStdString();
        m_sim->ClearRequests();
    }

    QPushButton* button(int id) const { return qobject_cast<QPushButton*>(m_page->Control(id)); }
    QLineEdit* edit(int id) const { return qobject_cast<QLineEdit*>(m_page->Control(id)); }
    bool commandsEnabled(bool expected) const {
        for (int id : {1009, 1011, 1040, 1014, 1017, 1029, 1020, 1031, 1039})
            if (m_page->Control(id)->isEnabled() != expected)
                return false;
        return true;
    }
    bool waitStatus(const char* key, int ms = 20000) {
        const QString text = GetText(QString::fromLatin1(key));
        return brtxtest::waitFor(
            [&] { return m_main.status().startsWith(text) && !m_page->IsBusy(); }, ms);
    }
    // Presses a download button and waits for the download to end.
    void press(int id) {
        m_main.clearStatus();
        button(id)->click();
        ASSERT_TRUE(brtxtest::waitFor([&] { return !m_page->IsDownloading(); }, 30000));
        QCoreApplication::processEvents(); // the last events
    }
    QString devFolder() const { return m_home.file("pic/" + m_sim->DeviceNumberText()); }
    QTreeWidgetItem* pictureItem(const QString& name) const {
        const auto found = m_page->Tree()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.first();
    }
    void clickItem(QTreeWidgetItem* item) {
        m_page->Tree()->setCurrentItem(item);
        emit m_page->Tree()->itemClicked(item, 0);
    }

    brtxtest::TempHome m_home;
    StatusWindow m_main;
    std::unique_ptr<brtxsim::CSimulator> m_sim;
    std::unique_ptr<CFirstPage> m_page;
};

} // namespace

TEST_F(DownloadPageTest, AllDownloadFillsProgressTreeAndPicture) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.1", 3));
    button(CFirstPage::IdDownloadAll)->click();
    // The command controls are off while the worker runs, so no other exchange can start.
    EXPECT_TRUE(commandsEnabled(false));
    EXPECT_TRUE(m_page->IsDownloading());
    ASSERT_TRUE(waitStatus("DownloadFinish"));
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_EQ(requestedRecords(*m_sim), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(m_page->Progress()->maximum(), 3);
    EXPECT_EQ(m_page->Progress()->value(), 3);

    const QString dev = m_sim->DeviceNumberText();
    EXPECT_EQ(treeLines(m_page->Tree()),
              QStringList({"pic", "  " + dev, "    00001.jpg", "    00002.jpg", "    00003.jpg"}));
    EXPECT_EQ(m_page->SavedPictures(), QStringList({"00001.jpg", "00002.jpg", "00003.jpg"}));

    // Root and folder items change nothing; a picture item is shown at its own size.
    EXPECT_FALSE(m_page->PictureFrame()->isVisibleTo(m_page.get()));
    clickItem(m_page->Tree()->topLevelItem(0));
    clickItem(m_page->Tree()->topLevelItem(0)->child(0));
    EXPECT_TRUE(m_page->SelectedPicture().isEmpty());
    EXPECT_TRUE(m_page->ShownPicture().isNull());

    clickItem(pictureItem("00002.jpg"));
    EXPECT_EQ(m_page->SelectedPicture(), devFolder() + "/00002.jpg");
    EXPECT_TRUE(m_page->PictureFrame()->isVisibleTo(m_page.get()));
    const QImage expected(devFolder() + "/00002.jpg");
    ASSERT_FALSE(expected.isNull());
    EXPECT_EQ(m_page->ShownPicture().size(), expected.size());

    // Picking a folder afterwards leaves the picture where it is.
    clickItem(m_page->Tree()->topLevelItem(0)->child(0));
    EXPECT_EQ(m_page->SelectedPicture(), devFolder() + "/00002.jpg");

    if (qEnvironmentVariableIsSet("BRTX_SHOT"))
        m_page->grab().save(qEnvironmentVariable("BRTX_SHOT"));

    // A disconnect forgets the saved pictures and the selection.
    button(CFirstPage::IdWifiConnect)->click();
    ASSERT_TRUE(waitStatus("WifiDisconnectOK"));
    EXPECT_TRUE(m_page->SavedPictures().isEmpty());
    EXPECT_TRUE(m_page->SelectedPicture().isEmpty());
}

TEST_F(DownloadPageTest, TreeShowsOnlyThisDownloadsPicturesAndDeletedOnesShowFailer) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.2", 6));
    // Older pictures of this device and another device's folder are already there.
    QDir().mkpath(devFolder());
    QDir().mkpath(m_home.file("pic/OTHERDEV"));
    for (const QString& path :
         {devFolder() + "/00001.jpg", m_home.file("pic/OTHERDEV/00003.jpg")}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    edit(CFirstPage::IdFrom)->setText("3");
    edit(CFirstPage::IdTo)->setText("4");
    press(CFirstPage::IdDownload);
    EXPECT_EQ(m_main.status(), GetText("DownloadFinish"));
    EXPECT_EQ(requestedRecords(*m_sim), QList<quint32>({3, 4}));
    EXPECT_EQ(treeLines(m_page->Tree()), QStringList({"pic", "  " + m_sim->DeviceNumberText(),
                                                      "    00003.jpg", "    00004.jpg"}));

    // The picture file went away since: the frame shows failer.jpg.
    ASSERT_TRUE(QFile::remove(devFolder() + "/00004.jpg"));
    clickItem(pictureItem("00004.jpg"));
    const QImage failer(m_home.file("failer.jpg"));
    ASSERT_FALSE(failer.isNull());
    EXPECT_EQ(m_page->ShownPicture(), failer.convertToFormat(m_page->ShownPicture().format()));

    // A new download empties the tree and shows only its own pictures.
    edit(CFirstPage::IdFrom)->setText("6");
    edit(CFirstPage::IdTo)->setText("");
    press(CFirstPage::IdDownload);
    EXPECT_EQ(requestedRecords(*m_sim), QList<quint32>({3, 4, 6}));
    EXPECT_EQ(treeLines(m_page->Tree()),
              QStringList({"pic", "  " + m_sim->DeviceNumberText(), "    00006.jpg"}));
    EXPECT_TRUE(edit(CFirstPage::IdTo)->text().isEmpty()); // the empty box was reset
}

// Records that fail do not end in a plain "finished": the closing text counts them. A new
// download also takes away the picture shown from the tree it empties.
TEST_F(DownloadPageTest, FailedRecordsAreCountedAndANewDownloadClearsThePicture) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.6", 4));
    edit(CFirstPage::IdFrom)->setText("1");
    edit(CFirstPage::IdTo)->setText("2");
    press(CFirstPage::IdDownload);
    ASSERT_EQ(m_main.status(), GetText("DownloadFinish"));
    clickItem(pictureItem("00002.jpg"));
    ASSERT_FALSE(m_page->ShownPicture().isNull());
    ASSERT_TRUE(m_page->PictureFrame()->isVisibleTo(m_page.get()));

    // Every record of the next download fails: the tree is emptied at once, and the
    // picture frame with it, although nothing new is saved.
    brtxsim::Fault fault;
    fault.kind = brtxsim::FaultKind::WrongControl;
    fault.command = brtxsim::SimCommand::ReadRecord;
    for (int r = 1; r <= 4; ++r) {
        fault.record = r;
        m_sim->AddFault(fault);
    }
    m_main.clearStatus();
    button(CFirstPage::IdDownloadAll)->click();
    EXPECT_TRUE(m_page->ShownPicture().isNull());
    EXPECT_TRUE(m_page->SelectedPicture().isEmpty());
    EXPECT_FALSE(m_page->PictureFrame()->isVisibleTo(m_page.get()));
    ASSERT_TRUE(brtxtest::waitFor([&] { return !m_page->IsDownloading(); }, 30000));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_main.status(), GetText("DownloadFinishFailed").replace("%d", "4"));
    EXPECT_NE(m_main.status(), GetText("DownloadFinish"));
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_TRUE(m_page->SavedPictures().isEmpty());
    EXPECT_TRUE(m_page->ShownPicture().isNull());

    // A range in which one record fails counts just that one.
    edit(CFirstPage::IdFrom)->setText("3");
    edit(CFirstPage::IdTo)->setText("4");
    m_sim->ClearFaults();
    fault.record = 4;
    m_sim->AddFault(fault);
    press(CFirstPage::IdDownload);
    EXPECT_EQ(m_main.status(), GetText("DownloadFinishFailed").replace("%d", "1"));

    // Without failures the plain text again.
    m_sim->ClearFaults();
    edit(CFirstPage::IdFrom)->setText("4");
    press(CFirstPage::IdDownload);
    EXPECT_EQ(m_main.status(), GetText("DownloadFinish"));
}

TEST_F(DownloadPageTest, SingleDownloadChecksTheNumberFirst) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.3", 5));
    edit(CFirstPage::IdFrom)->setText("6");
    button(CFirstPage::IdDownloadOne)->click();
    EXPECT_EQ(m_main.status(), GetText("NumberMustLessTotoal"));
    EXPECT_FALSE(m_page->IsDownloading());
    EXPECT_TRUE(commandsEnabled(true));
    QCoreApplication::processEvents();
    EXPECT_TRUE(requestedRecords(*m_sim).isEmpty());

    edit(CFirstPage::IdFrom)->setText("5");
    press(CFirstPage::IdDownloadOne);
    EXPECT_EQ(m_main.status(), GetText("DownloadFinish"));
    EXPECT_EQ(requestedRecords(*m_sim), QList<quint32>({5}));
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_EQ(treeLines(m_page->Tree()).size(), 3);

    // The same record twice more: the date-time name, then "TheImgExist" stays shown.
    press(CFirstPage::IdDownloadOne);
    EXPECT_EQ(m_page->SavedPictures().size(), 1);
    EXPECT_NE(m_page->SavedPictures().value(0), "00005.jpg");
    press(CFirstPage::IdDownloadOne);
    EXPECT_EQ(m_main.status(), GetText("TheImgExist").replace("%d", "5"));
    EXPECT_TRUE(commandsEnabled(true));
    // Nothing saved this time: the device folder holds no picture of this download.
    EXPECT_EQ(treeLines(m_page->Tree()), QStringList({"pic", "  " + m_sim->DeviceNumberText()}));
}

TEST_F(DownloadPageTest, EmptyInstrumentStartsNothing) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.4", 0));
    for (int id : {CFirstPage::IdDownloadAll, CFirstPage::IdDownloadOne, CFirstPage::IdDownload}) {
        m_main.clearStatus();
        edit(CFirstPage::IdFrom)->setText("1");
        button(id)->click();
        EXPECT_EQ(m_main.status(), GetText("NoRecords")) << id;
        EXPECT_FALSE(m_page->IsDownloading());
        EXPECT_TRUE(commandsEnabled(true)) << id;
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(requestedRecords(*m_sim).isEmpty());
}

TEST_F(DownloadPageTest, ClosingThePageMidDownloadLeavesNothingHalfDone) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.5", 3000, 1000));
    const QString folder = devFolder();
    button(CFirstPage::IdDownloadAll)->click();
    ASSERT_TRUE(brtxtest::waitFor([&] { return QDir(folder).count() >= 5; }, 20000));
    m_page.reset(); // stops and joins the worker before the page goes
    const int pictures = int(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");
    const int rows = db.QuerySQL("SELECT count(*) FROM ValueInfo").Cell(0, 0).toInt();
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, 3000);
    EXPECT_EQ(pictures, rows); // every row has its picture, no partial or temporary file
}

TEST_F(DownloadPageTest, CancelStopsWithinASecondAndDownloadNewFetchesTheRest) {
    // A picture left half written by a killed process is removed when the device is linked.
    brtxsim::SimConfig probe;
    probe.address = "127.0.51.8";
    const QString folder = m_home.file("pic/" + brtxsim::CSimulator(probe).DeviceNumberText());
    QDir().mkpath(folder);
    for (const QString& left : {QString(".brtx-999999-0.part"),
                                QString(".brtx-%1-3.part").arg(QCoreApplication::applicationPid())})
        QFile(folder + "/" + left).open(QIODevice::WriteOnly);
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.8", 10));
    EXPECT_TRUE(m_main.status().endsWith(GetTextNumber("NewRecords", 10)))
        << m_main.status().toStdString();
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(button(CFirstPage::IdCancel)->isEnabled());

    // Record 4 stalls for 2.5 s in the middle of its reply.
    brtxsim::Fault stall;
    stall.kind = brtxsim::FaultKind::PauseMidReply;
    stall.command = brtxsim::SimCommand::ReadRecord;
    stall.record = 4;
    stall.amount = 2500;
    stall.times = 1;
    m_sim->AddFault(stall);
    button(CFirstPage::IdDownloadAll)->click();
    EXPECT_FALSE(commandsEnabled(true));
    ASSERT_TRUE(brtxtest::waitFor([&] { return requestedRecords(*m_sim).contains(4); }, 10000));
    ASSERT_TRUE(button(CFirstPage::IdCancel)->isEnabled());
    QElapsedTimer canceled;
    canceled.start();
    button(CFirstPage::IdCancel)->click();
    button(CFirstPage::IdCancel)->click(); // a second press changes nothing
    ASSERT_TRUE(brtxtest::waitFor([&] { return !m_page->IsBusy(); }, 5000));
    EXPECT_LT(canceled.elapsed(), 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(m_main.status(), Download::FillNumbers(GetText("DownloadCanceled"), {3, 0}));
    EXPECT_TRUE(commandsEnabled(true));
    EXPECT_FALSE(button(CFirstPage::IdCancel)->isEnabled());
    m_page->OnCancel(); // nothing runs: nothing happens
    EXPECT_EQ(m_main.status(), Download::FillNumbers(GetText("DownloadCanceled"), {3, 0}));
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM ValueInfo").Cell(0, 0), "3");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
              QStringList({"00001.jpg", "00002.jpg", "00003.jpg"}));

    // "Download New" asks for exactly the records not stored, in order, then has nothing to do.
    // (The simulator serves one connection at a time: it first ends the stalled reply.)
    brtxtest::waitFor([] { return false; }, 2500);
    m_sim->ClearRequests();
    press(CFirstPage::IdDownloadNew);
    EXPECT_EQ(requestedRecords(*m_sim), QList<quint32>({4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM ValueInfo").Cell(0, 0), "10");
    m_sim->ClearRequests();
    press(CFirstPage::IdDownloadNew);
    EXPECT_TRUE(requestedRecords(*m_sim).isEmpty());
    EXPECT_EQ(m_main.status(), GetTextNumber("NewRecords", 0));
}

TEST_F(DownloadPageTest, ALinkSaysWhenTheAccuracyCheckIsOverdue) {
    brtxsim::SimConfig probe;
    probe.address = "127.0.51.11";
    const QDate checked = QDate::currentDate().addDays(-40);
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
        Instruments::LogEntry e;
        e.device = brtxsim::CSimulator(probe).DeviceNumberText();
        e.kind = "accuracy";
        e.at = checked.toString(Qt::ISODate) + " 09:00:00";
        e.result = "pass";
        ASSERT_TRUE(Instruments::AppendLog(db, e, "page", nullptr));
    }
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.11", 2));
    // The default interval of accuracy checks is 30 days.
    EXPECT_TRUE(m_main.status().endsWith(
        GetText("AccuracyOverdue").replace("%s", checked.addDays(30).toString(Qt::ISODate))))
        << m_main.status().toStdString();
}
