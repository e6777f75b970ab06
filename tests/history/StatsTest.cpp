// Statistics over a real brtx.db compared with a plain count of the records the test stored:
// every grouping, refusals, results that are no numbers, several units, limit boundaries; and
// brtx-cli stats' output, empty result and usage errors.
#include "HistoryDb.h"

#include "common/TestSupport.h"
#include "history/core/LocalRecordSource.h"
#include "history/core/Stats.h"
#include "history/page/History.h"
#include "history/page/StatsView.h"
#include "reports/Csv.h"
#include "reports/PdfReport.h"

#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMap>
#include <QTabBar>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

struct Rec {
    const char* device;
    const char* no;
    const char* date;
    const char* time;
    const char* mode;
    const char* result;
    const char* unit;
    const char* officer;
};

// Two devices, three units (one without limits), refusals with and without a result text,
// results exactly at each threshold.
const Rec kRecords[] = {
    {"D1", "1", "2024-02-26", "07:10:00", "Auto", "0.25", "mg/L", "Ann"},
    {"D1", "2", "2024-02-26", "07:50:00", "Auto", "0.249", "mg/L", "Ann"},
    {"D1", "3", "2024-02-29", "08:00:00", "Manual", "0.40", "mg/L", "Bo"},
    {"D1", "4", "2024-03-01", "08:30:00", "Refuse", "", "mg/L", "Bo"},
    {"D1", "5", "2024-03-01", "23:59:59", "Refuse", "---", "mg/L", "Ann"},
    {"D1", "6", "2024-03-03", "00:00:00", "Discontinued", "0.1", "mg/L", ""},
    {"D1", "7", "2024-03-04", "12:00:00", "Auto", "1.2", "mg/L", "Ann"},
    {"D2", "1", "2024-02-26", "07:20:00", "Auto", "0.5", "g/L", "Ann"},
    {"D2", "2", "2024-03-04", "12:10:00", "Manual", "0.49", "g/L", "Cy"},
    {"D2", "3", "2024-03-04", "12:20:00", "Auto", "0.8", "g/L", "Cy"},
    {"D2", "4", "2024-03-05", "13:00:00", "Auto", "33", "%BAC", "Cy"},
    {"D2", "5", "2024-03-05", "13:05:00", "Auto", "0.31", "mg/L", "Cy"},
};
const char* const kLimits = "mg/L:0.25,0.40;g/L:0.5";

QString GroupOf(const Rec& r, const QString& by) {
    const QDate date = QDate::fromString(r.date, Qt::ISODate);
    if (by == "day")
        return r.date;
    if (by == "week")
        return date.addDays(1 - date.dayOfWeek()).toString(Qt::ISODate);
    if (by == "month")
        return QString(r.date).left(7);
    if (by == "hour")
        return QString(r.time).left(2);
    if (by == "weekday")
        return QLocale::c().dayName(date.dayOfWeek());
    if (by == "device")
        return r.device;
    if (by == "mode")
        return r.mode;
    return r.officer; // field:Officer
}

// The expected table, counted plainly: "group|unit" -> cells as StatsCells gives them.
QMap<QString, QStringList> Expected(const QString& by, const HistoryFilter& f) {
    const CLimits limits = CLimits::Parse(kLimits);
    struct Acc {
        qint64 tests = 0, modes[4] = {}, over[2] = {};
        QVector<double> results;
    };
    QMap<QString, Acc> acc;
    static const QStringList modes{"Auto", "Manual", "Refuse", "Discontinued"};
    for (const Rec& r : kRecords) {
        if (!f.allDevices && f.device != r.device)
            continue;
        Acc& a = acc[GroupOf(r, by) + '|' + r.unit];
        ++a.tests;
        if (modes.contains(r.mode))
            ++a.modes[modes.indexOf(r.mode)];
        bool number = false;
        const double v = QString(r.result).toDouble(&number);
        if (!number)
            continue;
        a.results << v;
        const UnitLimits* u = limits.For(r.unit);
        for (int k = 0; u && k < u->thresholds.size(); ++k)
            a.over[k] += v >= u->thresholds[k];
    }
    QMap<QString, QStringList> out;
    for (auto it = acc.begin(); it != acc.end(); ++it) {
        Acc& a = it.value();
        StatsRow row;
        row.group = it.key().section('|', 0, 0);
        row.unit = it.key().section('|', 1);
        row.tests = a.tests;
        std::copy(a.modes, a.modes + 4, row.modes);
        std::copy(a.over, a.over + 2, row.over);
        row.results = a.results.size();
        std::sort(a.results.begin(), a.results.end());
        const qsizetype n = a.results.size();
        if (n) {
            double sum = 0;
            for (double v : a.results)
                sum += v;
            row.mean = sum / n;
            row.median = (a.results[(n - 1) / 2] + a.results[n / 2]) / 2;
            row.max = a.results.last();
        }
        StatsRequest request;
        request.limits = limits;
        out.insert(it.key(), StatsCells(request, row));
    }
    return out;
}

class StatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        historytest::Db db;
        db.Titles("D1", {"Officer"});
        db.Titles("D2", {"Officer"});
        for (const Rec& r : kRecords) {
            QStringList v =
                historytest::Values({r.device, r.no, r.date, r.time, r.mode, r.result, r.unit});
            v[15] = r.officer;
            db.db().ExecuteSQL(Statements::InsertValueInfo(v));
        }
    }
    brtxtest::TempHome home;
};

} // namespace

TEST_F(StatsTest, EveryGroupingMatchesAPlainCount) {
    CLocalRecordSource source;
    for (const char* by : {"day", "week", "month", "hour", "weekday", "device", "mode",
                           "field:Officer", "field:officer"}) {
        for (const bool all : {true, false}) {
            HistoryFilter f;
            f.allDevices = all;
            f.device = "D1";
            StatsRequest request;
            QString error;
            ASSERT_TRUE(ParseStatsBy(by, request, error)) << by;
            request.limits = CLimits::Parse(kLimits);
            QVector<StatsRow> rows;
            ASSERT_TRUE(source.Stats(f, request, rows, &error)) << by << qPrintable(error);
            QMap<QString, QStringList> got;
            for (const StatsRow& row : rows)
                got.insert(row.group + '|' + row.unit, StatsCells(request, row));
            const QString kind = QString(by).startsWith("field") ? "field" : by;
            EXPECT_EQ(got, Expected(kind, f)) << by << (all ? " all" : " D1");
        }
    }
}

TEST_F(StatsTest, CommandLineFormatsEmptyListAndUsage) {
    struct Case {
        QStringList args;
        int code;
        int lines;        // -1: not checked
        QString contains; // in the output (code 0) or the error
    };
    QByteArray ini = "[Global]\nLanguage=English\nLimits=mg/L:0.25,0.40;g/L:0.5\n";
    home.writeLanguage(ini);
    const QVector<Case> cases = {
        {{"stats", "--all-devices", "--by", "device"}, 0, 5, "D2\tg/L\t3\t2\t1\t0\t0\t2\t\t3\t"},
        {{"stats", "--device", "D1", "--by", "mode", "--mode", "refuse"}, 0, 2, "Refuse\tmg/L\t2"},
        {{"stats", "--device", "D1", "--by", "day", "--start", "2030-01-01"}, 0, 1, "day\tunit"},
        {{"stats", "--device", "NONE", "--by=week", "--format", "json"}, 0, 1, "[]"},
        // The hours without tests come with zeros: 9 rows, 18 empty hours.
        {{"stats", "--all-devices", "--by", "hour", "--format=csv"}, 0, 28, "12,g/L,2"},
        {{"stats", "--all-devices", "--by", "hour", "--format=csv"},
         0,
         28,
         "01,,0,0,0,0,0,,,0,,,\r"},
        {{"stats", "--all-devices", "--by", "field:Nope"}, 2, -1, "brtx-cli stats: no column"},
        {{"stats", "--all-devices", "--by", "year"}, 2, -1, "brtx-cli stats: --by wants"},
        {{"stats", "--all-devices"}, 2, -1, "brtx-cli stats: --by is required"},
        {{"stats", "--by", "day"}, 2, -1, "brtx-cli stats:"},
    };
    for (const Case& c : cases) {
        const brtxtest::CliRun run = brtxtest::runCli(c.args);
        EXPECT_EQ(run.code, c.code) << c.args.join(' ').toStdString() << run.err.toStdString();
        const QString text = c.code == 0 ? run.out.join('\n') : run.err;
        EXPECT_TRUE(text.contains(c.contains)) << c.args.join(' ').toStdString() << "\n"
                                               << text.toStdString();
        if (c.lines >= 0) {
            EXPECT_EQ(run.out.size(), c.lines) << c.args.join(' ').toStdString();
        }
    }
    const brtxtest::CliRun json =
        brtxtest::runCli({"stats", "--device", "D2", "--by", "device", "--format", "json"});
    EXPECT_TRUE(json.out.join("").contains(
        "{\"device\":\"D2\",\"unit\":\"%BAC\",\"tests\":1,\"auto\":1,\"manual\":0,\"refuse\":0,"
        "\"discontinued\":0,\"over limit 1\":null,\"over limit 2\":null,\"results\":1,"
        "\"mean\":33,\"median\":33,\"max\":33}"))
        << json.out.join('\n').toStdString();
}

