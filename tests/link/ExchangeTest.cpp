// Exchanges against the in-process simulator: every command, the request bytes it saw, every
// rejection rule with injected faults, reply completion timing and StrictTiming=1.
// Each test runs the simulator on its own 127.0.3.x address.
#include "base/Language.h"
#include "common/TestSupport.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "sim/lib/Simulator.h"

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace DeviceFrame;
using brtxsim::Fault;
using brtxsim::FaultKind;
using brtxsim::SimCommand;

namespace {

class Linked {
public:
    explicit Linked(const char* address, int records = 5, int photoBytes = 6000) {
        brtxsim::SimConfig cfg;
        cfg.address = address;
        cfg.recordCount = records;
        cfg.photoBytes = photoBytes;
        sim = std::make_unique<brtxsim::CSimulator>(cfg);
        started = sim->Start(&error);
        if (started)
            client.ConnectTo(address);
    }
    Reply Record(uint32_t n) { return Exchange(client, Command::ReadRecord, BuildReadRecord(n)); }

    brtxtest::TempHome home;
    std::unique_ptr<brtxsim::CSimulator> sim;
    CTCPClient client;
    bool started = false;
    QString error;
};

Fault MakeFault(FaultKind kind, int record = 0, int amount = -1, int times = -1) {
    Fault f;
    f.kind = kind;
    f.record = record;
    f.amount = amount;
    f.times = times;
    f.command = record ? SimCommand::ReadRecord : SimCommand::Any;
    return f;
}

class ExchangeTest : public ::testing::Test {
protected:
};

} // namespace

TEST_F(ExchangeTest, EveryCommandAgainstTheSimulator) {
    Linked l("127.0.3.11", 3, 6000);
    ASSERT_TRUE(l.started) << l.error.toStdString();
    ASSERT_TRUE(l.client.IsConnected());
    QElapsedTimer t;
    t.start();

    Reply r = Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.received, r.bytes.size());
    DeviceInfo info;
    ASSERT_TRUE(ParseDeviceInfo(r.bytes, r.received, info));
    EXPECT_EQ(info.totalRecords, 3u);
    EXPECT_EQ(info.deviceNumber, "0123456789");
    EXPECT_EQ(info.deviceNumber, l.sim->DeviceNumberText());

    r = Exchange(l.client, Command::ReadTitleInfo, BuildReadTitleInfo());
    ASSERT_TRUE(r.ok());
    TitleGroup titles;
    ASSERT_TRUE(ParseTitleInfo(r.bytes, r.received, titles));
    EXPECT_EQ(titles.groupIndex, 1);
    EXPECT_EQ(titles.titles, l.sim->Titles());

    for (uint32_t n = 1; n <= 3; ++n) {
        r = l.Record(n);
        ASSERT_TRUE(r.ok()) << n;
        RecordReply rec;
        ASSERT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Ok);
        EXPECT_EQ(rec.recordNo, n);
        EXPECT_EQ(rec.picture, l.sim->Photo(int(n)));
        EXPECT_EQ(rec.pictureLength, 6000);
        ASSERT_EQ(rec.records.size(), 1);
        EXPECT_EQ(rec.records[0].fields, l.sim->RecordFields(int(n)));
        EXPECT_EQ(rec.records[0].fields[0], info.deviceNumber);
    }
    r = l.Record(4); // beyond the total
    ASSERT_TRUE(r.ok());
    RecordReply none;
    EXPECT_EQ(ParseRecordReply(r.bytes, r.received, none), RecordStatus::NoRecord);

    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9));
    r = Exchange(l.client, Command::SetClock, BuildSetClock(when));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(l.sim->ClockText(), "2024-03-05 07-08-09");

    r = Exchange(l.client, Command::SetDeviceNumber, BuildSetDeviceNumber("123456789012"));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(DeviceNumberFromBcd(ReplyAddress(r.bytes, r.received)), "123456789012");
    EXPECT_EQ(l.sim->DeviceNumber(), "123456789012");

    r = Exchange(l.client, Command::DeleteDeviceFiles, BuildDeleteDeviceFiles());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(l.sim->RecordCount(), 0);

    // Nine exchanges, none of them waiting for a second of silence.
    EXPECT_LT(t.elapsed(), 1500);

    // The simulator saw exactly the requests built.
    const QStringList log = l.sim->RequestLog();
    ASSERT_EQ(log.size(), 9);
    EXPECT_EQ(log[0], "68 13 13 13 13 13 13 68 01 02 00 00 FF 00 16");
    EXPECT_EQ(log[1], "68 13 13 13 13 13 13 68 01 02 00 03 FF 00 16");
    EXPECT_EQ(log[2], "68 13 13 13 13 13 13 68 01 04 00 02 10 01 00 00 00 16");
    EXPECT_EQ(log[6], ToHex(BuildSetClock(when)));
    EXPECT_EQ(log[7], "68 12 00 12 00 12 00 68 04 08 00 02 BB 12 34 56 78 90 12 00 16");
    EXPECT_EQ(log[8], "68 13 13 13 13 13 13 68 04 02 00 06 AA 00 16");
}

