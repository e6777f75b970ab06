// Statistics over the central store count what the local database counts for the same records
// (every grouping, refusals, results that are no numbers or do not fit a double, units written
// with blanks and in another case, limit boundaries, dates that are no calendar dates), the
// over-limit filter and a chart's bar select the same records, and brtx-cli stats --central
// prints what brtx-cli stats prints.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "central/CentralRecordSource.h"
#include "central/CentralSync.h"
#include "history/core/LocalRecordSource.h"
#include "history/core/Stats.h"
#include "history/page/StatsView.h"
#include "store/SQLite.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";
const char* const kLimits = "mg/L:0.25,0.40;g/L:0.5";

struct Synced {
    TempHome home;
    PgTestDb pg;
    bool ok = false;
    Synced() {
        if (!pg.Ok())
            return;
        QFile assets(sourceDir() + "/assets/Language.ini");
        if (!assets.open(QIODevice::ReadOnly))
            return;
        home.writeLanguage(
            assets.readAll().replace("[Global]", "[Global]\nLimits=" + QByteArray(kLimits)));
        FillLocalStore(home.path(), kDevice, 40);
        FillLocalStore(home.path(), "DEV2", 15);
        SQLite::Database db;
        db.Open(home.file("brtx.db"));
        // Modes, hours, days over two months, officers (some empty or missing).
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Mode = CASE CAST(Record_No AS INTEGER) % 5 WHEN "
                      "0 THEN 'Refuse' WHEN 2 THEN 'Manual' WHEN 3 THEN 'Discontinued' ELSE "
                      "'Auto' END, Time_Time = printf('%02d:%02d:00', (Record_No * 5) % 24, "
                      "Record_No % 60), Date_Date = date('2024-02-20', '+' || (Record_No * 3 % "
                      "50) || ' days'), Field1 = CASE Record_No % 4 WHEN 0 THEN '' WHEN 1 THEN "
                      "NULL ELSE 'Officer ' || (Record_No % 3) END");
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Result = '' WHERE Test_Mode = 'Refuse'");
        // Results at each limit, just under one, no numbers, too large for a double, blanks.
        const char* const results[][2] = {{"2", "0.25"},       {"3", "0.40"},  {"4", "n/a"},
                                          {"7", " 12 "},       {"8", "+3"},    {"9", "1e400"},
                                          {"11", "0.2499999"}, {"13", "-0.5"}, {"14", "1e-3"}};
        for (const auto& r : results)
            db.ExecuteSQL(QStringLiteral("UPDATE ValueInfo SET Test_Result = '%1' WHERE "
                                         "Record_No = '%2'")
                              .arg(QLatin1String(r[1]), QLatin1String(r[0])));
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Unit = 'g/L', Test_Result = Record_No / 10.0 "
                      "WHERE Machine_NO = 'DEV2'");
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Unit = ' MG/L ' WHERE Machine_NO = 'DEV2' AND "
                      "Record_No IN ('3', '4')");
        // A day past the month's end and a month that is none.
        db.ExecuteSQL("UPDATE ValueInfo SET Date_Date = '2024-02-30' WHERE Record_No = '21'");
        db.ExecuteSQL("UPDATE ValueInfo SET Date_Date = '2024-13-01' WHERE Record_No = '22'");
        db.Close();
        Central::SyncOptions o;
        o.conninfo = pg.Conninfo();
        ok = Central::SyncToCentral(o).ok;
    }
};

QVector<QStringList> Table(const StatsRequest& request, const QVector<StatsRow>& rows) {
    QVector<QStringList> out;
    for (const StatsRow& row : rows)
        out << StatsCells(request, row);
    return out;
}

} // namespace

TEST(CentralStats, EveryGroupingCountsWhatTheLocalDatabaseCounts) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    CCentralRecordSource central{s.pg.Conninfo(), QString(), CLanguage()};
    CLocalRecordSource local{QString(), CLanguage()};
    struct Case {
        const char* by;
        double width;
        const char* unit;
    };
    const Case cases[] = {{"day", 0, ""},   {"week", 0, ""},          {"month", 0, ""},
                          {"hour", 0, ""},  {"weekday", 0, ""},       {"device", 0, ""},
                          {"mode", 0, ""},  {"field:title 1", 0, ""}, {"bin", 0.05, "mg/L"},
                          {"bin", 0.1, ""}, {"heat", 0, ""}};
    int compared = 0;
    for (const Case& c : cases) {
        for (const bool all : {true, false}) {
            StatsRequest request;
            QString error;
            if (QByteArray(c.by) == "bin") {
                request.by = StatsBy::Bin;
                request.binWidth = c.width;
            } else if (QByteArray(c.by) == "heat") {
                request.by = StatsBy::HourWeekday;
            } else {
                ASSERT_TRUE(ParseStatsBy(c.by, request, error)) << c.by;
            }
            request.limits = CLimits::Parse(kLimits);
            HistoryFilter f;
            f.allDevices = all;
            f.device = kDevice;
            f.unit = c.unit;
            QVector<StatsRow> want, got;
            ASSERT_TRUE(local.Stats(f, request, want, &error)) << c.by << qPrintable(error);
            ASSERT_TRUE(central.Stats(f, request, got, &error)) << c.by << qPrintable(error);
            EXPECT_EQ(Table(request, got), Table(request, want)) << c.by << (all ? " all" : "");
            compared += int(want.size());
        }
    }
    EXPECT_GT(compared, 200);

    // An independent count of the central table: refusals and tests of the one device.
    QVector<StatsRow> modes;
    StatsRequest byMode;
    byMode.by = StatsBy::Mode;
    HistoryFilter one;
    one.device = kDevice;
    QString error;
    ASSERT_TRUE(central.Stats(one, byMode, modes, &error));
    qint64 refusals = 0, tests = 0;
    for (const StatsRow& row : modes) {
        refusals += row.modes[2];
        tests += row.tests;
    }
    EXPECT_EQ(QString::number(refusals),
              s.pg.Value("SELECT count(*) FROM records WHERE machine_no = '0123456789' AND "
                         "test_mode = 'Refuse'"));
    EXPECT_EQ(tests, 40);

    // A heading no column has.
    bool noColumn = false;
    StatsRequest bad;
    bad.by = StatsBy::Field;
    bad.field = "Nope";
    EXPECT_FALSE(central.Stats(one, bad, modes, &error, &noColumn));
    EXPECT_TRUE(noColumn);
}

