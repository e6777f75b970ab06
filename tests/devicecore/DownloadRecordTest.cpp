// Record download against the instrument simulator (127.0.50.x): what is asked
// for, what the worker reports, what ends up in ValueInfo and in the picture folder.
#include "device/core/DownloadRecord.h"
#include "base/Language.h"
#include "device/core/DeviceWorker.h"
#include "device/core/DownloadWorker.h"
#include "device/core/PictureStore.h"

#include "common/TestSupport.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"
#include "store/Schema.h"
#include "store/Seal.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Download;

namespace {

constexpr int kProgressEvent = int(Update::Type::Progress);
constexpr int kRecordDownloadedEvent = int(Update::Type::RecordDownloaded);
constexpr int kRecordFailedEvent = int(Update::Type::RecordFailed);
constexpr int kFinishedEvent = int(Update::Type::Finished);

struct Seen {
    int type = 0;
    quint32 number = 0;
    QString key; // Finished: the reason of the last failed record
    quint32 keyNumber = 0;
    QString picture;
    bool stored = false;
    bool failed = false;  // Finished: some record failed
    bool stopped = false; // Finished: canceled
};

// Collects the worker's reports on the test thread.
class Collector : public QObject {
public:
    QList<Seen> events;
    bool finished = false;

    void take(const Update& u) {
        Seen s{int(u.type), u.number, u.key, u.keyNumber, u.pictureName, u.stored, false, false};
        if (u.type == Update::Type::Finished) {
            s.failed = u.failed > 0;
            s.stopped = u.canceled;
            for (const Seen& e : events)
                if (e.type == kRecordFailedEvent) {
                    s.key = e.key;
                    s.keyNumber = e.keyNumber;
                }
            finished = true;
        }
        events.append(s);
    }
    QList<quint32> numbers(int type) const {
        QList<quint32> out;
        for (const Seen& s : events)
            if (s.type == type)
                out.append(s.number);
        return out;
    }
    const Seen& last() const {
        static const Seen none;
        return events.isEmpty() ? none : events.last();
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

// One simulator on its own loopback address, a session linked to it on the worker thread, a
// fresh program folder with brtx.db, and a collector of the worker's reports.
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
        ASSERT_TRUE(session.OpenDatabase());
        ASSERT_TRUE(session.ConnectWifi(address).ok);
        exchange = std::make_unique<CDeviceExchange>(session);
        QObject::connect(exchange->Worker(), &CDeviceWorker::downloadUpdate,
                         [this](const Update& u) {
                             if (collector)
                                 collector->take(u);
                         });
        ctx.db = &session.Database();
        ctx.client = &session.Client();
        ctx.deviceId = session.DeviceNumber();
        ctx.picRoot = home.file("pic");
        ASSERT_EQ(ctx.deviceId, sim->DeviceNumberText());
    }

    QString devFolder() const { return ctx.picRoot + "/" + ctx.deviceId; }

