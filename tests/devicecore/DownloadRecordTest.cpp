// Record download against the instrument simulator (127.0.5.x): what is asked
// for, what the worker reports, what ends up in ValueInfo and in the picture folder.
#include "device/core/DownloadRecord.h"
#include "device/core/DownloadWorker.h"
#include "device/core/PictureStore.h"

#include "common/TestSupport.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"
#include "store/Schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <memory>

using namespace Download;

namespace {

struct Seen {
    int type = 0;
    quint32 number = 0;
    QString key;
    quint32 keyNumber = 0;
    QString picture;
    bool stored = false;
    bool failed = false;
    bool stopped = false;
};

// Collects the worker's events on the test thread.
class Collector : public QObject {
public:
    QList<Seen> events;
    bool finished = false;

    QList<quint32> numbers(QEvent::Type type) const {
        QList<quint32> out;
        for (const Seen& s : events)
            if (s.type == type)
                out.append(s.number);
        return out;
    }
    const Seen& last() const { return events.last(); }

protected:
    bool event(QEvent* e) override {
        const int t = int(e->type());
        if (t != kProgressEvent && t != kFinishedEvent && t != kRecordDownloadedEvent &&
            t != kRecordFailedEvent)
            return QObject::event(e);
        const auto* d = static_cast<DownloadEvent*>(e);
        events.append(Seen{t, d->number, d->key, d->keyNumber, d->pictureName, d->stored, d->failed,
                           d->stopped});
        if (t == kFinishedEvent)
            finished = true;
        return true;
    }
};

QList<quint32> requestedRecords(const brtxsim::CSimulator& sim) {
    QList<quint32> out;
    for (const QByteArray& r : sim.Requests()) {
        if (r.size() == 18 && quint8(r[11]) == 0x02 && quint8(r[12]) == 0x10)
            out.append(quint8(r[13]) | (quint8(r[14]) << 8) | (quint8(r[15]) << 16));
    }
    return out;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One simulator on its own loopback address, a linked client, a fresh program folder with
// brtx.db, and a worker reporting to a collector.
class DownloadFixture : public ::testing::Test {
protected:
    void link(const QString& address, int records, int photoBytes = 3000) {
        brtxsim::SimConfig cfg;
        cfg.address = address;
        cfg.recordCount = records;
        cfg.photoBytes = photoBytes;
        sim = std::make_unique<brtxsim::CSimulator>(cfg);
        QString error;
        ASSERT_TRUE(sim->Start(&error)) << error.toStdString();
        ASSERT_TRUE(client.ConnectTo(address));
        ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
        ASSERT_TRUE(Schema::CreateTables(db));
        ctx.db = &db;
        ctx.client = &client;
        ctx.deviceId = sim->DeviceNumberText();
        ctx.picRoot = home.file("pic");
    }

    QString devFolder() const { return ctx.picRoot + "/" + ctx.deviceId; }

    // Runs a plan to its Finished event.
    void run(const Plan& plan, int timeoutMs = 60000) {
        collector = std::make_unique<Collector>();
        worker = std::make_unique<CDownloadWorker>(collector.get());
        ASSERT_TRUE(worker->Start(plan, ctx));
        ASSERT_TRUE(brtxtest::waitFor([&] { return collector->finished; }, timeoutMs));
        worker->Wait();
        EXPECT_FALSE(worker->IsRunning());
        EXPECT_EQ(collector->last().type, kFinishedEvent);
    }

    int rowCount() {
        const SQLite::Table t = db.QuerySQL("SELECT count(*) FROM ValueInfo");
        return t.GetRowCount() ? t.Cell(0, 0).toInt() : -1;
    }

    QStringList pictureFiles() const {
        return QDir(devFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    brtxtest::TempHome home;
    std::unique_ptr<brtxsim::CSimulator> sim;
    CTCPClient client;
    SQLite::Database db;
    Context ctx;
    std::unique_ptr<Collector> collector;
    std::unique_ptr<CDownloadWorker> worker;
};

} // namespace

TEST_F(DownloadFixture, AllDownloadStoresEveryRecordAndPicture) {
    link("127.0.5.0", 3);
    run(PlanAll(3).plan);

    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2, 3}));
    EXPECT_TRUE(collector->numbers(kRecordFailedEvent).isEmpty());
    // Progress comes before the record's own report.
    ASSERT_EQ(collector->events.size(), 7);
    EXPECT_EQ(collector->events[0].type, kProgressEvent);
    EXPECT_EQ(collector->events[1].type, kRecordDownloadedEvent);
    EXPECT_EQ(collector->events[1].picture, "00001.jpg");
    EXPECT_TRUE(collector->events[1].stored);
    EXPECT_FALSE(collector->last().failed);