// The over-limit filter and the choices of a chart's bar list the records the local list
// lists; the tab's bars over the central store each list exactly the records they count.
TEST(CentralStats, FiltersAndBarsSelectTheSameRecords) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    CCentralRecordSource central{s.pg.Conninfo(), QString(), CLanguage()};
    CLocalRecordSource local{QString(), CLanguage()};
    auto keys = [](IRecordSource& source, const HistoryFilter& f) {
        QStringList out;
        QString error;
        source.Stream(
            f, HistorySort(),
            [&out](const HistoryRow& r) {
                out << r.machineNo + '/' + r.recordNo;
                return true;
            },
            &error);
        return out;
    };
    HistoryFilter all;
    all.allDevices = true;
    QVector<HistoryFilter> filters;
    for (int level : {1, 2}) {
        HistoryFilter f = all;
        f.overLimit = level;
        filters << f;
    }
    HistoryFilter f = all;
    f.unit = "MG/L";
    f.binWidth = 0.05;
    f.bin = 5; // 0.25 .. 0.30
    filters << f;
    f = all;
    f.hour = 10;
    filters << f;
    f = all;
    f.weekday = 3;
    filters << f;
    f = all;
    f.fieldHeading = "Title 1";
    f.fieldValue = QString();
    filters << f;
    f.fieldValue = "Officer 1";
    f.overLimit = 1;
    filters << f;
    for (int i = 0; i < filters.size(); ++i) {
        const HistoryFilter& filter = filters[i];
        const QStringList want = keys(local, filter);
        EXPECT_FALSE(want.isEmpty()) << i;
        EXPECT_EQ(keys(central, filter), want) << i;
        qint64 count = -1;
        QString error;
        ASSERT_TRUE(central.Count(filter, count, &error)) << qPrintable(error);
        EXPECT_EQ(count, want.size()) << i;
    }

    CStatsView view{CLanguage()};
    view.resize(1000, 700);
    view.SetSource(std::make_shared<CCentralRecordSource>(s.pg.Conninfo(), QString(), CLanguage()));
    view.show();
    QVector<HistoryColumn> columns;
    QString error;
    ASSERT_TRUE(central.Columns(all, columns, &error));
    view.SetFilter(all, columns, CLimits::Parse(kLimits));
    for (CStatsView::Chart chart : {CStatsView::Period, CStatsView::Results, CStatsView::Heat,
                                    CStatsView::Field, CStatsView::Device}) {
        view.SetChart(chart);
        QElapsedTimer wait;
        wait.start();
        while (view.Busy() && wait.elapsed() < 30000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_FALSE(view.Busy()) << int(chart);
        int clickable = 0;
        for (const CStatsView::Bar& bar : view.Bars()) {
            if (!bar.clickable)
                continue;
            ++clickable;
            qint64 count = -1;
            ASSERT_TRUE(central.Count(bar.filter, count, &error)) << qPrintable(error);
            EXPECT_EQ(count, bar.records) << int(chart) << qPrintable(bar.category);
        }
        EXPECT_GT(clickable, 0) << int(chart);
    }
}

TEST(CentralStats, CommandLinePrintsWhatTheLocalCommandPrints) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    for (const QStringList& args :
         {QStringList{"--all-devices", "--by", "week", "--format", "csv"},
          QStringList{"--device", kDevice, "--by", "field:Title 1", "--over-limit", "1"}}) {
        const CliRun local = runCli(QStringList{"stats"} + args);
        const CliRun central = runCli(QStringList{"stats", "--central=" + s.pg.Conninfo()} + args);
        ASSERT_EQ(local.code, 0) << local.err.toStdString();
        ASSERT_EQ(central.code, 0) << central.err.toStdString();
        EXPECT_GT(local.out.size(), 2);
        EXPECT_EQ(central.out, local.out) << args.join(' ').toStdString();
    }
    const CliRun missing =
        runCli({"stats", "--central=" + s.pg.Conninfo(), "--all-devices", "--by", "field:Nope"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains("no column")) << missing.err.toStdString();
}