// Result bins, weekday × hour and the zero groups of a period, against a plain count; and
// the filter a chart's bar sets lists exactly the records the bar counts.
TEST_F(StatsTest, BinsHeatMapAndEmptyGroupsMatchAPlainCount) {
    CLocalRecordSource source;
    const CLimits limits = CLimits::Parse(kLimits);
    HistoryFilter all;
    all.allDevices = true;
    struct Case {
        StatsBy by;
        double width;
        QString unit;
    };
    for (const Case& c : {Case{StatsBy::Bin, 0.05, "mg/L"}, Case{StatsBy::Bin, 0.1, "g/L"},
                          Case{StatsBy::HourWeekday, 0, ""}}) {
        StatsRequest request;
        request.by = c.by;
        request.binWidth = c.width;
        request.limits = limits;
        HistoryFilter f = all;
        f.unit = c.unit;
        QVector<StatsRow> rows;
        QString error;
        ASSERT_TRUE(source.Stats(f, request, rows, &error)) << qPrintable(error);
        QMap<QString, qint64> got, want;
        for (const StatsRow& row : rows)
            got[row.group] += row.tests;
        for (const Rec& r : kRecords) {
            if (!c.unit.isEmpty() && c.unit != r.unit)
                continue;
            bool number = false;
            const double v = QString(r.result).toDouble(&number);
            const QDate d = QDate::fromString(r.date, Qt::ISODate);
            // A result on a bin's edge (0.25, 0.40, 0.5, 0.8) starts that bin.
            const QString g =
                c.by == StatsBy::Bin
                    ? (number ? QString::number(qint64(std::floor(v / c.width + 1e-6))) : "")
                    : QString("%1-%2").arg(d.dayOfWeek()).arg(QString(r.time).left(2));
            ++want[g];
        }
        EXPECT_EQ(got, want) << int(c.by) << qPrintable(c.unit);
        // Every group's filter lists exactly its records.
        for (auto it = want.cbegin(); it != want.cend(); ++it) {
            if (it.key().isEmpty())
                continue;
            HistoryFilter g = f;
            if (c.by == StatsBy::Bin) {
                g.binWidth = c.width;
                g.bin = it.key().toLongLong();
            } else {
                g.weekday = it.key().section('-', 0, 0).toInt();
                g.hour = it.key().section('-', 1).toInt();
            }
            qint64 count = -1;
            ASSERT_TRUE(source.Count(g, count, &error)) << qPrintable(error);
            EXPECT_EQ(count, it.value()) << qPrintable(it.key());
        }
    }
    // The limit boundaries: 0.25 and 0.40 mg/L start their bins, 0.249 stays below.
    EXPECT_EQ(StatsBin(0.25, 0.05), 5);
    EXPECT_EQ(StatsBin(0.249, 0.05), 4);
    EXPECT_EQ(StatsBin(0.40, 0.05), 8);
    EXPECT_EQ(StatsBin(0.3, 0.1), 3);

    // Days without tests inside the range come with zeros; nothing at all without records.
    StatsRequest days;
    days.by = StatsBy::Day;
    QVector<StatsRow> rows;
    QString error;
    HistoryFilter range = all;
    range.startDate = "2024-02-25";
    range.endDate = "2024-03-06";
    ASSERT_TRUE(source.Stats(range, days, rows, &error));
    FillEmptyGroups(days, range.startDate, range.endDate, rows);
    QMap<QString, qint64> perDay;
    for (const StatsRow& row : rows)
        perDay[row.group] += row.tests;
    EXPECT_EQ(perDay.size(), 11);
    EXPECT_EQ(perDay.value("2024-02-25", -1), 0);
    EXPECT_EQ(perDay.value("2024-02-27", -1), 0);
    EXPECT_EQ(perDay.value("2024-02-26"), 3);
    EXPECT_EQ(perDay.value("2024-03-06", -1), 0);
    StatsRequest months;
    months.by = StatsBy::Month;
    ASSERT_TRUE(source.Stats(all, months, rows, &error));
    FillEmptyGroups(months, all.startDate, all.endDate, rows);
    QStringList groups;
    for (const StatsRow& row : rows)
        if (!groups.contains(row.group))
            groups << row.group;
    EXPECT_EQ(groups, QStringList({"2024-02", "2024-03"}));
    HistoryFilter none = all;
    none.device = "NONE";
    none.allDevices = false;
    ASSERT_TRUE(source.Stats(none, days, rows, &error));
    FillEmptyGroups(days, range.startDate, range.endDate, rows);
    EXPECT_TRUE(rows.isEmpty());
}

