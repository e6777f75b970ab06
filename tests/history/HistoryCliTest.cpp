// brtx-cli history: the list as the page shows it, tab-separated, headings first.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using historytest::Db;
using historytest::Record;

namespace {

struct CliResult {
    int exitCode = -1;
    QStringList lines;
    QString error;
};

CliResult RunCli(const QString& home, const QStringList& args) {
    CliResult result;
    const QString program = brtxtest::programDir() + "/brtx-cli";
    QProcess process;
    process.start(program, QStringList{"--home", home, "history"} + args);
    if (!process.waitForFinished(30000))
        return result;
    result.exitCode = process.exitCode();
    QString out = QString::fromUtf8(process.readAllStandardOutput());
    if (out.endsWith('\n'))
        out.chop(1);
    result.lines = out.isEmpty() ? QStringList() : out.split('\n');
    result.error = QString::fromUtf8(process.readAllStandardError());
    return result;
}

class HistoryCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QFile::exists(brtxtest::programDir() + "/brtx-cli"))
            GTEST_SKIP() << "brtx-cli is not built";
        ResetLanguage();
    }
    brtxtest::TempHome home;
};

} // namespace

TEST_F(HistoryCliTest, PrintsHeadingsAndRowsLikeThePage) {
    {
        Db db;
        db.Titles("D7", {"Alc", "Name"});
        db.Add({"D7", "1", "2023-12-31", "07:00:00", "Refuse", "", "mg/L"});
        db.Add({"D7", "2", "2024-01-15", "08:00:00", "Manual", "0.5", "mg/L"});
        db.Add({"D7", "10", "2024-02-01", "09:00:00", "Auto\twith tab", "0.1", "mg/L"});
        db.Add({"OTHER", "3", "2024-01-15"});
    }
    const QString heading = "Device No.\tRecord No\tDate\tTime\tTest Mode\tTest Result\tUnit\tAlc\t"
                            "Name\tGPS";

    CliResult all = RunCli(home.path(), {"--device", "D7"});
    ASSERT_EQ(all.exitCode, 0) << all.error.toStdString();
    EXPECT_EQ(all.lines,
              QStringList({heading,
                           "D7\t2\t2024-01-15\t08:00:00\tManual\t0.5\tmg/L\tF1-2\tF2-2\t2.5 2.25",
                           "D7\t10\t2024-02-01\t09:00:00\tAuto with tab\t0.1\tmg/L\tF1-10\tF2-10\t"
                           "10.5 10.25",
                           "D7\t1\t2023-12-31\t07:00:00\tRefused\t\tmg/L\tF1-1\tF2-1\t1.5 1.25"}));

    CliResult range =
        RunCli(home.path(), {"--device", "D7", "--start", "2024-01-01", "--end", "2024-01-31"});
    ASSERT_EQ(range.exitCode, 0);
    ASSERT_EQ(range.lines.size(), 2);
    EXPECT_TRUE(range.lines[1].startsWith("D7\t2\t"));

    // Start after end: the headings only.
    CliResult none =
        RunCli(home.path(), {"--device", "D7", "--start", "2024-03-01", "--end", "2024-01-01"});
    ASSERT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.lines, QStringList({heading}));
}

TEST_F(HistoryCliTest, UsageErrorsAndMissingDatabase) {
    EXPECT_EQ(RunCli(home.path(), {}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--start", "2024-13-01"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--end", "20240101"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--bogus"}).exitCode, 2);

    // No database: a failure, and no empty database left behind.
    const CliResult missing = RunCli(home.path(), {"--device", "D"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.lines.isEmpty());
    EXPECT_FALSE(QFile::exists(home.file("brtx.db")));
}
