// The records' calibration state as the last column: in the history list (the page's model),
// brtx-cli history, and the CSV and .xlsx exports read back by Python's readers, across the
// boundaries of an instrument's log.
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"
#include "history/HistoryDb.h"

#include "history/core/LocalRecordSource.h"
#include "history/page/HistoryModel.h"
#include "store/Instruments.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using historytest::Db;
using namespace exporttest;

namespace {

// Device D9: calibrated and checked on 2026-01-10, the check failing on 2026-03-01; the
// defaults (365 and 30 days) apply. D8 has no log.
const struct {
    const char* device;
    const char* record;
    const char* date;
    const char* time;
    const char* state;
} kCases[] = {
    {"D9", "1", "2026-01-10", "08:59:59",
     "lapsed: no calibration before the test; no accuracy check before the test"},
    {"D9", "2", "2026-01-10", "09:30:00", "in calibration"}, // the check's own second
    {"D9", "3", "2026-02-09", "23:59:59", "in calibration"}, // the check's last day
    {"D9", "4", "2026-02-10", "00:00:00",
     "lapsed: the accuracy check of 2026-01-10 lapsed on 2026-02-09"},
    {"D9", "5", "2026-03-01", "10:00:00", "lapsed: the accuracy check of 2026-03-01 failed"},
    {"D8", "6", "2026-02-01", "12:00:00", "unknown"},
};

class CalibrationColumnTest : public ::testing::Test {
protected:
    void SetUp() override {
        Db db;
        for (const auto& c : kCases)
            db.Add({c.device, c.record, c.date, c.time});
        ASSERT_TRUE(Instruments::EnsureTables(db.db()));
        const struct {
            const char* kind;
            const char* at;
            const char* result;
        } log[] = {{"calibration", "2026-01-10 09:00:00", "pass"},
                   {"accuracy", "2026-01-10 09:30:00", "pass"},
                   {"accuracy", "2026-03-01 10:00:00", "fail"}};
        for (const auto& l : log) {
            Instruments::LogEntry e;
            e.device = QStringLiteral("D9");
            e.kind = QLatin1String(l.kind);
            e.at = QLatin1String(l.at);
            e.result = QLatin1String(l.result);
            QString error;
            ASSERT_TRUE(Instruments::AppendLog(db.db(), e, QStringLiteral("test"), &error))
                << error.toStdString();
        }
    }
    // brtx-cli's output lines, or empty when it failed.
    QStringList Cli(const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(home.path());
        p.start(brtxtest::programDir() + "/brtx-cli", QStringList{"--home", home.path()} + args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            ADD_FAILURE() << args.join(' ').toStdString() << ": "
                          << p.readAllStandardError().toStdString();
            return {};
        }
        return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }
    // The expected state of record no (by its number).
    static QString StateOf(const QString& no) {
        for (const auto& c : kCases)
            if (no == QLatin1String(c.record))
                return QLatin1String(c.state);
        return QStringLiteral("(no such record)");
    }

    brtxtest::TempHome home;
};

} // namespace

TEST_F(CalibrationColumnTest, TheListShowsEachRecordsState) {
    HistoryFilter filter;
    filter.allDevices = true;
    filter.startDate = "2026-01-01";
    filter.endDate = "2026-12-31";
    CLocalRecordSource source;
    QVector<HistoryColumn> columns;
    QVector<HistoryRow> rows;
    ASSERT_TRUE(source.Columns(filter, columns, nullptr));
    ASSERT_TRUE(source.Fetch(filter, HistorySort(), 0, 100, rows, nullptr));
    ASSERT_EQ(rows.size(), int(std::size(kCases)));

    CHistoryModel model;
    QStringList headings;
    for (const HistoryColumn& c : columns)
        headings << c.heading;
    model.SetHeadings(headings);
    model.SetResult(rows.size(), rows);
    const int last = model.columnCount() - 1;
    ASSERT_EQ(last, headings.size()); // after every column of the source
    EXPECT_EQ(model.headerData(last, Qt::Horizontal).toString(), "Calibration");
    for (int r = 0; r < model.rowCount(); ++r)
        EXPECT_EQ(model.data(model.index(r, last)).toString(), StateOf(rows[r].recordNo))
            << "record " << rows[r].recordNo.toStdString();
}