TEST_F(ExchangeTest, AcceptanceFaults) {
    Linked l("127.0.3.12");
    ASSERT_TRUE(l.started) << l.error.toStdString();
    auto once = [&](FaultKind k, SimCommand c) {
        Fault f = MakeFault(k, 0, -1, 1);
        f.command = c;
        l.sim->AddFault(f);
    };
    once(FaultKind::WrongIdentifier, SimCommand::SetClock);
    EXPECT_EQ(Exchange(l.client, Command::SetClock, BuildSetClock()).status,
              ExchangeStatus::Rejected);
    once(FaultKind::WrongControl, SimCommand::ReadDeviceInfo);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo()).status,
              ExchangeStatus::Rejected);
    EXPECT_GE(t.elapsed(), 900); // an unknown control byte falls back to the silence rule
    // A length beyond the reply buffer cannot be trusted either: silence rule again.
    Fault bigL = MakeFault(FaultKind::OversizedL, 0, 100000, 1);
    bigL.command = SimCommand::ReadDeviceInfo;
    l.sim->AddFault(bigL);
    t.restart();
    EXPECT_TRUE(Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo()).ok());
    EXPECT_GE(t.elapsed(), 900);
    // A wrong check byte is accepted.
    once(FaultKind::WrongCheck, SimCommand::ReadDeviceInfo);
    EXPECT_TRUE(Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo()).ok());
    // No reply at all: NoReply after the silence, connection kept.
    once(FaultKind::NoReply, SimCommand::DeleteDeviceFiles);
    EXPECT_EQ(Exchange(l.client, Command::DeleteDeviceFiles, BuildDeleteDeviceFiles()).status,
              ExchangeStatus::NoReply);
    EXPECT_TRUE(l.client.IsConnected());
    EXPECT_EQ(l.sim->RecordCount(), 5);
    // Close in the middle of a reply: failure, connection marked closed, next one not sent.
    l.sim->AddFault(MakeFault(FaultKind::CloseMidReply, 2));
    EXPECT_EQ(l.Record(2).status, ExchangeStatus::NoReply);
    EXPECT_FALSE(l.client.IsConnected());
    EXPECT_EQ(l.Record(1).status, ExchangeStatus::NotConnected);
}

