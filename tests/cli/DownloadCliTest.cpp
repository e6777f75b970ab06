// brtx-cli download as a separate process against the in-process simulator on 127.0.52.x:
// status lines as they come, the summary line, exit codes, what is stored.
#include "common/TestSupport.h"

#include "base/Language.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <memory>

#include <csignal>

using brtxtest::GetText;

namespace {

using brtxtest::CliRun;

class DownloadCliTest : public ::testing::Test {
protected:
    CliRun run(const QStringList& args) {
        return brtxtest::runCli(QStringList{"--home", m_home.path(), "download"} + args, 60000);
    }

    void startSim(const QString& address, int records) {
        brtxsim::SimConfig config;
        config.address = address;
        config.recordCount = records;
        config.photoBytes = 1500;
        m_sim = std::make_unique<brtxsim::CSimulator>(config);
        QString error;
        ASSERT_TRUE(m_sim->Start(&error)) << error.toStdString();
    }

    QList<quint32> requestedRecords() const {
        QList<quint32> out;
        for (const QByteArray& r : m_sim->Requests()) {
            if (r.size() == 18 && quint8(r[11]) == 0x02 && quint8(r[12]) == 0x10)
                out.append(quint8(r[13]) | (quint8(r[14]) << 8) | (quint8(r[15]) << 16));
        }
        return out;
    }

    int rows() {
        SQLite::Database db;
        if (db.Open(m_home.file("brtx.db")) != 0)
            return -1;
        return db.QuerySQL("SELECT count(*) FROM ValueInfo").Cell(0, 0).toInt();
    }

    static QString text(const char* key, int number = -1) {
        QString t = GetText(QString::fromLatin1(key));
        return number < 0 ? t : t.replace("%d", QString::number(number));
    }

    brtxtest::TempHome m_home;
    std::unique_ptr<brtxsim::CSimulator> m_sim;
};

} // namespace

TEST_F(DownloadCliTest, AllThenRangeThenTooFar) {
    ASSERT_NO_FATAL_FAILURE(startSim("127.0.52.1", 3));
    CliRun r = run({"--wifi", "127.0.52.1"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    const QStringList expected = {text("WifiConnecting"),
                                  text("WifiConnectOK"),
                                  text("DownloadRecordOK", 1),
                                  text("DownloadRecordOK", 2),
                                  text("DownloadRecordOK", 3),
                                  text("DownloadFinish"),
                                  "downloaded: 3, skipped: 0, failed: 0"};
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(requestedRecords(), QList<quint32>({1, 2, 3}));
    EXPECT_EQ(rows(), 3);
    const QString folder = m_home.file("pic/" + m_sim->DeviceNumberText());
    for (int n = 1; n <= 3; ++n) {
        QFile f(folder + QString::asprintf("/%05d.jpg", n));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), m_sim->Photo(n));
    }

    // Again: every row is there already; the rows are skipped, nothing is added to them.
    r = run({"--wifi", "127.0.52.1", "--from", "2", "--to", "3"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.value(r.out.size() - 1), "downloaded: 0, skipped: 2, failed: 0");
    EXPECT_EQ(rows(), 3);

    // A number above the total asks for nothing.
    m_sim->ClearRequests();
    r = run({"--wifi", "127.0.52.1", "--single", "4"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.value(r.out.size() - 1), text("NumberMustLessTotoal"));
    EXPECT_TRUE(requestedRecords().isEmpty());
}

TEST_F(DownloadCliTest, FailedRecordIsReportedAndFetchedNextTime) {
    ASSERT_NO_FATAL_FAILURE(startSim("127.0.52.3", 3));
    brtxsim::Fault fault;
    fault.kind = brtxsim::FaultKind::CloseMidReply;
    fault.command = brtxsim::SimCommand::ReadRecord;
    fault.record = 2;
    fault.times = 1;
    m_sim->AddFault(fault);
    CliRun r = run({"--wifi", "127.0.52.3"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains(text("DownloadRecordFail", 2)));
    // The closing text counts the failed record instead of a plain "finished".
    EXPECT_FALSE(r.out.contains(text("DownloadFinish")));
    EXPECT_EQ(r.out.value(r.out.size() - 2), text("DownloadFinishFailed", 1));
    EXPECT_EQ(r.out.value(r.out.size() - 1), "downloaded: 2, skipped: 0, failed: 1");

    r = run({"--wifi", "127.0.52.3", "--single", "2"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(rows(), 3);
}

TEST_F(DownloadCliTest, UsageAndLinkErrors) {
    for (const QStringList& args :
         {QStringList{}, QStringList{"--wifi", "127.0.52.9", "--single"},
          QStringList{"--wifi", "127.0.52.9", "--all", "--single", "1"},
          QStringList{"--wifi", "127.0.52.9", "--from", "1", "--from", "2"},
          QStringList{"--wifi", "127.0.52.9", "extra"}}) {
        EXPECT_EQ(run(args).code, 2) << args.join(' ').toStdString();
    }
    // Nobody listening there.
    CliRun r = run({"--wifi", "127.0.52.9"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.value(r.out.size() - 1), text("WifiConnectFailed"));
}

TEST_F(DownloadCliTest, NewFetchesWhatIsMissingAndInterruptCancels) {
    ASSERT_NO_FATAL_FAILURE(startSim("127.0.52.7", 400));
    CliRun r = run({"--wifi", "127.0.52.7", "--from", "3", "--to", "5"});
    ASSERT_EQ(r.code, 0);

    // SIGINT in the middle: the record in flight ends, the summary is printed, status 130.
    m_sim->ClearRequests();
    QProcess p;
    p.setProgram(brtxtest::programDir() + "/brtx-cli");
    p.setArguments({"--home", m_home.path(), "download", "--wifi", "127.0.52.7", "--new"});
    p.start();
    ASSERT_TRUE(brtxtest::waitFor([&] { return requestedRecords().size() >= 20; }, 20000));
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    const QStringList out =
        QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(out.size(), 3);
    EXPECT_EQ(out[2], text("NewRecords", 397));
    const int stored = rows();
    EXPECT_TRUE(
        out.last().startsWith(QString("downloaded: %1, skipped: 0, failed: 0").arg(stored - 3)))
        << out.last().toStdString();
    EXPECT_LT(stored, 400);
    const QList<quint32> asked = requestedRecords();
    EXPECT_EQ(asked.mid(0, 3), QList<quint32>({1, 2, 6})); // 3..5 are stored already

    // The rest, then nothing is new: "0 new records", exit 0, nothing asked.
    r = run({"--wifi", "127.0.52.7", "--new"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(rows(), 400);
    m_sim->ClearRequests();
    r = run({"--wifi", "127.0.52.7", "--new"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains(text("NewRecords", 0)));
    EXPECT_EQ(r.out.value(r.out.size() - 1), "downloaded: 0, skipped: 0, failed: 0");
    EXPECT_TRUE(requestedRecords().isEmpty());
}