// Texts an instrument may have stored malformed (dates SQLite's date functions reject or read,
// short or missing times, wide characters, bytes stored as blobs, units with spaces or a tab
// around them) fall in the groups SQLite's own substr(), trim() and date functions give them:
// each grouping's tests per group and unit against a GROUP BY of the same database.
TEST_F(StatsTest, MalformedTextsGroupAsSQLiteReadsThem) {
    {
        historytest::Db db;
        ASSERT_EQ(db.db().ExecuteSQL(
                      "INSERT INTO ValueInfo(Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,"
                      "Test_Result,Test_Unit) VALUES "
                      "('D3','1','2024-3-1','7:05','Auto','0.3',' mg/L '),"
                      "('D3','2','2024-03-02 10:00','','Refuse','',NULL),"
                      "('D3','3','2024-03-03',NULL,'Manual','0.5','mg/L'||char(9)),"
                      "('D3','4','2024-03-04','\uFF10\uFF17:00','auto','0.2','\uFF2D\uFF27/L'),"
                      "('D3','5','2024-03-05',X'3038','Auto','0.1',X'206D672F4C'),"
                      "('D3','6','2024-03-06','\u00E9\u00E9:00',' Auto','0.4','mg/L'),"
                      "('D3','7','2024-03-06',X'C3A9C3A93A30','Auto','0.4',X'C3A9'),"
                      "('D3','8','2024-03',CAST(X'8031323A' AS TEXT),NULL,'x','mg/L'),"
                      "('D3','9','2024-03-07','2','Auto','0.0',''),"
                      "('D3','10','2024-03-07',CAST(X'3100393A' AS TEXT),'Auto','0.0','g/L'),"
                      "('D3','11','2024-03-02 10:00:00.5','10:00','Auto','0.1','mg/L'),"
                      "('D3','12','2024-03-02 10:00:00.25','10:00','Auto','0.1','mg/L'),"
                      "('D3','13','2024-03-02 10:00'||char(0),'10:00','Auto','0.1','mg/L')"),
                  0);
    }
    CLocalRecordSource source;
    struct Case {
        StatsBy by;
        const char* group; // the group as SQLite reads it (NULL: none)
    };
    const QVector<Case> cases = {
        {StatsBy::Day, "Date_Date"},
        {StatsBy::Week, "date(Date_Date,'-'||((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7)"
                        "||' days')"},
        {StatsBy::Month, "substr(Date_Date,1,7)"},
        {StatsBy::Hour, "substr(Time_Time,1,2)"},
        {StatsBy::Weekday, "((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7+1)"},
        {StatsBy::HourWeekday, "((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7+1)||'-'||"
                               "substr(Time_Time,1,2)"},
        {StatsBy::Device, "Machine_NO"},
        {StatsBy::Mode, "Test_Mode"},
    };
    for (const Case& c : cases) {
        QMap<QString, qint64> want, got;
        {
            historytest::Db db;
            SQLite::Query q(db.db(), QStringLiteral("SELECT CAST(coalesce(%1,'') AS TEXT),"
                                                    "CAST(trim(coalesce(Test_Unit,'')) AS TEXT),"
                                                    "count(*) FROM ValueInfo WHERE Date_Date>="
                                                    "'0000-01-01' AND Date_Date<='9999-12-31' "
                                                    "GROUP BY 1,2")
                                         .arg(c.group)
                                         .toUtf8());
            ASSERT_TRUE(q.ok());
            while (q.Next()) {
                QString group = q.Text(0);
                if (c.by == StatsBy::Weekday && !group.isEmpty())
                    group = QLocale::c().dayName(group.toInt());
                want[group + '|' + q.Text(1)] = q.Int64(2);
            }
        }
        HistoryFilter all;
        all.allDevices = true;
        StatsRequest request;
        request.by = c.by;
        request.limits = CLimits::Parse(kLimits);
        for (const bool medians : {true, false}) {
            request.medians = medians;
            QVector<StatsRow> rows;
            QString error;
            ASSERT_TRUE(source.Stats(all, request, rows, &error)) << qPrintable(error);
            got.clear();
            for (const StatsRow& row : rows)
                got[row.group + '|' + row.unit] += row.tests;
            EXPECT_EQ(got, want) << c.group;
            // Days in order, byte by byte (texts alike in their first 16 bytes included).
            for (int i = 1; c.by == StatsBy::Day && i < rows.size(); ++i)
                EXPECT_LE(std::make_pair(rows[i - 1].group.toUtf8(), rows[i - 1].unit.toUtf8()),
                          std::make_pair(rows[i].group.toUtf8(), rows[i].unit.toUtf8()))
                    << i;
        }
    }
}

