// brtx-cli history: the list as the page shows it (tab-separated, headings first; CSV; JSON),
// with its filters and order.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
                            "Name\tGPS\tCalibration";

    CliResult all = RunCli(home.path(), {"--device", "D7"});
    ASSERT_EQ(all.exitCode, 0) << all.error.toStdString();
    EXPECT_EQ(all.lines,
              QStringList(
                  {heading,
                   "D7\t10\t2024-02-01\t09:00:00\tAuto\\x09with tab\t0.1\tmg/L\tF1-10\tF2-10\t"
                   "10.5 10.25\tunknown",
                   "D7\t2\t2024-01-15\t08:00:00\tManual\t0.5\tmg/L\tF1-2\tF2-2\t2.5 2.25\tunknown",
                   "D7\t1\t2023-12-31\t07:00:00\tRefused\t\tmg/L\tF1-1\tF2-1\t1.5 1.25\tunknown"}));

    CliResult range =
        RunCli(home.path(), {"--device", "D7", "--start", "2024-01-01", "--end", "2024-01-31"});
    ASSERT_EQ(range.exitCode, 0);
    ASSERT_EQ(range.lines.size(), 2);
    EXPECT_TRUE(range.lines[1].startsWith("D7\t2\t"));

    // Start after end: said so, nothing listed.
    CliResult none =
        RunCli(home.path(), {"--device", "D7", "--start", "2024-03-01", "--end", "2024-01-01"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.lines.isEmpty());
    EXPECT_TRUE(none.error.contains("start date")) << none.error.toStdString();

    // Filters and order through the same core as the page.
    struct Case {
        QStringList args;
        QStringList records; // second column of the rows
    };
    const QVector<Case> cases = {
        {{"--device", "D7", "--sort", "Record No"}, {"1", "2", "10"}},
        {{"--device", "D7", "--sort", "test result:desc"}, {"2", "10", "1"}},
        {{"--device", "D7", "--min", "0.2"}, {"2"}},
        {{"--device", "D7", "--mode", "refuse"}, {"1"}},
        {{"--device", "D7", "--search", "WITH TAB"}, {"10"}},
        {{"--device", "D7", "--search", "'; DELETE FROM ValueInfo; --"}, {}},
        {{"--all-devices", "--search", "2024-01-15"}, {"3", "2"}},
    };
    for (const Case& c : cases) {
        const CliResult r = RunCli(home.path(), c.args);
        ASSERT_EQ(r.exitCode, 0) << c.args.join(' ').toStdString() << r.error.toStdString();
        QStringList records;
        for (const QString& line : r.lines.mid(1))
            records << line.section('\t', 1, 1);
        EXPECT_EQ(records, c.records) << c.args.join(' ').toStdString();
    }
    EXPECT_EQ(RunCli(home.path(), {"--device", "D7"}).lines.size(), 4); // nothing deleted
}

TEST_F(HistoryCliTest, CsvAndJsonCarryEveryCell) {
    {
        Db db;
        db.Titles("D7", {"Alc", "Name"});
        db.Add({"D7", "1", "2024-01-15", "07:00:00", "Auto", "0.5", "say \"hi\", ok"});
    }
    const CliResult csv = RunCli(home.path(), {"--device", "D7", "--format", "csv"});
    ASSERT_EQ(csv.exitCode, 0);
    ASSERT_EQ(csv.lines.size(), 2);
    EXPECT_EQ(csv.lines[0], QString::fromUtf8("\xEF\xBB\xBF") +
                                "Device No.,Record No,Date,Time,Test Mode,Test Result,Unit,Alc,"
                                "Name,GPS,Calibration\r");
    EXPECT_EQ(csv.lines[1],
              "D7,1,2024-01-15,07:00:00,Auto,0.5,\"say \"\"hi\"\", ok\",F1-1,F2-1,1.5 "
              "1.25,unknown\r");

    const CliResult json = RunCli(home.path(), {"--device", "D7", "--format=json"});
    ASSERT_EQ(json.exitCode, 0);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.lines.join('\n').toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.lines.join('\n').toStdString();
    ASSERT_EQ(doc.array().size(), 1);
    const QJsonObject row = doc.array()[0].toObject();
    EXPECT_EQ(row["Unit"].toString(), "say \"hi\", ok");
    EXPECT_EQ(row["Name"].toString(), "F2-1");
    EXPECT_EQ(row["Calibration"].toString(), "unknown");
    EXPECT_EQ(row.size(), 11);
}

TEST_F(HistoryCliTest, UsageErrorsAndMissingDatabase) {
    EXPECT_EQ(RunCli(home.path(), {}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--start", "2024-13-01"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--end", "20240101"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--bogus"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--min", "2", "--max", "1"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--min", "lots"}).exitCode, 2);
    EXPECT_EQ(RunCli(home.path(), {"--device", "D", "--format", "xml"}).exitCode, 2);

    // No database: a failure, and no empty database left behind.
    const CliResult missing = RunCli(home.path(), {"--device", "D"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.lines.isEmpty());
    EXPECT_FALSE(QFile::exists(home.file("brtx.db")));

    // A heading that does not exist: named, with the ones that do.
    { Db db; }
    const CliResult heading = RunCli(home.path(), {"--device", "D", "--sort", "Nope:desc"});
    EXPECT_EQ(heading.exitCode, 2);
    EXPECT_TRUE(heading.error.startsWith(
        "brtx-cli history: --sort \"Nope\" names no column; columns are: Device No., "))
        << heading.error.toStdString();
}
