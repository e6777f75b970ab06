// The history list read from a real brtx.db: filters, order, paging, all devices, bad input.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/TestSupport.h"
#include "history/core/LocalRecordSource.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <gtest/gtest.h>

using historytest::Db;
using historytest::Record;

namespace {

// A record with its own field texts (Field1 = name, Field2 = plate).
void Add(Db& db, const Record& r, const QString& name, const QString& plate) {
    QStringList v = historytest::Values(r);
    v[15] = name;
    v[16] = plate;
    db.db().ExecuteSQL(Statements::InsertValueInfo(v));
}

class LocalRecordSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Db db;
        db.Titles("DEV1", {"Name", "Plate"});
        db.Titles("DEV2", {"Plate", "", "Place"});
        Add(db, {"DEV1", "9", "2024-03-01", "08:00:00", "Auto", "0.250"}, "Müller", "AB-12");
        Add(db, {"DEV1", "10", "2024-03-02", "09:00:00", "Manual", "0.050"}, "O'Brien; DROP",
            "100%_x");
        Add(db, {"DEV1", "11", "2024-03-03", "07:00:00", "Refuse", "---"}, "张伟", "C\\D");
        Add(db, {"DEV1", "2", "2024-04-01", "10:00:00", "Auto", "1.5"}, "ärger", "zz");
        Add(db, {"DEV2", "3", "2024-03-05", "11:00:00", "Auto", "0.3", "g/L"}, "P-77", "");
    }
    static QStringList Numbers(CLocalRecordSource& source, const HistoryFilter& filter,
                               HistorySort sort = {}) {
        QStringList out;
        QString error;
        const bool ok = source.Stream(
            filter, sort,
            [&out](const HistoryRow& row) {
                out << row.recordNo;
                return true;
            },
            &error);
        EXPECT_TRUE(ok) << qPrintable(error);
        return out;
    }
    static HistoryFilter Dev1() {
        HistoryFilter f;
        f.device = "DEV1";
        return f;
    }
    brtxtest::TempHome home;
};

} // namespace

TEST_F(LocalRecordSourceTest, FiltersPickTheRightRows) {
    struct Case {
        const char* what;
        std::function<void(HistoryFilter&)> set;
        QStringList expected; // record numbers, default order (as numbers, descending)
    };
    const QVector<Case> cases = {
        {"none", [](HistoryFilter&) {}, {"11", "10", "9", "2"}},
        {"dates", [](HistoryFilter& f) { f.endDate = "2024-03-02"; }, {"10", "9"}},
        {"mode", [](HistoryFilter& f) { f.mode = TestModeFilter::Auto; }, {"9", "2"}},
        {"min", [](HistoryFilter& f) { f.minResult = 0.2; }, {"9", "2"}},
        {"range", [](HistoryFilter& f) { f.minResult = 0.0, f.maxResult = 0.3; }, {"10", "9"}},
        {"search ascii case", [](HistoryFilter& f) { f.search = "ab-"; }, {"9"}},
        {"search non-ascii case", [](HistoryFilter& f) { f.search = "MÜLL"; }, {"9"}},
        {"search folds Ä", [](HistoryFilter& f) { f.search = "ÄRG"; }, {"2"}},
        {"search chinese", [](HistoryFilter& f) { f.search = "张"; }, {"11"}},
        {"search quote and SQL", [](HistoryFilter& f) { f.search = "'brien; drop"; }, {"10"}},
        {"search percent", [](HistoryFilter& f) { f.search = "%"; }, {"10"}},
        {"search underscore", [](HistoryFilter& f) { f.search = "0%_"; }, {"10"}},
        {"search backslash", [](HistoryFilter& f) { f.search = "\\"; }, {"11"}},
        {"search injection", [](HistoryFilter& f) { f.search = "x') OR 1=1 --"; }, {}},
        {"search shown mode", [](HistoryFilter& f) { f.search = "refused"; }, {"11"}},
        {"search gps", [](HistoryFilter& f) { f.search = "11.25"; }, {"11"}},
        {"search date", [](HistoryFilter& f) { f.search = "04-01"; }, {"2"}},
        {"everything",
         [](HistoryFilter& f) { f.search = "a", f.mode = TestModeFilter::Auto, f.maxResult = 1.0; },
         {"9"}},
    };
    CLocalRecordSource source;
    for (const Case& c : cases) {
        HistoryFilter f = Dev1();
        c.set(f);
        EXPECT_EQ(Numbers(source, f), c.expected) << c.what;
        qint64 count = -1;
        EXPECT_TRUE(source.Count(f, count, nullptr));
        EXPECT_EQ(count, c.expected.size()) << c.what;
    }
    // The statement never carries a value; the table is still whole.
    EXPECT_EQ(Numbers(source, Dev1()).size(), 4);
}