    void start(const Plan& plan) {
        collector = std::make_unique<Collector>();
        ASSERT_TRUE(exchange->Download(plan, ctx.picRoot));
    }
    // Runs a plan to its Finished report.
    void run(const Plan& plan, int timeoutMs = 60000) {
        ASSERT_NO_FATAL_FAILURE(start(plan));
        ASSERT_TRUE(brtxtest::waitFor([&] { return !exchange->IsBusy(); }, timeoutMs));
        EXPECT_TRUE(collector->finished);
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
    CDeviceSession session;
    SQLite::Database& db = session.Database();
    std::unique_ptr<CDeviceExchange> exchange;
    Context ctx;
    std::unique_ptr<Collector> collector;
};

} // namespace

TEST_F(DownloadFixture, AllDownloadStoresEveryRecordAndPicture) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.0", 3));
    run(PlanAll(3).plan);

    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2, 3}));
    EXPECT_TRUE(collector->numbers(kRecordFailedEvent).isEmpty());
    // Progress comes after the record's own report.
    ASSERT_EQ(collector->events.size(), 7);
    EXPECT_EQ(collector->events.value(0).type, kRecordDownloadedEvent);
    EXPECT_EQ(collector->events.value(1).type, kProgressEvent);
    EXPECT_EQ(collector->events.value(0).picture, "00001.jpg");
    EXPECT_TRUE(collector->events.value(0).stored);
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
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.1", 9));
    run(PlanDownload("", "5", 9).plan);
    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({1, 2, 3, 4, 5}));
    // Range progress counts the records done so far, after each record's own report.
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3, 4, 5}));
    EXPECT_EQ(collector->events.value(0).type, kRecordDownloadedEvent);
    EXPECT_EQ(collector->events.value(1).type, kProgressEvent);

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
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.2", 2));
    // Single record 0 is sent to the instrument, which has no such record.
    run(PlanSingle("0", 2).plan);
    EXPECT_EQ(requestedRecords(*sim), QList<quint32>({0}));
    ASSERT_EQ(collector->events.size(), 2);
    EXPECT_TRUE(collector->last().failed);
    EXPECT_EQ(collector->events.value(0).number, 0u);
    EXPECT_EQ(collector->last().key, "RecordNotOnDevice"); // L = 2

    // A range past the instrument's end: the missing records fail, the others arrive.
    run(PlanDownload("1", "4", 2).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({3, 4}));
    EXPECT_EQ(rowCount(), 2);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg"}));
}

TEST_F(DownloadFixture, SameRecordThreeTimes) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.3", 7));
    const Plan single = PlanSingle("7", 7).plan;
    run(single);
    EXPECT_FALSE(collector->last().failed);
    ASSERT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({7}));
    EXPECT_TRUE(collector->events.value(0).stored);

    // Second time: the row is there already, the picture goes under the date-time name.
    run(single);
    EXPECT_FALSE(collector->last().failed);
    ASSERT_EQ(collector->events.size(), 2);
    EXPECT_FALSE(collector->events.value(0).stored);
    const QStringList f = sim->RecordFields(7);
    const QString alt = "00007_" + QString(f[2]).remove('-') + QString(f[3]).remove(':') + ".jpg";
    EXPECT_EQ(collector->events.value(0).picture, alt);
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
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.4", 123456, 500));
    run(PlanSingle("123456", 123456).plan);
    EXPECT_FALSE(collector->last().failed);
    EXPECT_EQ(pictureFiles(), QStringList({"123456.jpg"}));
    const SQLite::Table t = db.QuerySQL("SELECT Path, PictureName FROM ValueInfo");
    ASSERT_EQ(t.GetRowCount(), 1);
    EXPECT_EQ(t.Cell(0, 0), "\\" + ctx.deviceId + "\\123456.jpg");
    EXPECT_EQ(t.Cell(0, 1), "123456.jpg");
}

TEST_F(DownloadFixture, FailedInsertWritesNoPicture) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.5", 2));
    // The database refuses every insert, as a full disk or a lock held too long would.
    ASSERT_EQ(db.ExecuteSQL("CREATE TRIGGER refuse BEFORE INSERT ON ValueInfo "
                            "BEGIN SELECT RAISE(ABORT, 'disk full'); END"),
              0);
    run(PlanAll(2).plan);
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(collector->events.value(0).key, "DownloadRecordFail");
    EXPECT_EQ(collector->events.value(0).keyNumber, 1u);
    EXPECT_TRUE(pictureFiles().isEmpty());

    // Once the database takes rows again, the same download stores everything.
    ASSERT_EQ(db.ExecuteSQL("DROP TRIGGER refuse"), 0);
    run(PlanAll(2).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2}));
    EXPECT_EQ(rowCount(), 2);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg"}));
}