TEST_F(ExchangeTest, RecordRejectionsWithSimulatorFaults) {
    Linked l("127.0.3.13", 12);
    ASSERT_TRUE(l.started) << l.error.toStdString();
    l.sim->AddFault(MakeFault(FaultKind::OversizedW, 2));
    l.sim->AddFault(MakeFault(FaultKind::SmallW, 3));
    l.sim->AddFault(MakeFault(FaultKind::Truncate, 4, 40));
    l.sim->AddFault(MakeFault(FaultKind::OversizedL, 5, 100));
    l.sim->AddFault(MakeFault(FaultKind::ExtraRecords, 6, 2));
    l.sim->AddFault(MakeFault(FaultKind::OversizedField, 7, 250));
    l.sim->AddFault(MakeFault(FaultKind::Truncate, 8)); // only the head and record number
    l.sim->AddFault(MakeFault(FaultKind::OversizedW, 9, 20000));

    RecordReply rec;
    auto status = [&](uint32_t n) {
        const Reply r = l.Record(n);
        EXPECT_TRUE(r.ok()) << n; // control and identifier are fine in all of them
        return ParseRecordReply(r.bytes, r.received, rec);
    };
    EXPECT_EQ(status(1), RecordStatus::Ok);
    EXPECT_EQ(status(2), RecordStatus::Invalid); // w = L - 7
    EXPECT_EQ(status(3), RecordStatus::Invalid); // w = 9
    EXPECT_EQ(status(4), RecordStatus::Invalid); // 12 + L beyond the bytes received
    EXPECT_EQ(status(5), RecordStatus::Invalid); // L larger than what was sent
    ASSERT_EQ(status(6), RecordStatus::Ok);
    ASSERT_EQ(rec.records.size(), 3);
    EXPECT_EQ(rec.records[1].fields, l.sim->RecordFields(7));
    EXPECT_EQ(rec.records[2].fields[1], "8");
    ASSERT_EQ(status(7), RecordStatus::Ok);
    EXPECT_EQ(rec.records[0].fields[15], QString(250, 'X'));
    EXPECT_EQ(rec.records[0].fields[16], l.sim->RecordFields(7)[16]); // parsing stays aligned
    EXPECT_EQ(status(8), RecordStatus::Invalid);
    EXPECT_EQ(status(9), RecordStatus::Invalid);
    EXPECT_EQ(status(10), RecordStatus::Ok); // the link is still in step afterwards
    EXPECT_EQ(rec.recordNo, 10u);
}

TEST_F(ExchangeTest, TitleFaults) {
    Linked l("127.0.3.14");
    ASSERT_TRUE(l.started) << l.error.toStdString();
    Fault big = MakeFault(FaultKind::OversizedTitle, 0, 240, 1);
    big.command = SimCommand::ReadTitleInfo;
    l.sim->AddFault(big);
    Reply r = Exchange(l.client, Command::ReadTitleInfo, BuildReadTitleInfo());
    ASSERT_TRUE(r.ok());
    TitleGroup g;
    ASSERT_TRUE(ParseTitleInfo(r.bytes, r.received, g));
    EXPECT_EQ(g.titles[0], QString(200, 'T'));
    EXPECT_EQ(g.titles[1], l.sim->Titles()[1]);
    // A reply cut inside the titles keeps the complete ones; the rest are blank.
    Fault cut = MakeFault(FaultKind::Truncate, 0, 60, 1);
    cut.command = SimCommand::ReadTitleInfo;
    l.sim->AddFault(cut);
    r = Exchange(l.client, Command::ReadTitleInfo, BuildReadTitleInfo());
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(ParseTitleInfo(r.bytes, r.received, g));
    EXPECT_EQ(g.titles.size(), 20);
    EXPECT_EQ(g.titles[0], l.sim->Titles()[0]);
    EXPECT_TRUE(g.titles[19].isEmpty());
    // Chinese titles survive.
    l.sim->SetTitles(brtxsim::TitlePreset("chinese"));
    r = Exchange(l.client, Command::ReadTitleInfo, BuildReadTitleInfo());
    ASSERT_TRUE(ParseTitleInfo(r.bytes, r.received, g));
    EXPECT_EQ(g.titles[0], QString::fromUtf8("姓名"));
}