TEST_F(LocalRecordSourceTest, SortsByKind) {
    struct Case {
        int column;
        bool descending;
        QStringList expected;
    };
    // Columns: 0 device, 1 record, 2 date, 3 time, 4 mode, 5 result, 6 unit, 7 Name, 8 Plate.
    const QVector<Case> cases = {
        {1, false, {"2", "9", "10", "11"}}, // numbers, not text
        {1, true, {"11", "10", "9", "2"}},
        {5, false, {"11", "10", "9", "2"}}, // "---" first, then 0.05 < 0.25 < 1.5
        {5, true, {"2", "9", "10", "11"}},
        {2, true, {"2", "11", "10", "9"}},
        {3, false, {"11", "9", "10", "2"}},
        {7, false, {"2", "9", "10", "11"}}, // ärger, Müller, O'Brien, 张伟 by locale
    };
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    CLocalRecordSource source;
    for (const Case& c : cases)
        EXPECT_EQ(Numbers(source, Dev1(), {c.column, c.descending}), c.expected)
            << c.column << (c.descending ? " desc" : " asc");
    QString error;
    QVector<HistoryRow> rows;
    EXPECT_FALSE(source.Fetch(Dev1(), {42, false}, 0, 10, rows, &error));
    EXPECT_FALSE(error.isEmpty());
    QLocale::setDefault(QLocale::system());
}

TEST_F(LocalRecordSourceTest, AllDevicesUniteTheTitles) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    CLocalRecordSource source;
    HistoryFilter f;
    f.allDevices = true;
    QVector<HistoryColumn> columns;
    ASSERT_TRUE(source.Columns(f, columns, nullptr));
    QStringList headings;
    for (const HistoryColumn& c : columns)
        headings << c.heading;
    EXPECT_EQ(headings.mid(7), QStringList({"Name", "Plate", "Place", "GPS"}));

    QStringList devices;
    ASSERT_TRUE(source.DeviceList(devices, nullptr));
    EXPECT_EQ(devices, QStringList({"DEV1", "DEV2"}));

    // DEV2 holds its plate in Field1 and its place in Field3; it has no name.
    f.search = "p-77";
    QVector<HistoryRow> rows;
    ASSERT_TRUE(source.Fetch(f, {}, 0, 10, rows, nullptr));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].cells.mid(7), QStringList({"", "P-77", "F3-3", "3.5 3.25"}));
    EXPECT_EQ(rows[0].cells[6], "g/L");

    // Searching for the untitled Field4 finds nothing; DEV1's plate column does.
    f.search = "F4-";
    EXPECT_TRUE(Numbers(source, f).isEmpty());
    f.search = "AB-12";
    EXPECT_EQ(Numbers(source, f), QStringList({"9"}));

    // Default order: device, then record number as a number, both descending.
    f.search.clear();
    EXPECT_EQ(Numbers(source, f), QStringList({"3", "11", "10", "9", "2"}));
    // Sorted by the union column Plate: DEV2's Field1, DEV1's Field2.
    EXPECT_EQ(Numbers(source, f, {8, false}), QStringList({"10", "9", "11", "3", "2"}));
    QLocale::setDefault(QLocale::system());
}

TEST(LocalSourceOrder, NewestRecordNumberFirstPerDevice) {
    struct Case {
        const char* what;
        QVector<QPair<QString, QString>> stored; // (device, record number) in download order
        bool allDevices;
        QStringList expected; // "device/record" in list order
    };
    QVector<QPair<QString, QString>> forty;
    QStringList fortyDown;
    for (int n = 1; n <= 40; ++n)
        forty.append({"D1", QString::number(n)});
    for (int n = 40; n >= 1; --n)
        fortyDown << QStringLiteral("D1/%1").arg(n);
    const QVector<Case> cases = {
        {"forty records", forty, false, fortyDown},
        {"devices newest first each",
         {{"A", "9"}, {"B", "100"}, {"A", "10"}, {"B", "99"}, {"A", "1"}, {"B", "1000"}},
         true,
         {"B/1000", "B/100", "B/99", "A/10", "A/9", "A/1"}},
        {"one device of several", {{"A", "9"}, {"B", "100"}, {"A", "10"}}, false, {"A/10", "A/9"}},
        {"texts that are no number last, alike numbers by text",
         {{"A", "x1"}, {"A", "7"}, {"A", "07"}, {"A", "12"}, {"A", ""}},
         false,
         {"A/12", "A/7", "A/07", "A/x1", "A/"}},
    };
    for (const Case& c : cases) {
        brtxtest::TempHome home;
        {
            Db db;
            for (const auto& [device, record] : c.stored)
                db.Add({device, record, "2024-06-01"});
        }
        CLocalRecordSource source;
        HistoryFilter f;
        f.device = c.stored.first().first;
        f.allDevices = c.allDevices;
        QStringList streamed;
        ASSERT_TRUE(source.Stream(
            f, {},
            [&](const HistoryRow& r) {
                streamed << r.machineNo + '/' + r.recordNo;
                return true;
            },
            nullptr));
        EXPECT_EQ(streamed, c.expected) << c.what;
        // Pages read from the far end (a count first) give the same order.
        qint64 count = 0;
        ASSERT_TRUE(source.Count(f, count, nullptr));
        QStringList paged;
        for (qint64 offset = 0; offset < count; offset += 3) {
            QVector<HistoryRow> rows;
            ASSERT_TRUE(source.Fetch(f, {}, offset, 3, rows, nullptr));
            for (const HistoryRow& r : rows)
                paged << r.machineNo + '/' + r.recordNo;
        }
        EXPECT_EQ(paged, c.expected) << c.what;
    }
}

