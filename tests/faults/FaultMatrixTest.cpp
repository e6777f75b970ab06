// Fault-injection matrix: every kind of broken reply at the first, a middle and the last record
// of a download, end to end through brtx-cli (a child process) and through the device page.
// After each run the program has responded, each failed record was reported, the database is
// sound, no row holds a cut or shifted value, no picture is partial, and a second download
// completes the set. Addresses 127.0.90.x (one per test, so the tests run in parallel).
#include "faults/FaultSupport.h"

#include "common/StatusWindow.h"

#include "base/Language.h"
#include "device/core/DownloadWorker.h"
#include "device/page/FirstPage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

using brtxsim::FaultKind;

namespace {

constexpr int kRecords = 5;
const QList<int> kFaulted{1, 3, 5}; // first, middle, last

struct FaultCase {
    const char* name;
    FaultKind kind; // FaultKind::None: the raw peer changes the reply instead
    int amount;
    bool fails; // the faulted records fail (else they are stored)
};

// Bytes that are not UTF-8 (a lone continuation byte, an overlong form, 0xFF) in place of
// field 15's text; the field is stored empty and no other value moves.
const QByteArray kNotUtf8("\x80\xC0\xAF\xFF", 4);

const FaultCase kCases[] = {
    {"CloseMidReply", FaultKind::CloseMidReply, -1, true},
    {"StallMidReply", FaultKind::PauseMidReply, 1500, true},
    {"StallBeforeReply", FaultKind::Delay, 1500, true},
    {"WrongControl", FaultKind::WrongControl, -1, true},
    {"WrongIdentifier", FaultKind::WrongIdentifier, -1, true},
    {"TruncatedReply", FaultKind::Truncate, 40, true},
    {"OversizedW", FaultKind::OversizedW, 1, true},
    {"OversizedL", FaultKind::OversizedL, 100, true},
    {"OversizedField", FaultKind::OversizedField, 230, false},
    {"SeveralRecords", FaultKind::ExtraRecords, 2, false},
    {"InvalidUtf8", FaultKind::None, 0, false},
};

// The instrument of one test: the simulator with the case's faults at the faulted records
// (each once), or the raw peer for replies the simulator does not make.
struct Instrument {
    std::unique_ptr<brtxsim::CSimulator> sim;
    std::unique_ptr<faults::RawPeer> peer;
    QString error;

    Instrument(const FaultCase& c, const QString& address) {
        brtxsim::SimConfig config;
        config.address = address;
        config.recordCount = kRecords;
        config.photoBytes = 3000;
        if (c.kind == FaultKind::None) {
            auto once = std::make_shared<QSet<quint32>>();
            peer = std::make_unique<faults::RawPeer>(
                config, [once](const QByteArray& request, const QByteArray& reply) {
                    const quint32 n = faults::recordOf(request);
                    if (!kFaulted.contains(int(n)) || once->contains(n))
                        return reply;
                    once->insert(n);
                    return faults::replaceField(reply, 15, kNotUtf8);
                });
            peer->Start(&error);
            return;
        }
        sim = std::make_unique<brtxsim::CSimulator>(config);
        for (int n : kFaulted) {
            brtxsim::Fault f;
            f.kind = c.kind;
            f.command = brtxsim::SimCommand::ReadRecord;
            f.record = n;
            f.amount = c.amount;
            f.times = 1;
            sim->AddFault(f);
        }
        sim->Start(&error);
    }
    const brtxsim::CSimulator& content() const { return sim ? *sim : peer->Sim(); }
};

// What the rows of the faulted records hold when they are stored with a fault.
std::function<void(int, QStringList&)> expectation(const FaultCase& c) {
    if (c.kind == FaultKind::None)
        return [](int n, QStringList& want) {
            if (kFaulted.contains(n))
                want[15] = QString(); // not UTF-8: stored as empty text
        };
    if (c.kind == FaultKind::OversizedField)
        return [amount = c.amount](int n, QStringList& want) {
            if (kFaulted.contains(n))
                want[15] = QString(amount, 'X'); // longer than usual: stored whole
        };
    return {};
}

QString recordText(const char* key, int n) {
    return Download::StatusText(CLanguage(), QString::fromLatin1(key), n);
}

// The record numbers whose failure brtx-cli printed.
QList<int> failedInOutput(const QStringList& lines) {
    QList<int> out;
    for (int n = 1; n <= kRecords + 5; ++n)
        if (lines.contains(recordText("DownloadRecordFail", n)))
            out.append(n);
    return out;
}

class CliMatrix : public ::testing::TestWithParam<int> {};

TEST_P(CliMatrix, FaultAtFirstMiddleAndLastRecord) {
    const FaultCase& c = kCases[GetParam()];
    brtxtest::TempHome home;
    const QString address = QString("127.0.90.%1").arg(10 + GetParam());
    Instrument instrument(c, address);
    ASSERT_TRUE(instrument.error.isEmpty()) << instrument.error.toStdString();
    const QStringList args{"download", "--wifi", address, "--all"};

    const faults::CliResult first = faults::runCli(home.path(), args, 60000);
    ASSERT_TRUE(first.finished) << first.text().toStdString();
    EXPECT_EQ(first.exitCode, c.fails ? 1 : 0) << first.text().toStdString();
    EXPECT_EQ(failedInOutput(first.lines), c.fails ? kFaulted : QList<int>())
        << first.text().toStdString();
    EXPECT_TRUE(
        first.lines.contains(Download::FinishText(CLanguage(), c.fails ? kFaulted.size() : 0)))
        << first.text().toStdString();

    faults::StoreCheck check =
        faults::checkStore(home.path(), instrument.content(), expectation(c));
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    for (int n = 1; n <= kRecords; ++n)
        EXPECT_EQ(check.rowsPerRecord.value(n), c.fails && kFaulted.contains(n) ? 0 : 1) << n;

    // Nothing is lost: the next download (without faults) completes the set.
    const faults::CliResult second = faults::runCli(home.path(), args, 60000);
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 0) << second.text().toStdString();
    check = faults::checkStore(home.path(), instrument.content(), expectation(c));
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_TRUE(faults::complete(check, 1, kRecords));
    for (int n = 1; n <= kRecords; ++n)
        EXPECT_TRUE(QFile::exists(home.file("pic/" + instrument.content().DeviceNumberText() +
                                            QString::asprintf("/%05d.jpg", n))))
            << n;
}