TEST_F(DownloadFixture, PictureThatCannotBeSavedStoresNothingAndComesLater) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.6", 1));
    // A file where the device folder should be: the folder cannot be made.
    QDir().mkpath(ctx.picRoot);
    {
        QFile blocker(devFolder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    run(PlanSingle("1", 1).plan);
    EXPECT_TRUE(collector->last().failed);
    EXPECT_EQ(collector->last().key, "SaveTheImgFail");
    EXPECT_EQ(rowCount(), 0); // stored whole with its picture or not at all

    // The next download stores the record and its picture.
    QFile::remove(devFolder());
    run(PlanSingle("1", 1).plan);
    EXPECT_FALSE(collector->last().failed);
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg"}));
    EXPECT_EQ(readFile(devFolder() + "/00001.jpg"), sim->Photo(1));
}

TEST_F(DownloadFixture, StopEndsBetweenRecordsWithNothingHalfDone) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.7", 3000, 1000));
    ASSERT_NO_FATAL_FAILURE(start(PlanAll(3000).plan));
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return collector->numbers(kRecordDownloadedEvent).size() >= 3; }, 30000));
    EXPECT_TRUE(exchange->Cancel());
    EXPECT_TRUE(exchange->Cancel()); // a second press is harmless
    ASSERT_TRUE(brtxtest::waitFor([&] { return !exchange->IsBusy(); }, 1000));
    EXPECT_FALSE(exchange->Cancel()); // nothing runs any more
    ASSERT_TRUE(collector->finished);
    EXPECT_TRUE(collector->last().stopped);
    EXPECT_EQ(
        UpdateTexts(
            CLanguage(),
            Update{Update::Type::Finished, 0, {}, 0, {}, false, Kind::All, true, 37, 0, 2, {}, {}}),
        QStringList({"Download canceled: 37 downloaded, 2 failed"}));
    const int rows = rowCount();
    EXPECT_LT(rows, 3000);
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
    ASSERT_NO_FATAL_FAILURE(link(QString("127.0.50.%1").arg(100 + index), 4, 4000));
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

std::string faultName(const ::testing::TestParamInfo<brtxsim::FaultKind>& info) {
    static const char* const names[] = {"None",          "Delay",        "PauseMidReply",
                                        "CloseMidReply", "WrongControl", "WrongIdentifier",
                                        "WrongCheck",    "Truncate",     "NoReply",
                                        "OversizedW",    "SmallW",       "OversizedL"};
    const int i = int(info.param);
    return i >= 0 && i < 12 ? names[i] : "Other";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFaultTest,
    ::testing::Values(brtxsim::FaultKind::CloseMidReply, brtxsim::FaultKind::Truncate,
                      brtxsim::FaultKind::WrongControl, brtxsim::FaultKind::WrongIdentifier,
                      brtxsim::FaultKind::PauseMidReply, brtxsim::FaultKind::NoReply,
                      brtxsim::FaultKind::OversizedW, brtxsim::FaultKind::SmallW,
                      brtxsim::FaultKind::OversizedL),
    faultName);

namespace {

// A stand-in instrument that answers each ReadRecord request with a reply built by the test,
// for contents the simulator does not make (long device numbers, hostile texts).
class CraftedPeer {
public:
    using Builder = std::function<QByteArray(quint32 record)>;