// The distribution's one pass over the local database gives what a count of the units and a
// count of the chosen unit's bins give, for units written in another case or with spaces
// around them, results that are no numbers, a unit asked for that has none, and narrower
// filters.
TEST_F(StatsTest, ResultBinsInOnePassMatchTwoCounts) {
    {
        historytest::Db db;
        int no = 10;
        for (const char* unit : {"MG/L", " mg/L ", "Mg/l", "g/L"})
            for (const char* result : {"0.26", "0.05", "-", "0.4"})
                db.db().ExecuteSQL(Statements::InsertValueInfo(
                    historytest::Values({"D2", QString::number(++no), "2024-03-06", "09:00:00",
                                         "Auto", result, unit})));
    }
    CLocalRecordSource source;
    const CLimits limits = CLimits::Parse(kLimits);
    for (const char* wanted : {"", "mg/L", "MG/L", "Mg/l", "g/L", "%BAC", "none"})
        for (const TestModeFilter mode : {TestModeFilter::Any, TestModeFilter::Refuse})
            for (const bool all : {true, false}) {
                HistoryFilter f;
                f.allDevices = all;
                f.device = "D2";
                f.mode = mode;
                StatsBins one, two;
                QString error;
                ASSERT_TRUE(source.ResultBins(f, limits, wanted, one, &error)) << qPrintable(error);
                ASSERT_TRUE(source.IRecordSource::ResultBins(f, limits, wanted, two, &error));
                const QString what = QStringLiteral("%1 %2 %3").arg(wanted).arg(int(mode)).arg(all);
                EXPECT_EQ(one.units, two.units) << qPrintable(what);
                EXPECT_EQ(one.unit, two.unit) << qPrintable(what);
                EXPECT_EQ(one.width, two.width) << qPrintable(what);
                EXPECT_EQ(one.tests, two.tests) << qPrintable(what);
                EXPECT_EQ(one.bins, two.bins) << qPrintable(what);
            }
    // Every device, the unit chosen for itself: mg/L's results, its refusals among its tests.
    StatsBins bins;
    QString error;
    HistoryFilter f;
    f.allDevices = true;
    ASSERT_TRUE(source.ResultBins(f, limits, "", bins, &error));
    EXPECT_EQ(bins.units, QStringList({"mg/L", "g/L", "MG/L", "Mg/l", "%BAC"}));
    EXPECT_EQ(bins.unit, "mg/L");
    EXPECT_EQ(bins.tests, 8 + 3 * 4); // "mg/L", " mg/L ", "MG/L" and "Mg/l" alike
    qint64 results = 0;
    for (qint64 n : bins.bins)
        results += n;
    EXPECT_EQ(results, 6 + 3 * 3);
}