std::string caseName(const ::testing::TestParamInfo<int>& info) {
    return kCases[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Faults, CliMatrix,
                         ::testing::Range(0, int(sizeof kCases / sizeof kCases[0])), caseName);

// An instrument that stalls longer than the program waits for late bytes answers the next
// request with the stalled reply. That reply is not taken for the next record: a record reported
// as downloaded is always stored, and the next download completes the set.
TEST(CliFaults, StallLongerThanTheDrainNeverReportsAMissingRecordAsDownloaded) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.80";
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = kRecords;
    config.photoBytes = 3000;
    brtxsim::CSimulator sim(config);
    brtxsim::Fault stall;
    stall.kind = FaultKind::Delay;
    stall.command = brtxsim::SimCommand::ReadRecord;
    stall.record = 3;
    stall.amount = 2600;
    stall.times = 1;
    sim.AddFault(stall);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    const QStringList args{"download", "--wifi", address, "--all"};

    const faults::CliResult first = faults::runCli(home.path(), args);
    ASSERT_TRUE(first.finished);
    EXPECT_EQ(first.exitCode, 1);
    const QList<int> failed = failedInOutput(first.lines);
    EXPECT_TRUE(failed.contains(3)) << first.text().toStdString();
    faults::StoreCheck check = faults::checkStore(home.path(), sim);
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    for (int n = 1; n <= kRecords; ++n) {
        if (first.lines.contains(recordText("DownloadRecordOK", n)))
            EXPECT_EQ(check.rowsPerRecord.value(n), 1) << "record " << n << " reported but missing";
        else
            EXPECT_TRUE(failed.contains(n)) << "record " << n << " neither stored nor failed";
    }

    const faults::CliResult second = faults::runCli(home.path(), args);
    EXPECT_EQ(second.exitCode, 0) << second.text().toStdString();
    check = faults::checkStore(home.path(), sim);
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_TRUE(faults::complete(check, 1, kRecords));
}

// Titles longer than a title holds (200 bytes) are kept cut on a character boundary rather than
// refused, so the instrument can still be linked; the other titles stay in their places.
TEST(CliFaults, OversizedAndUndecodableTitlesStillLink) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.81";
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = 2;
    config.photoBytes = 1000;
    QStringList titles = brtxsim::TitlePreset("plain");
    titles[1] = QString(80, QChar(0x4E2D)); // 240 bytes
    config.titles = titles;
    faults::RawPeer peer(config, [](const QByteArray& request, const QByteArray& reply) {
        // Title 3 ("Title3") becomes bytes that are not UTF-8.
        if (request.size() < 13 || quint8(request[11]) != 0x03)
            return reply;
        QByteArray out = reply;
        const int at = out.indexOf("Title3");
        if (at > 0)
            out.replace(at, 6, QByteArray("\xC3\x28\xFF\xFE\x80\x80", 6));
        return out;
    });
    QString error;
    ASSERT_TRUE(peer.Start(&error)) << error.toStdString();

    const faults::CliResult r =
        faults::runCli(home.path(), {"download", "--wifi", address, "--all"});
    EXPECT_EQ(r.exitCode, 0) << r.text().toStdString();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(home.file("brtx.db").toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT title1, title2, title3, title4 FROM TitleInfo", -1,
                                 &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    auto column = [&](int c) {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, c)));
    };
    EXPECT_EQ(column(0), titles[0]);
    EXPECT_EQ(column(1), QString(66, QChar(0x4E2D))); // 198 bytes: no half character
    EXPECT_EQ(column(2), QString());                  // not UTF-8: stored as empty text
    EXPECT_EQ(column(3), titles[3]);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// The same with the simulator program itself (brtx-sim --fault ...): three different faults at