    CraftedPeer(const QString& address, Builder builder) : m_builder(std::move(builder)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(7575);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &addr.sin_addr);
        m_ok = ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
               ::listen(m_listen, 1) == 0;
        if (m_ok)
            m_thread = std::thread([this] { serve(); });
    }
    ~CraftedPeer() {
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_client >= 0)
            ::shutdown(m_client, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    bool ok() const { return m_ok; }

    // A record reply: picture, then the text block of the given records (each a list of field
    // texts), then w, as the instrument lays it out.
    static QByteArray recordReply(quint32 n, const QByteArray& picture,
                                  const QList<QList<QByteArray>>& records) {
        QByteArray text;
        for (const QList<QByteArray>& fields : records) {
            text.append(char(fields.size()));
            for (const QByteArray& f : fields) {
                text.append(char(f.size()));
                text.append(f);
                text.append('\0');
            }
        }
        const quint32 w = quint32(text.size());
        const quint32 L = 8 + quint32(picture.size()) + w;
        QByteArray out = QByteArray::fromHex("68000123456789688100000000021000000000");
        out.truncate(18);
        for (int i = 0; i < 4; ++i)
            out[9 + i] = char((L >> (8 * i)) & 0xFF);
        for (int i = 0; i < 3; ++i)
            out[15 + i] = char((n >> (8 * i)) & 0xFF);
        out.append(picture);
        out.append(text);
        out.append(char(w & 0xFF));
        out.append(char((w >> 8) & 0xFF));
        quint8 sum = 0;
        for (char c : out)
            sum = quint8(sum + quint8(c));
        out.append(char(sum));
        out.append(char(0x16));
        return out;
    }

private:
    void serve() {
        m_client = ::accept(m_listen, nullptr, nullptr);
        if (m_client < 0)
            return;
        char req[18];
        for (;;) {
            int got = 0;
            while (got < 18) {
                const ssize_t n = ::recv(m_client, req + got, size_t(18 - got), 0);
                if (n <= 0)
                    return;
                got += int(n);
            }
            const quint32 record =
                quint8(req[13]) | (quint8(req[14]) << 8) | (quint8(req[15]) << 16);
            const QByteArray reply = m_builder(record);
            if (::send(m_client, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL) < 0)
                return;
        }
    }

    Builder m_builder;
    int m_listen = -1;
    int m_client = -1;
    bool m_ok = false;
    std::thread m_thread;
};

QList<QByteArray> fortyFields(quint32 n) {
    QList<QByteArray> f;
    for (int i = 0; i < 40; ++i)
        f.append(QByteArray("v") + QByteArray::number(i));
    f[0] = "00123456789";
    f[1] = QByteArray::number(n);
    f[2] = "2024-05-06";
    f[3] = "07:08:09";
    return f;
}

} // namespace

TEST_F(DownloadFixture, ValuesAreStoredExactlyAndPicturesStayInTheDeviceFolder) {
    const QString address = "127.0.50.20";
    QList<QByteArray> hostile = fortyFields(1);
    hostile[0] = "ABC123456789012"; // 15 characters: the last 12 are kept
    hostile[4] = "'); DROP TABLE ValueInfo;--";
    hostile[5] = "O'Brien";
    hostile[15] = "<script>alert(1)</script>";
    hostile[16] = "中文字段";
    hostile[17] = QByteArray(255, 'x'); // the most a length byte allows: kept whole
    hostile[36] = "22.5";
    hostile[37] = "114.1";
    QList<QByteArray> escaping = fortyFields(2);
    escaping[0] = "123456789012";
    escaping[2] = "../../../evil";
    escaping[3] = "a/b\\c";
    const QByteArray picture("\xFF\xD8 picture \xFF\xD9", 13);
    CraftedPeer peer(address, [&](quint32 n) {
        return CraftedPeer::recordReply(n, picture, {n == 1 ? hostile : escaping});
    });
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(session.Client().ConnectTo(address));
    ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    ctx.db = &db;
    ctx.client = &session.Client();
    ctx.deviceId = "123456789012"; // the last 12 characters of the hostile field 0
    ctx.picRoot = home.file("pic");

    RecordResult r1 = DownloadRecord(ctx, 1);
    ASSERT_TRUE(r1.ok);
    const SQLite::Table t = db.QuerySQL("SELECT * FROM ValueInfo");
    ASSERT_EQ(t.GetRowCount(), 1);
    EXPECT_EQ(t.Cell(0, 0), "123456789012");
    EXPECT_EQ(t.Cell(0, 4), "'); DROP TABLE ValueInfo;--");
    EXPECT_EQ(t.Cell(0, 5), "O'Brien");
    EXPECT_EQ(t.Cell(0, 15), "<script>alert(1)</script>");
    EXPECT_EQ(t.Cell(0, 16), QString::fromUtf8("中文字段"));
    EXPECT_EQ(t.Cell(0, 17), QString(255, 'x'));
    EXPECT_EQ(t.Cell(0, 35), "22.5 114.1");
    EXPECT_EQ(readFile(devFolder() + "/00001.jpg"), picture);

    // The plain name is taken, so record 2's picture is named after its date and time, which
    // are hostile here: the name stays one file inside the device folder.
    {
        QFile plain(devFolder() + "/00002.jpg");
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    }
    RecordResult r2 = DownloadRecord(ctx, 2);
    ASSERT_TRUE(r2.ok);
    EXPECT_EQ(r2.pictureName, "00002_.._.._.._evila_b_c.jpg");
    EXPECT_EQ(readFile(devFolder() + "/" + r2.pictureName), picture);
    // Every file written lies in the device folder (besides the database, the desk key and
    // Language.ini).
    QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString name = QFileInfo(file).fileName();
        EXPECT_TRUE(file.startsWith(devFolder() + "/") || name == "Language.ini" ||
                    name.startsWith("brtx.db") || name == "desk.key")
            << file.toStdString();
    }
    EXPECT_EQ(QDir(ctx.picRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({ctx.deviceId}));
    const SQLite::Table paths = db.QuerySQL("SELECT Path FROM ValueInfo WHERE Record_No = '2'");
    ASSERT_EQ(paths.GetRowCount(), 1);
    EXPECT_EQ(paths.Cell(0, 0), "\\123456789012\\00002_.._.._.._evila_b_c.jpg");
}