// The tab over the page's filter: every chart's bars add up to a plain count, a click on any
// bar lists exactly its records (together the bars of a chart list every record once), the
// exports read back, zero records show "No records".
TEST_F(StatsTest, TabChartsClickThroughAndExport) {
    // The program's own texts, with the limits.
    QFile assets(brtxtest::sourceDir() + "/assets/Language.ini");
    ASSERT_TRUE(assets.open(QIODevice::ReadOnly));
    home.writeLanguage(
        assets.readAll().replace("[Global]", "[Global]\nLimits=" + QByteArray(kLimits)));
    CHistory page;
    page.resize(1400, 900);
    page.show();
    page.WaitForList(); // the device list comes from the worker
    qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox))->setCurrentIndex(0);
    page.OnBnClickedQuery();
    ASSERT_TRUE(page.WaitForList());
    const int total = int(std::size(kRecords));
    ASSERT_EQ(page.ListRowCount(), total);
    CStatsView* stats = page.Stats();
    page.Tabs()->setCurrentIndex(1);
    ASSERT_TRUE(stats->isVisible());
    auto settle = [&] {
        for (int i = 0; i < 2000 && stats->Busy(); ++i) {
            QApplication::processEvents();
            QThread::msleep(5);
        }
        ASSERT_FALSE(stats->Busy());
    };
    for (auto chart : {CStatsView::Period, CStatsView::Results, CStatsView::Heat, CStatsView::Field,
                       CStatsView::Device}) {
        stats->SetChart(chart);
        settle();
        const QVector<CStatsView::Bar> bars = stats->Bars();
        ASSERT_FALSE(bars.isEmpty()) << chart;
        // The records each bar lists, by its click.
        QStringList listed;
        qint64 counted = 0;
        for (int i = 0; i < bars.size(); ++i) {
            if (!bars[i].clickable || (chart == CStatsView::Field && bars[i].set != bars[0].set))
                continue;
            if (chart == CStatsView::Field && bars[i].category == "All")
                continue;
            stats->ClickBar(i);
            EXPECT_EQ(page.Tabs()->currentIndex(), 0);
            ASSERT_TRUE(page.WaitForList());
            EXPECT_EQ(page.ListRowCount(), bars[i].records)
                << chart << " " << qPrintable(bars[i].set + " " + bars[i].category);
            for (int r = 0; r < page.ListRowCount(); ++r)
                listed << page.ListCell(r, 0) + "/" + page.ListCell(r, 1);
            counted += bars[i].records;
            page.Tabs()->setCurrentIndex(1);
        }
        listed.sort();
        EXPECT_EQ(listed.removeDuplicates(), 0) << chart;
        // Results: the mg/L results (7 of them are numbers); the others: every record.
        const int want = chart == CStatsView::Results ? 6 : total;
        EXPECT_EQ(counted, want) << chart;
        EXPECT_EQ(listed.size(), want) << chart;
    }
    // The field chart's table: Ann has 5 tests, 1 refusal, 3 over limit 1 (0.25, 1.2 mg/L and
    // 0.5 g/L); 2 refusals in all.
    stats->SetChart(CStatsView::Field);
    settle();
    const QVector<QStringList> cells = stats->TableCells();
    ASSERT_GE(cells.size(), 3);
    EXPECT_EQ(cells[1].mid(0, 3), QStringList({"All", "12", "2"}));
    EXPECT_EQ(cells[2].mid(0, 3), QStringList({"Ann", "5", "1"}));
    EXPECT_EQ(cells[2][5], "3");
    EXPECT_EQ(cells[2][6], "60.0");
    EXPECT_EQ(cells[2][4], "16.7");

    // The exports read back.
    for (auto chart : {CStatsView::Period, CStatsView::Heat}) {
        stats->SetChart(chart);
        settle();
        QString error;
        const QString png = home.file("chart.png"), svg = home.file("chart.svg"),
                      csv = home.file("chart.csv");
        ASSERT_TRUE(stats->SavePng(png, &error)) << qPrintable(error);
        ASSERT_TRUE(stats->SaveSvg(svg, &error)) << qPrintable(error);
        ASSERT_TRUE(stats->SaveCsv(csv, &error)) << qPrintable(error);
        EXPECT_FALSE(QImage(png).isNull());
        QFile s(svg), c(csv);
        ASSERT_TRUE(s.open(QIODevice::ReadOnly) && c.open(QIODevice::ReadOnly));
        EXPECT_TRUE(s.readAll().contains("<svg"));
        const QByteArray bytes = c.readAll();
        EXPECT_TRUE(bytes.startsWith(QByteArray(Csv::kBom) + Csv::Line(stats->TableCells()[0])));
        EXPECT_EQ(bytes.count("\r\n"), stats->TableCells().size());
        EXPECT_EQ(QFile(csv).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    }

    // Zero records: empty charts that say so.
    qobject_cast<QLineEdit*>(page.Control(HistoryIds::kSearch))->setText("no such text");
    page.OnBnClickedQuery();
    settle();
    EXPECT_TRUE(stats->Bars().isEmpty());
    EXPECT_EQ(qobject_cast<QLabel*>(stats->findChild<QWidget*>(QString::number(StatsIds::kStatus)))
                  ->text(),
              "No records");
}

