// Statistics over a real brtx.db compared with a plain count of the records the test stored:
// every grouping, refusals, results that are no numbers, several units, limit boundaries; and
// brtx-cli stats' output, empty result and usage errors.
#include "HistoryDb.h"

#include "common/TestSupport.h"
#include "history/core/LocalRecordSource.h"
#include "history/core/Stats.h"

#include <QDate>
#include <QLocale>
#include <QMap>
#include <gtest/gtest.h>

#include <algorithm>

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
        {{"stats", "--all-devices", "--by", "hour", "--format=csv"}, 0, 10, "12,g/L,2"},
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