TEST_F(LocalRecordSourceTest, PagesFromEitherEndMatchTheStream) {
    {
        Db db;
        db.AddMany("BIG", 1000, "2024-05-05");
    }
    CLocalRecordSource source;
    HistoryFilter f;
    f.device = "BIG";
    for (HistorySort sort : {HistorySort{}, HistorySort{1, false}, HistorySort{1, true},
                             HistorySort{5, true}, HistorySort{7, false}}) {
        QStringList streamed;
        ASSERT_TRUE(source.Stream(
            f, sort,
            [&](const HistoryRow& r) {
                streamed << r.recordNo;
                return true;
            },
            nullptr));
        qint64 count = 0;
        ASSERT_TRUE(source.Count(f, count, nullptr));
        ASSERT_EQ(count, 1000);
        QStringList paged;
        for (qint64 offset = 0; offset < count; offset += 70) {
            QVector<HistoryRow> rows;
            ASSERT_TRUE(source.Fetch(f, sort, offset, 70, rows, nullptr));
            for (const HistoryRow& r : rows)
                paged << r.recordNo;
        }
        EXPECT_EQ(paged, streamed) << sort.column;
    }
}

TEST_F(LocalRecordSourceTest, NeverCreatesOrChangesTheFile) {
    const QString missing = home.file("none/brtx.db");
    CLocalRecordSource none(missing);
    QString error;
    QStringList devices;
    EXPECT_FALSE(none.DeviceList(devices, &error));
    EXPECT_TRUE(error.contains(missing)) << qPrintable(error);
    EXPECT_FALSE(QFile::exists(missing));

    const QString damaged = home.file("damaged.db");
    QFile file(damaged);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(8192, 'x'));
    file.close();
    CLocalRecordSource bad(damaged);
    qint64 count = 0;
    error.clear();
    EXPECT_FALSE(bad.Count(Dev1(), count, &error));
    EXPECT_FALSE(error.isEmpty());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(8192, 'x'));
    EXPECT_FALSE(QFile::exists(damaged + "-journal"));
    EXPECT_FALSE(QFile::exists(damaged + "-wal"));

    // A query on a whole database leaves its bytes as they were.
    auto hash = [] {
        QFile f(GetDatabasePath());
        f.open(QIODevice::ReadOnly);
        return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
    };
    const QByteArray before = hash();
    CLocalRecordSource source;
    HistoryFilter f = Dev1();
    f.search = "x";
    EXPECT_TRUE(source.Count(f, count, nullptr));
    EXPECT_EQ(hash(), before);
}

TEST_F(LocalRecordSourceTest, ReadsWhileADownloadWrites) {
    // The writer holds an open transaction with new rows: the list shows what was committed.
    Db writer;
    writer.db().ExecuteSQL("BEGIN IMMEDIATE");
    Add(writer, {"DEV1", "77", "2024-03-09"}, "New", "N");
    CLocalRecordSource source;
    qint64 count = 0;
    QString error;
    EXPECT_TRUE(source.Count(Dev1(), count, &error)) << qPrintable(error);
    EXPECT_EQ(count, 4);
    writer.db().ExecuteSQL("COMMIT");
    EXPECT_TRUE(source.Count(Dev1(), count, &error)) << qPrintable(error);
    EXPECT_EQ(count, 5);
}

TEST(LocalSourcePicture, OnlyFilesUnderThePictureFolderAreRead) {
    brtxtest::TempHome home;
    QDir().mkpath(home.file("pic/D1"));
    for (const char* name : {"pic/D1/00001.jpg", "secret.jpg"}) {
        QFile f(home.file(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(name);
    }
    CLocalRecordSource source;
    const struct {
        const char* path;
        QByteArray bytes;
    } cases[] = {{"\\D1\\00001.jpg", "pic/D1/00001.jpg"},
                 {"/D1/00001.jpg", "pic/D1/00001.jpg"},
                 {"\\..\\secret.jpg", ""},
                 {"", ""}};
    for (const auto& c : cases) {
        HistoryRow row;
        row.path = QString::fromLatin1(c.path);
        EXPECT_EQ(source.Picture(row), c.bytes) << c.path;
    }
}
