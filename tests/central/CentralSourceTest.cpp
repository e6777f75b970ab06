// The history list read from the central store gives what the local database gives.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include "base/Language.h"
#include "central/CentralRecordSource.h"
#include "central/CentralSync.h"
#include "history/core/HistoryQuery.h"
#include "history/core/LocalRecordSource.h"
#include "store/SQLite.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";

struct Synced {
    TempHome home;
    PgTestDb pg;
    bool ok = false;
    Synced() {
        if (!pg.Ok())
            return;
        FillLocalStore(home.path(), kDevice, 30, 500);
        FillLocalStore(home.path(), "DEV2", 12);
        SQLite::Database db;
        db.Open(home.file("brtx.db"));
        db.ExecuteSQL("UPDATE TitleInfo SET title1='', title3='Other' WHERE DeviceID='DEV2'");
        // Results that are not plain numbers, and a title twice in one device.
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Result='n/a' WHERE Record_No='4'");
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Result=' 12 ' WHERE Record_No='5'");
        db.ExecuteSQL("UPDATE ValueInfo SET Test_Result='+3' WHERE Record_No='6'");
        db.ExecuteSQL("UPDATE TitleInfo SET title5='Title 2' WHERE DeviceID='DEV2'");
        db.Close();
        Central::SyncOptions o;
        o.conninfo = pg.Conninfo();
        ok = Central::SyncToCentral(o).ok;
    }
};

QStringList Headings(const QVector<HistoryColumn>& columns) {
    QStringList out;
    for (const HistoryColumn& c : columns)
        out << c.heading;
    return out;
}

} // namespace

TEST(CentralSource, OneDeviceListsWhatTheLocalDatabaseLists) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    CCentralRecordSource source(s.pg.Conninfo());
    QStringList devices;
    QString error;
    ASSERT_TRUE(source.DeviceList(devices, &error)) << error.toStdString();
    EXPECT_EQ(devices, (QStringList{kDevice, "DEV2"}));

    HistoryFilter filter;
    filter.device = kDevice;
    const HistoryList local =
        QueryHistoryList(CLanguage(), kDevice, EarliestQueryDate(), LatestQueryDate());
    QVector<HistoryColumn> columns;
    ASSERT_TRUE(source.Columns(filter, columns, &error));
    EXPECT_EQ(Headings(columns), local.headings);
    qint64 count = 0;
    ASSERT_TRUE(source.Count(filter, count, &error));
    EXPECT_EQ(count, 30);
    // Default order, fetched in pieces as the lazy list does.
    QVector<QStringList> rows;
    for (qint64 offset = 0; offset < count; offset += 7) {
        QVector<HistoryRow> page;
        ASSERT_TRUE(source.Fetch(filter, HistorySort(), offset, 7, page, &error));
        for (const HistoryRow& r : page)
            rows << r.cells;
    }
    // The local list's order: record numbers as numbers, newest first.
    QVector<QStringList> localRows;
    CLocalRecordSource localSource;
    ASSERT_TRUE(localSource.Stream(
        filter, HistorySort(),
        [&localRows](const HistoryRow& r) {
            localRows << r.cells;
            return true;
        },
        &error));
    EXPECT_EQ(rows, localRows);
    EXPECT_EQ(rows.value(0).value(1), "30");
    EXPECT_EQ(rows.value(21).value(1), "9");

    // The photograph: from the desk's file, and from the server once the file is gone.
    QVector<HistoryRow> first;
    ASSERT_TRUE(source.Fetch(filter, HistorySort(), 0, 1, first, &error));
    ASSERT_EQ(first.size(), 1);
    const QString file = s.home.path() + "/pic" + QString(first[0].path).replace('\\', '/');
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    f.close();
    EXPECT_EQ(source.Picture(first[0]), bytes);
    ASSERT_TRUE(QFile::remove(file));
    EXPECT_EQ(source.Picture(first[0]), bytes);
    // Bytes changed on the server no longer match the hash they were sent with: not shown.
    QString why;
    ASSERT_TRUE(s.pg.Db().Command("UPDATE pictures SET bytes = bytes || '\\x00'::bytea", &why))
        << why.toStdString();
    EXPECT_TRUE(source.Picture(first[0]).isEmpty());

    // The command line gives the same list, spreadsheet and report (the local list's
    // spreadsheet in the list's order, as the central one).
    for (const char* where : {"local.xls", "central.xls"}) {
        QStringList args{"export", "--device", kDevice, s.home.file(where)};
        if (QByteArray(where) == "central.xls")
            args = QStringList{"export-xls", "--central=" + s.pg.Conninfo(), "--device", kDevice,
                               s.home.file(where)};
        const CliRun xls = runCli(args);
        ASSERT_EQ(xls.code, 0) << where << xls.err.toStdString();
    }
    EXPECT_EQ(FileHash(s.home.file("central.xls")), FileHash(s.home.file("local.xls")));
    const CliRun pdf =
        runCli({"export-pdf", "--central", s.pg.Conninfo(), "--device", kDevice, "--record", "7"});
    ASSERT_EQ(pdf.code, 0) << pdf.err.toStdString();
    EXPECT_TRUE(QFile::exists(pdf.out.last())) << pdf.out.join('\n').toStdString();
    const CliRun cli = runCli({"history", "--central", s.pg.Conninfo(), "--device", kDevice});
    ASSERT_EQ(cli.code, 0) << cli.err.toStdString();
    ASSERT_EQ(cli.out.size(), 31);
    // The local row, its calibration state (the central store keeps no log) and the number
    // of desks holding it.
    EXPECT_EQ(cli.out[1].split(QLatin1Char('\t')), (localRows[0] + QStringList{"unknown", "1"}));
    EXPECT_TRUE(cli.out[0].endsWith("\tDesks"));
}