// the first, a middle and the last record.
TEST(CliFaults, AgainstTheSimulatorProgram) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.82";
    QProcess sim;
    sim.start(brtxtest::programDir() + "/brtx-sim",
              {"--address", address, "--records", QString::number(kRecords), "--photo-bytes",
               "2500", "--fault", "close:1:-1:1", "--fault", "pause:3:1500:1", "--fault",
               "ident:5:-1:1"});
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(brtxtest::waitFor([&] { return sim.readAllStandardOutput().contains("listening"); },
                                  10000));
    const QStringList args{"download", "--wifi", address, "--all"};
    const faults::CliResult first = faults::runCli(home.path(), args);
    EXPECT_EQ(first.exitCode, 1) << first.text().toStdString();
    EXPECT_EQ(failedInOutput(first.lines), kFaulted) << first.text().toStdString();
    const faults::CliResult second = faults::runCli(home.path(), args);
    EXPECT_EQ(second.exitCode, 0) << second.text().toStdString();

    brtxsim::SimConfig config; // the same content, to check the rows against
    config.recordCount = kRecords;
    config.photoBytes = 2500;
    const brtxsim::CSimulator content(config);
    const faults::StoreCheck check = faults::checkStore(home.path(), content);
    // The program draws its photographs with its own fonts: compare sizes and signatures here.
    QStringList problems;
    for (const QString& p : check.problems)
        if (!p.contains("is not the whole photograph"))
            problems << p;
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    EXPECT_TRUE(faults::complete(check, 1, kRecords));
    const QString folder = home.file("pic/" + content.DeviceNumberText());
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        QFile f(folder + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        EXPECT_EQ(bytes.size(), 2500) << name.toStdString();
        EXPECT_TRUE(bytes.startsWith("\xFF\xD8")) << name.toStdString();
    }
    sim.terminate();
    EXPECT_TRUE(sim.waitForFinished(5000));
}

// ---- The same through the device page ----

using brtxtest::GetText;
using brtxtest::StatusWindow;

// Sees the worker's reports.
struct EventTap {
    QList<int> failed;
    QList<int> downloaded;
    bool finished = false;
    void take(const Download::Update& u) {
        using T = Download::Update::Type;
        if (u.type == T::RecordFailed)
            failed.append(int(u.number));
        else if (u.type == T::RecordDownloaded)
            downloaded.append(int(u.number));
        else if (u.type == T::Finished)
            finished = true;
    }
};

class PageMatrix : public ::testing::TestWithParam<int> {};

TEST_P(PageMatrix, FaultAtFirstMiddleAndLastRecord) {
    const FaultCase& c = kCases[GetParam()];
    brtxtest::TempHome home;
    StatusWindow window;
    const QString address = QString("127.0.90.%1").arg(40 + GetParam());
    Instrument instrument(c, address);
    ASSERT_TRUE(instrument.error.isEmpty()) << instrument.error.toStdString();

    auto page = std::make_unique<CFirstPage>();
    window.Follow(page.get());
    EventTap tap;
    QObject::connect(page->Exchange().Worker(), &CDeviceWorker::downloadUpdate, page.get(),
                     [&tap](const Download::Update& u) { tap.take(u); });
    qobject_cast<QLineEdit*>(page->Control(CFirstPage::IdAddress))->setText(address);
    qobject_cast<QPushButton*>(page->Control(CFirstPage::IdWifiConnect))->click();
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return window.status().startsWith(GetText("WifiConnectOK")); }, 20000))
        << window.status().toStdString();

    // The window thread keeps serving events during the download: a timer firing every 20 ms
    // records the longest gap between two ticks.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    auto download = [&] {
        tap.failed.clear();
        tap.downloaded.clear();
        tap.finished = false;
        sinceTick.start();
        longestGap = 0;
        ticker.start(20);
        qobject_cast<QPushButton*>(page->Control(CFirstPage::IdDownloadAll))->click();
        const bool ended =
            brtxtest::waitFor([&] { return tap.finished && !page->IsBusy(); }, 60000);
        ticker.stop();
        QCoreApplication::processEvents();
        return ended;
    };

    ASSERT_TRUE(download());
    EXPECT_EQ(tap.failed, c.fails ? kFaulted : QList<int>());
    EXPECT_EQ(window.status(), Download::FinishText(CLanguage(), c.fails ? kFaulted.size() : 0));
    EXPECT_LT(longestGap, 500) << "the window stopped serving events";
    faults::StoreCheck check =
        faults::checkStore(home.path(), instrument.content(), expectation(c));
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();

    ASSERT_TRUE(download());
    EXPECT_TRUE(tap.failed.isEmpty()) << tap.failed.size();
    check = faults::checkStore(home.path(), instrument.content(), expectation(c));
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_TRUE(faults::complete(check, 1, kRecords));
    page.reset();
}

INSTANTIATE_TEST_SUITE_P(Faults, PageMatrix,
                         ::testing::Range(0, int(sizeof kCases / sizeof kCases[0])), caseName);

} // namespace