// A field with more values than the chart shows: the 20 with the most tests (equal counts in
// the values' order), then the others added up, against a plain count.
TEST_F(StatsTest, FieldChartShowsTheTopValuesAndAddsUpTheOthers) {
    QMap<QString, QPair<int, int>> counts; // officer -> tests, refusals
    for (const Rec& r : kRecords) {
        counts[r.officer].first += 1;
        counts[r.officer].second += QByteArray(r.mode) == "Refuse";
    }
    {
        historytest::Db db;
        db.Titles("D3", {"Officer"});
        int no = 0;
        for (int k = 0; k < 22; ++k) {
            const QString officer = QString("V%1").arg(21 - k, 2, 10, QChar('0'));
            for (int i = 0; i < 2 + k % 4; ++i) {
                const bool refuse = i == 0 && k % 3 == 0;
                QStringList v =
                    historytest::Values({"D3", QString::number(++no), "2024-03-07", "09:00:00",
                                         refuse ? "Refuse" : "Auto", refuse ? "" : "0.1", "mg/L"});
                v[15] = officer;
                db.db().ExecuteSQL(Statements::InsertValueInfo(v));
                counts[officer].first += 1;
                counts[officer].second += refuse;
            }
        }
    }
    QVector<QPair<QString, QPair<int, int>>> order;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        order.append({it.key(), it.value()});
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& x, const auto& y) { return x.second.first > y.second.first; });
    QVector<QStringList> want{{"All", "0", "0"}};
    for (int i = 0; i < order.size(); ++i) {
        QStringList& line =
            i < 20 ? want.emplace_back(QStringList{order[i].first, "0", "0"})
                   : (i == 20 ? want.emplace_back(QStringList{"Others", "0", "0"}) : want.last());
        for (QStringList* l : {&line, &want.first()}) {
            (*l)[1] = QString::number((*l)[1].toInt() + order[i].second.first);
            (*l)[2] = QString::number((*l)[2].toInt() + order[i].second.second);
        }
    }

    QFile assets(brtxtest::sourceDir() + "/assets/Language.ini");
    ASSERT_TRUE(assets.open(QIODevice::ReadOnly));
    home.writeLanguage(assets.readAll());
    CHistory page;
    page.show();
    page.WaitForList();
    qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox))->setCurrentIndex(0);
    page.OnBnClickedQuery();
    ASSERT_TRUE(page.WaitForList());
    CStatsView* stats = page.Stats();
    page.Tabs()->setCurrentIndex(1);
    stats->SetChart(CStatsView::Field);
    for (int i = 0; i < 2000 && stats->Busy(); ++i) {
        QApplication::processEvents();
        QThread::msleep(5);
    }
    ASSERT_FALSE(stats->Busy());
    QVector<QStringList> got = stats->TableCells().mid(1);
    for (QStringList& line : got)
        line = line.mid(0, 3);
    EXPECT_EQ(got, want);
}