TEST(CentralSource, FiltersSortAndEveryDevice) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    CCentralRecordSource source(s.pg.Conninfo());
    QString error;
    HistoryFilter all;
    all.allDevices = true;
    QVector<HistoryColumn> columns;
    ASSERT_TRUE(source.Columns(all, columns, &error));
    const QStringList headings = Headings(columns);
    // The union of the title sets in first-seen order, GPS last.
    EXPECT_EQ(headings.mid(7, 2), (QStringList{"Title 1", "Title 2"}));
    EXPECT_EQ(headings.value(headings.size() - 2), "Other");
    EXPECT_EQ(headings.last(), GetText("GPS"));

    struct Case {
        const char* name;
        std::function<void(HistoryFilter&)> set;
        qint64 expected;
    } cases[] = {
        {"every device", [](HistoryFilter&) {}, 42},
        {"date range", [](HistoryFilter& f) { f.startDate = f.endDate = "2024-03-05"; }, 2},
        {"manual mode", [](HistoryFilter& f) { f.mode = TestModeFilter::Manual; }, 21},
        {"result range",
         [](HistoryFilter& f) {
             f.minResult = 0.005;
             f.maxResult = 0.010;
         },
         8}, // records 7 to 10 of each device: 5 and 6 hold " 12 " and "+3"
        // Record 7 of each device; DEV2 shows no field 1, but its field 10 holds "v7-10".
        {"search in a field", [](HistoryFilter& f) { f.search = "V7-1"; }, 2},
        // Only shown cells count: DEV2 shows no field 1.
        {"search Chinese", [](HistoryFilter& f) { f.search = "张三"; }, 1},
    };
    for (const Case& c : cases) {
        HistoryFilter f = all;
        c.set(f);
        qint64 count = -1;
        ASSERT_TRUE(source.Count(f, count, &error)) << c.name << error.toStdString();
        EXPECT_EQ(count, c.expected) << c.name;
        int streamed = 0;
        ASSERT_TRUE(source.Stream(
            f, HistorySort(), [&](const HistoryRow&) { return ++streamed; }, &error));
        EXPECT_EQ(streamed, c.expected) << c.name;
    }

    // DEV2's "Other" column holds its third field; its cells under "Title 3" are empty.
    HistoryFilter dev2 = all;
    dev2.search = "DEV2";
    HistorySort byOther{int(headings.indexOf("Other")), true};
    QVector<HistoryRow> rows;
    ASSERT_TRUE(source.Fetch(dev2, byOther, 0, 100, rows, &error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 12);
    EXPECT_EQ(rows[0].cells[headings.indexOf("Other")], "v9-3"); // text order, descending
    EXPECT_EQ(rows[0].cells[headings.indexOf("Title 3")], "");
    EXPECT_EQ(rows[0].machineNo, "DEV2");
}

// Every filter and every sort gives the same rows in the same order from both stores.
TEST(CentralSource, MirrorsTheLocalSourceForEveryFilterAndSort) {
    Synced s;
    BRTX_REQUIRE_PG(s.pg);
    ASSERT_TRUE(s.ok);
    CCentralRecordSource central(s.pg.Conninfo());
    CLocalRecordSource local;
    auto rows = [](IRecordSource& source, const HistoryFilter& f, const HistorySort& sort) {
        QStringList out;
        QString error;
        EXPECT_TRUE(source.Stream(
            f, sort,
            [&](const HistoryRow& r) {
                out << r.cells.join('|') + '#' + r.path;
                return true;
            },
            &error))
            << error.toStdString();
        return out;
    };
    struct Case {
        const char* name;
        std::function<void(HistoryFilter&)> set;
    } filters[] = {
        {"one device", [](HistoryFilter& f) { f.device = kDevice; }},
        {"every device", [](HistoryFilter& f) { f.allDevices = true; }},
        {"dates",
         [](HistoryFilter& f) {
             f.allDevices = true;
             f.startDate = "2024-03-04";
             f.endDate = "2024-03-09";
         }},
        {"mode",
         [](HistoryFilter& f) {
             f.allDevices = true;
             f.mode = TestModeFilter::Auto;
         }},
        {"minimum",
         [](HistoryFilter& f) {
             f.allDevices = true;
             f.minResult = 0.01;
         }},
        {"maximum",
         [](HistoryFilter& f) {
             f.device = "DEV2";
             f.maxResult = 3;
         }},
        {"search",
         [](HistoryFilter& f) {
             f.allDevices = true;
             f.search = "V1";
         }},
        {"search mode text",
         [](HistoryFilter& f) {
             f.allDevices = true;
             f.search = "manu";
         }},
    };
    for (const Case& c : filters) {
        HistoryFilter f;
        c.set(f);
        QVector<HistoryColumn> columns;
        QString error;
        ASSERT_TRUE(local.Columns(f, columns, &error));
        QVector<HistoryColumn> centralColumns;
        ASSERT_TRUE(central.Columns(f, centralColumns, &error));
        ASSERT_EQ(Headings(centralColumns), Headings(columns)) << c.name;
        for (int column = -1; column < columns.size(); ++column) {
            for (bool descending : {false, true}) {
                const HistorySort sort{column, descending};
                const QStringList expected = rows(local, f, sort);
                const QStringList got = rows(central, f, sort);
                ASSERT_EQ(got.size(), expected.size()) << c.name;
                for (int i = 0; i < got.size(); ++i)
                    ASSERT_EQ(got[i], expected[i]) << c.name << ", row " << i << ", sorted by "
                                                   << column << (descending ? " desc" : "");
                if (column < 0)
                    break;
            }
        }
    }
}