TEST_F(ExchangeTest, ReplyCompletionTiming) {
    Linked l("127.0.3.15", 40, 60000);
    ASSERT_TRUE(l.started) << l.error.toStdString();
    // Complete replies return without the 1-second wait.
    QElapsedTimer t;
    t.start();
    for (uint32_t n = 1; n <= 20; ++n) {
        const Reply r = l.Record(n);
        RecordReply rec;
        ASSERT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Ok) << n;
        ASSERT_EQ(rec.picture.size(), 60000);
    }
    EXPECT_LT(t.elapsed(), 1500) << "20 records";

    // A reply split by a pause shorter than a second still arrives whole.
    l.sim->AddFault(MakeFault(FaultKind::PauseMidReply, 21, 600));
    t.restart();
    Reply r = l.Record(21);
    RecordReply rec;
    ASSERT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Ok);
    EXPECT_EQ(rec.picture, l.sim->Photo(21));
    EXPECT_GE(t.elapsed(), 550);
    EXPECT_LT(t.elapsed(), 1000);

    // Trailing bytes after the frame are consumed, not taken as the next reply.
    l.sim->AddFault(MakeFault(FaultKind::TrailingBytes, 22, 5));
    r = l.Record(22);
    ASSERT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Ok);
    ASSERT_TRUE(l.client.IsConnected());
    t.restart();
    r = l.Record(23);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Ok);
    EXPECT_EQ(rec.recordNo, 23u);
    EXPECT_LT(t.elapsed(), 500);
    // Same for a read reply of another kind and a write reply.
    Fault trailing = MakeFault(FaultKind::TrailingBytes, 0, 4, 2);
    trailing.command = SimCommand::Any;
    l.sim->AddFault(trailing);
    EXPECT_TRUE(Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo()).ok());
    EXPECT_TRUE(Exchange(l.client, Command::SetClock, BuildSetClock()).ok());
    DeviceInfo info;
    r = Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo());
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(ParseDeviceInfo(r.bytes, r.received, info));
    EXPECT_EQ(info.totalRecords, 40u);

    // A stalled reply still ends after one second of silence.
    l.sim->AddFault(MakeFault(FaultKind::PauseMidReply, 24, 1600));
    t.restart();
    r = l.Record(24);
    const qint64 stalled = t.elapsed();
    EXPECT_GE(stalled, 950);
    EXPECT_LT(stalled, 1500);
    EXPECT_EQ(ParseRecordReply(r.bytes, r.received, rec), RecordStatus::Invalid);
}

TEST_F(ExchangeTest, StrictTimingWaitsForTheSilence) {
    Linked l("127.0.3.16", 3, 5000);
    ASSERT_TRUE(l.started) << l.error.toStdString();
    LinkOptions strictOptions;
    strictOptions.strictTiming = true;
    l.client.SetOptions(strictOptions);

    QElapsedTimer t;
    t.start();
    const Reply strict = l.Record(2);
    const qint64 strictMs = t.elapsed();
    ASSERT_TRUE(strict.ok());
    EXPECT_GE(strictMs, 950);
    t.restart();
    EXPECT_TRUE(Exchange(l.client, Command::SetClock, BuildSetClock()).ok());
    EXPECT_GE(t.elapsed(), 950);

    l.client.SetOptions(LinkOptions());
    t.restart();
    const Reply quick = l.Record(2);
    EXPECT_LT(t.elapsed(), 500);
    EXPECT_EQ(quick.bytes, strict.bytes); // the same bytes either way
}

TEST_F(ExchangeTest, ExchangesFromTwoThreadsDoNotInterleave) {
    Linked l("127.0.3.17", 30, 3000);
    ASSERT_TRUE(l.started) << l.error.toStdString();
    std::atomic<int> good{0};
    auto worker = [&](int first) {
        for (int n = first; n < first + 15; ++n) {
            const Reply r = l.Record(uint32_t(n));
            RecordReply rec;
            if (r.ok() && ParseRecordReply(r.bytes, r.received, rec) == RecordStatus::Ok &&
                int(rec.recordNo) == n && rec.picture == l.sim->Photo(n))
                ++good;
            DeviceInfo info;
            const Reply i = Exchange(l.client, Command::ReadDeviceInfo, BuildReadDeviceInfo());
            if (i.ok() && ParseDeviceInfo(i.bytes, i.received, info) && info.totalRecords == 30)
                ++good;
        }
    };
    std::thread a(worker, 1);
    std::thread b(worker, 16);
    a.join();
    b.join();
    EXPECT_EQ(good.load(), 60);
}