TEST_F(DownloadFixture, SeveralRecordsInOneReplyAreAllStored) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.50.21", 6));
    // An older file with record 3's plain name: never taken for record 3's picture.
    ASSERT_TRUE(QDir().mkpath(devFolder()));
    {
        QFile stale(devFolder() + "/00003.jpg");
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("older picture");
    }
    brtxsim::Fault fault;
    fault.kind = brtxsim::FaultKind::ExtraRecords;
    fault.command = brtxsim::SimCommand::ReadRecord;
    fault.record = 1;
    fault.amount = 2;
    fault.times = 1;
    sim->AddFault(fault);
    run(PlanSingle("1", 6).plan);
    EXPECT_FALSE(collector->last().failed);
    // Records 1, 2 and 3 came in one reply; the picture takes the last record's name rule.
    // Records 2 and 3 wait for their pictures without a seal; record 3 names the picture its
    // own download will write beside the older file.
    EXPECT_EQ(rowCount(), 3);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00003.jpg"}));
    EXPECT_EQ(db.QuerySQL("SELECT Record_No FROM RecordSeal").m_rows,
              QVector<QStringList>({{"1"}}));
    const QString alternative = "00003_20240103080151.jpg";
    EXPECT_EQ(db.QuerySQL("SELECT Path FROM ValueInfo WHERE Record_No='3'").Cell(0, 0),
              "\\" + ctx.deviceId + "\\" + alternative);

    // Records 2 and 3 are stored already: their download skips the rows, writes the pictures
    // and seals the rows with them.
    run(PlanDownload("2", "3", 6).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({2, 3}));
    EXPECT_FALSE(collector->events.value(0).stored);
    EXPECT_EQ(rowCount(), 3);
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg", "00003.jpg", alternative}));
    EXPECT_EQ(readFile(devFolder() + "/" + alternative), sim->Photo(3));
    Seal::VerifyOptions options;
    options.picRoot = ctx.picRoot;
    const Seal::VerifyResult verified = Seal::Verify(db, options);
    EXPECT_TRUE(verified.findings.isEmpty()) << verified.findings.size();
    EXPECT_EQ(verified.verified, 3);
    EXPECT_EQ(verified.pictureBytes,
              sim->Photo(1).size() + sim->Photo(2).size() + sim->Photo(3).size());
}

// Records stored several to a transaction (as a station stores them) end exactly as records
// stored one by one: a faulty reply costs its record only, the reports keep the plan's order,
// every picture is whole and sealed, no temporary file stays; a reply carrying later records
// names their pictures as their own replies then write them.
class BatchFaultTest : public DownloadFixture,
                       public ::testing::WithParamInterface<brtxsim::FaultKind> {};