// "Over limit 1/2" lists exactly the results at or over that limit of their unit (boundaries
// included, refusals and units without limits never), in the list, the count, the statistics
// and brtx-cli history/stats.
TEST_F(StatsTest, OverLimitFilterMatchesAPlainCount) {
    QFile assets(brtxtest::sourceDir() + "/assets/Language.ini");
    ASSERT_TRUE(assets.open(QIODevice::ReadOnly));
    home.writeLanguage(
        assets.readAll().replace("[Global]", "[Global]\nLimits=" + QByteArray(kLimits)));
    const CLimits limits = CLimits::Parse(kLimits);
    CLocalRecordSource source{QString(), CLanguage()};
    for (int level : {1, 2}) {
        QStringList want;
        for (const Rec& r : kRecords)
            if (limits.Level(r.unit, r.result) >= level)
                want << QString("%1/%2").arg(r.device, r.no);
        want.sort();
        HistoryFilter f;
        f.allDevices = true;
        f.overLimit = level;
        qint64 count = -1;
        QString error;
        ASSERT_TRUE(source.Count(f, count, &error)) << qPrintable(error);
        EXPECT_EQ(count, want.size()) << level;
        QVector<HistoryRow> rows;
        ASSERT_TRUE(source.Fetch(f, HistorySort(), 0, 100, rows, &error));
        QStringList got;
        for (const HistoryRow& row : rows)
            got << row.machineNo + "/" + row.recordNo;
        got.sort();
        EXPECT_EQ(got, want) << level;
        // Level 1: 0.25, 0.40, 1.2, 0.31 mg/L and 0.5, 0.8 g/L; level 2: 0.40 and 1.2 mg/L.
        EXPECT_EQ(want.size(), level == 1 ? 6 : 2);
        const QString opt = QString::number(level);
        const brtxtest::CliRun list =
            brtxtest::runCli({"history", "--all-devices", "--over-limit", opt});
        EXPECT_EQ(list.code, 0);
        EXPECT_EQ(list.out.size(), want.size() + 1) << list.out.join('\n').toStdString();
        const brtxtest::CliRun stats = brtxtest::runCli(
            {"stats", "--all-devices", "--over-limit=" + opt, "--by", "mode", "--format", "csv"});
        qint64 tests = 0;
        for (const QString& line : stats.out.mid(1))
            tests += line.section(',', 2, 2).toLongLong();
        EXPECT_EQ(tests, want.size()) << stats.out.join('\n').toStdString();
    }
    EXPECT_EQ(brtxtest::runCli({"history", "--all-devices", "--over-limit", "3"}).code, 2);
}

// The PDF report's page names the limit a result reaches (the boundary included) and says
// nothing for a result under it, a refusal or a unit without limits.
TEST_F(StatsTest, ReportPageNamesTheLimitReached) {
    home.writeLanguage("[Global]\nLanguage=English\nLimits=mg/L:0.25,0.40\n[English]\n"
                       "OverLimit=At or over limit %1 (%2 %3)\n");
    const CLanguage texts;
    const QString page = "<html><body class=\"bg\"><p>report</p></body></html>";
    struct Case {
        const char* result;
        const char* unit;
        const char* line; // "" none
    };
    for (const Case& c :
         {Case{"0.25", "mg/L", "At or over limit 1 (0.25 mg/L)"},
          Case{"0.40", "mg/L", "At or over limit 2 (0.40 mg/L)"}, Case{"0.249", "mg/L", ""},
          Case{"---", "mg/L", ""}, Case{"0.9", "g/L", ""}}) {
        const QStringList cells{"D1", "1", "2024-01-01", "08:00:00", "Auto", c.result, c.unit};
        const QString html = WithLimitLine(page, cells, texts);
        if (*c.line)
            EXPECT_TRUE(html.startsWith("<html><body class=\"bg\"><div class=\"over-limit\"") &&
                        html.contains(c.line))
                << qPrintable(html);
        else
            EXPECT_EQ(html, page) << c.result;
    }
}