    ASSERT_EQ(rowCount(), 3);
    const SQLite::Table t = db.QuerySQL("SELECT * FROM ValueInfo WHERE Record_No = '2'");
    ASSERT_EQ(t.GetRowCount(), 1);
    ASSERT_EQ(t.GetColCount(), 38);
    const QStringList f = sim->RecordFields(2);
    for (int c = 0; c <= 34; ++c)
        EXPECT_EQ(t.Cell(0, c), f[c]) << "column " << c;
    EXPECT_EQ(t.Cell(0, 35), f[36] + " " + f[37]); // GPS
    EXPECT_EQ(t.Cell(0, 36), "\\" + ctx.deviceId + "\\00002.jpg");
    EXPECT_EQ(t.Cell(0, 37), "00002.jpg");

    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg", "00003.jpg"}));
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(readFile(devFolder() + QString::asprintf("/%05d.jpg", n)), sim->Photo(n));
}

TEST_F(DownloadFixture, RangesAskForExactlyTheirRecords) {
    link("127.0.5.1", 9);
    run(PlanDownload("", "5", 9).plan);
    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({1, 2, 3, 4, 5}));
    // Range progress counts the records done so far, after each record's own report.
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3, 4, 5}));
    EXPECT_EQ(collector->events[0].type, kRecordDownloadedEvent);
    EXPECT_EQ(collector->events[1].type, kProgressEvent);

    sim->ClearRequests();
    run(PlanDownload("7", "", 9).plan);
    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({7, 8, 9}));

    sim->ClearRequests();
    run(PlanDownload("6", "4", 9).plan); // start after end: nothing asked, still finished
    EXPECT_TRUE(requestedRecords(*sim).isEmpty());
    EXPECT_EQ(collector->events.size(), 1);
    EXPECT_EQ(rowCount(), 8);
}

TEST_F(DownloadFixture, MissingRecordsFailWithoutTrace) {
    link("127.0.5.2", 2);
    // Single record 0 is sent to the instrument, which has no such record.
    run(PlanSingle("0", 2).plan);
    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({0}));
    ASSERT_EQ(collector->events.size(), 1);
    EXPECT_TRUE(collector->last().failed);
    EXPECT_EQ(collector->last().number, 0u);
    EXPECT_TRUE(collector->last().key.isEmpty()); // L = 2: no text of its own

    // A range past the instrument's end: the missing records fail, the others arrive.
    run(PlanDownload("1", "4", 2).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({3, 4}));
    EXPECT_EQ(rowCount(), 2);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg"}));
}

TEST_F(DownloadFixture, SameRecordThreeTimes) {
    link("127.0.5.3", 7);
    const Plan single = PlanSingle("7", 7).plan;
    run(single);
    EXPECT_FALSE(collector->last().failed);
    ASSERT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({7}));
    EXPECT_TRUE(collector->events[0].stored);

    // Second time: the row is there already, the picture goes under the date-time name.
    run(single);
    EXPECT_FALSE(collector->last().failed);
    ASSERT_EQ(collector->events.size(), 2);
    EXPECT_FALSE(collector->events[0].stored);
    const QStringList f = sim->RecordFields(7);
    const QString alt = "00007_" + QString(f[2]).remove('-') + QString(f[3]).remove(':') + ".jpg";
    EXPECT_EQ(collector->events[0].picture, alt);
    EXPECT_EQ(pictureFiles(), QStringList({"00007.jpg", alt}));
    EXPECT_EQ(readFile(devFolder() + "/" + alt), sim->Photo(7));

    // Third time: that name is taken too.
    run(single);
    EXPECT_TRUE(collector->last().failed);
    EXPECT_EQ(collector->last().key, "TheImgExist");
    EXPECT_EQ(collector->last().keyNumber, 7u);
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(pictureFiles().size(), 2);
}

TEST_F(DownloadFixture, WideRecordNumberNamesThePictureInFull) {
    link("127.0.5.4", 123456, 500);
    run(PlanSingle("123456", 123456).plan);
    EXPECT_FALSE(collector->last().failed);
    EXPECT_EQ(pictureFiles(), QStringList({"123456.jpg"}));
    const SQLite::Table t = db.QuerySQL("SELECT Path, PictureName FROM ValueInfo");
    ASSERT_EQ(t.GetRowCount(), 1);
    EXPECT_EQ(t.Cell(0, 0), "\\" + ctx.deviceId + "\\123456.jpg");
    EXPECT_EQ(t.Cell(0, 1), "123456.jpg");
}