TEST_P(BatchFaultTest, BatchedDownloadEndsAsOneByOne) {
    const int index = int(GetParam());
    ASSERT_NO_FATAL_FAILURE(link(QString("127.0.51.%1").arg(100 + index), 7, 4000));
    exchange->Worker()->SetBatchRecords(3);
    ASSERT_TRUE(QDir().mkpath(devFolder()));
    {
        QFile stale(devFolder() + "/00003.jpg"); // never taken for record 3's picture
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("older picture");
    }
    brtxsim::Fault carry; // record 1's reply carries records 2 and 3
    carry.kind = brtxsim::FaultKind::ExtraRecords;
    carry.command = brtxsim::SimCommand::ReadRecord;
    carry.record = 1;
    carry.amount = 2;
    carry.times = 1;
    sim->AddFault(carry);
    brtxsim::Fault fault;
    fault.kind = GetParam();
    fault.command = brtxsim::SimCommand::ReadRecord;
    fault.record = 5;
    fault.times = 1;
    if (fault.kind != brtxsim::FaultKind::None)
        sim->AddFault(fault);

    run(PlanAll(7).plan);
    const bool faulty = fault.kind != brtxsim::FaultKind::None;
    EXPECT_EQ(collector->numbers(kRecordFailedEvent),
              faulty ? QList<quint32>({5}) : QList<quint32>());
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent),
              faulty ? QList<quint32>({1, 2, 3, 4, 6, 7}) : QList<quint32>({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(collector->numbers(kProgressEvent), QList<quint32>({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(rowCount(), faulty ? 6 : 7);
    const QString alternative = "00003_20240103080151.jpg";
    EXPECT_EQ(db.QuerySQL("SELECT Path FROM ValueInfo WHERE Record_No='3'").Cell(0, 0),
              "\\" + ctx.deviceId + "\\" + alternative);
    EXPECT_EQ(readFile(devFolder() + "/" + alternative), sim->Photo(3));
    for (int n : {1, 2, 4, 6, 7})
        EXPECT_EQ(readFile(devFolder() + QString::asprintf("/%05d.jpg", n)), sim->Photo(n)) << n;
    EXPECT_EQ(pictureFiles().filter(".part"), QStringList());
    EXPECT_EQ(pictureFiles().size(), faulty ? 7 : 8); // with the older file

    run(PlanNew(session.NewRecordNumbers(), 7).plan); // what is missing comes next time
    EXPECT_EQ(rowCount(), 7);
    Seal::VerifyOptions options;
    options.picRoot = ctx.picRoot;
    const Seal::VerifyResult verified = Seal::Verify(db, options);
    EXPECT_TRUE(verified.findings.isEmpty()) << verified.findings.size();
    EXPECT_EQ(verified.verified, 7);
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");
}

INSTANTIATE_TEST_SUITE_P(Faults, BatchFaultTest,
                         ::testing::Values(brtxsim::FaultKind::None,
                                           brtxsim::FaultKind::CloseMidReply,
                                           brtxsim::FaultKind::WrongControl,
                                           brtxsim::FaultKind::NoReply),
                         faultName);

// A batch that cannot be stored (another connection holds the write lock past the busy
// time-out) fails every record of it and leaves no picture and no temporary file; the next
// download fetches them all.
TEST_F(DownloadFixture, FailingBatchLeavesNoPartialRecord) {
    ASSERT_NO_FATAL_FAILURE(link("127.0.51.20", 4));
    exchange->Worker()->SetBatchRecords(8);
    SQLite::Database other;
    ASSERT_EQ(other.Open(home.file("brtx.db")), 0);
    ASSERT_EQ(other.ExecuteSQL("BEGIN IMMEDIATE"), 0);
    run(PlanAll(4).plan, 120000);
    other.ExecuteSQL("ROLLBACK");
    EXPECT_EQ(collector->numbers(kRecordFailedEvent), QList<quint32>({1, 2, 3, 4}));
    EXPECT_EQ(rowCount(), 0);
    EXPECT_EQ(pictureFiles(), QStringList());

    run(PlanNew(session.NewRecordNumbers(), 4).plan);
    EXPECT_EQ(collector->numbers(kRecordDownloadedEvent), QList<quint32>({1, 2, 3, 4}));
    EXPECT_EQ(pictureFiles(), QStringList({"00001.jpg", "00002.jpg", "00003.jpg", "00004.jpg"}));
}