TEST_F(CalibrationColumnTest, CliAndExportsEndWithTheState) {
    // brtx-cli history: the last tab-separated cell.
    const QStringList lines = Cli({"history", "--all-devices", "--start", "2026-01-01"});
    ASSERT_EQ(lines.size(), 1 + int(std::size(kCases)));
    EXPECT_TRUE(lines[0].endsWith("\tGPS\tCalibration"));
    for (const QString& line : lines.mid(1))
        EXPECT_EQ(line.section('\t', -1), StateOf(line.section('\t', 1, 1))) << line.toStdString();

    // The exports: the same columns as before, then the state.
    QStringList base = lines[0].split('\t').mid(0, lines[0].count('\t'));
    for (QString& heading : base)
        heading.remove('.'); // the exports' headings have no full stops
    for (const char* name : {"list.csv", "list.xlsx"}) {
        ASSERT_FALSE(Cli({"export", "--all-devices", "--start", "2026-01-01", name}).isEmpty());
        QVector<QStringList> rows;
        if (QString(name).endsWith(".csv")) {
            rows = readCsvWithPython(home.file(name));
        } else {
            for (const QJsonValue& row :
                 readWithOpenpyxl(home.file(name)).object().value("rows").toArray()) {
                QStringList cells;
                for (const QJsonValue& cell : row.toArray())
                    cells << cell.toArray().at(1).toString();
                rows << cells;
            }
        }
        ASSERT_EQ(rows.size(), 1 + int(std::size(kCases))) << name;
        EXPECT_EQ(rows[0].mid(0, base.size()), base) << name;
        EXPECT_EQ(rows[0].last(), "Calibration") << name;
        for (const QStringList& row : rows.mid(1)) {
            ASSERT_EQ(row.size(), base.size() + 1) << name;
            EXPECT_EQ(row.last(), StateOf(row[1])) << name << " " << row.join(',').toStdString();
        }
    }
}

// The state in the user's language, reasons included, and the PDF report's calibration line.
TEST_F(CalibrationColumnTest, ChineseReasonsAndThePdfReportLine) {
    if (QStandardPaths::findExecutable("pdftotext").isEmpty())
        GTEST_SKIP() << "pdftotext missing";
    const QStringList pdf = Cli({"export-pdf", "--device", "D9", "--record", "5"});
    ASSERT_FALSE(pdf.isEmpty());
    QProcess text;
    text.start("pdftotext", {pdf.last(), "-"});
    ASSERT_TRUE(text.waitForFinished(20000));
    const QString page = QString::fromUtf8(text.readAllStandardOutput()).simplified();
    EXPECT_TRUE(page.contains("Calibration") &&
                page.contains(QStringLiteral("lapsed: the accuracy check of 2026-03-01 failed")))
        << page.toStdString();

    QByteArray ini = readFile(home.file("Language.ini"));
    ini.replace("Language=English", "Language=Chinese");
    home.writeLanguage(ini);
    const QHash<QString, QString> chinese = {
        {"1", QStringLiteral("校准失效：测试前没有校准; 测试前没有准确度检查")},
        {"4", QStringLiteral("校准失效：2026-01-10的准确度检查已于2026-02-09失效")},
        {"5", QStringLiteral("校准失效：2026-03-01的准确度检查未通过")},
        {"6", QStringLiteral("未知")},
    };
    const QStringList lines = Cli({"history", "--all-devices", "--start", "2026-01-01"});
    ASSERT_EQ(lines.size(), 1 + int(std::size(kCases)));
    for (const QString& line : lines.mid(1)) {
        const QString no = line.section('\t', 1, 1);
        if (chinese.contains(no)) {
            EXPECT_EQ(line.section('\t', -1), chinese.value(no)) << line.toStdString();
        }
    }
}