TEST_F(DownloadFixture, FailedInsertWritesNoPicture) {
    link("127.0.5.5", 2);
    // The database refuses every insert, as a full disk or a lock held too long would.
    ASSERT_EQ(db.ExecuteSQL("CREATE TRIGGER refuse BEFORE INSERT ON ValueInfo "
                            "BEGIN SELECT RAISE(ABORT, 'disk full'); END"),
              0);
    run(PlanAll(2).plan);
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(collector->events[1].key, "DownloadRecordFail");
    EXPECT_EQ(collector->events[1].keyNumber, 1u);
    EXPECT_TRUE(pictureFiles().isEmpty());

    // Once the database takes rows again, the same download stores everything.
    ASSERT_EQ(db.ExecuteSQL("DROP TRIGGER refuse"), 0);
    run(PlanAll(2).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(rowCount(), 2);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg"}));
}

TEST_F(DownloadFixture, PictureThatCannotBeSavedKeepsItsRowAndComesLater) {
    link("127.0.5.6", 1);
    // A file where the device folder should be: the folder cannot be made.
    QDir().mkpath(ctx.picRoot);
    {
        QFile blocker(devFolder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    run(PlanSingle("1", 1).plan);
    EXPECT_TRUE(collector->last().failed);
    EXPECT_EQ(collector->last().key, "SaveTheImgFail");
    EXPECT_EQ(rowCount(), 1);

    // The next download finds the row stored and writes the missing picture.
    QFile::remove(devFolder());
    run(PlanSingle("1", 1).plan);
    EXPECT_FALSE(collector->last().failed);
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg"}));
    EXPECT_EQ(readFile(devFolder() + "/00001.jpg"), sim->Photo(1));
}

TEST_F(DownloadFixture, StopEndsBetweenRecordsWithNothingHalfDone) {
    link("127.0.5.7", 400, 1000);
    collector = std::make_unique<Collector>();
    worker = std::make_unique<CDownloadWorker>(collector.get());
    ASSERT_TRUE(worker->Start(PlanAll(400).plan, ctx));
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return collector->numbers(kRecordDownloadedEvent).size() >= 3; }, 30000));
    worker->Stop();
    EXPECT_FALSE(worker->IsRunning());
    ASSERT_TRUE(brtxtest::waitFor([&] { return collector->finished; }, 2000));
    EXPECT_TRUE(collector->last().stopped);
    const int rows = rowCount();
    EXPECT_LT(rows, 400);
    // Every stored row has its whole picture, and no other file is left in the folder.
    EXPECT_EQ(pictureFiles().size(), rows);
    for (const QString& name : pictureFiles())
        EXPECT_EQ(readFile(devFolder() + "/" + name), sim->Photo(name.left(5).toInt()));
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");
}

// A fault in the reply of record 2 of 4 costs that record only; a second download fills it in.
class DownloadFaultTest : public DownloadFixture,
                          public ::testing::WithParamInterface<brtxsim::FaultKind> {};

TEST_P(DownloadFaultTest, FaultyReplyFailsOnlyItsRecord) {
    const int index = int(GetParam());
    link(QString("127.0.5.%1").arg(100 + index), 4, 4000);
    brtxsim::Fault fault;
    fault.kind = GetParam();
    fault.command = brtxsim::SimCommand::ReadRecord;
    fault.record = 2;
    fault.times = 1;
    sim->AddFault(fault);

    run(PlanAll(4).plan);
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({2}));
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 3, 4}));
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3, 4}));
    EXPECT_EQ(rowCount(), 3);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00003.jpg", "00004.jpg"}));
    for (int n : {1, 3, 4})
        EXPECT_EQ(readFile(devFolder() + QString::asprintf("/%05d.jpg", n)), sim->Photo(n));

    run(PlanSingle("2", 4).plan);
    EXPECT_FALSE(collector->last().failed);
    EXPECT_EQ(rowCount(), 4);
    EXPECT_EQ(readFile(devFolder() + "/00002.jpg"), sim->Photo(2));
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFaultTest,
    ::testing::Values(brtxsim::FaultKind::CloseMidReply, brtxsim::FaultKind::Truncate,
                      brtxsim::FaultKind::WrongControl, brtxsim::FaultKind::WrongIdentifier,
                      brtxsim::FaultKind::PauseMidReply, brtxsim::FaultKind::NoReply,
                      brtxsim::FaultKind::OversizedW, brtxsim::FaultKind::SmallW,
                      brtxsim::FaultKind::OversizedL));
