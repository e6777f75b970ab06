// The two tables, their stored texts, the ValueInfo indexes and TitleInfo replacement.
#include "store/Schema.h"
#include "store/Statements.h"

#include "app/base/Paths.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

using SQLite::Database;
using SQLite::Table;

namespace {

const QString kTabs = "\t\t\t\t\t\t";
const QString kSpaces25 = QString(25, ' ');

// The texts sqlite_master holds for files made by the program: the statements as created,
// without "IF NOT EXISTS" and the final ';'.
QString ExpectedTitleInfo() {
    QString cols;
    for (int i = 1; i <= 20; ++i) {
        if (i == 5 || i == 8 || i == 13 || i == 18)
            cols += kTabs;
        cols += QString("title%1 varchar(100),").arg(i);
    }
    return "CREATE TABLE TitleInfo(" + cols + "titleindex varchar(100)," + kSpaces25 +
           "DeviceID varchar(100) UNIQUE)";
}

QString ExpectedValueInfo() {
    QStringList names = {"Machine_NO",  "Record_No",  "Date_Date",   "Time_Time", "Test_Mode",
                         "Test_Result", "Test_Unit",  "Reserve1",    "Reserve2",  "Reserve3",
                         "Reserve4",    "FieldGroup", "FieldSelect", "Reserve5",  "Reserve6"};
    for (int i = 1; i <= 20; ++i)
        names << QString("Field%1").arg(i);
    names << "GPS"
          << "Path"
          << "PictureName";
    const QStringList tabbed = {"Test_Mode", "Reserve1", "FieldGroup", "Reserve5",
                                "Field2",    "Field9",   "Field16",    "GPS"};
    QStringList cols;
    for (const QString& n : names)
        cols << (tabbed.contains(n) ? kTabs : QString()) + n + " varchar(50)";
    return "CREATE TABLE ValueInfo(" + cols.join(',') + ")";
}

QStringList IndexColumns(Database& db, const QString& index) {
    QStringList cols;
    const Table t = db.QuerySQL("PRAGMA index_info('" + SQLite::Quote(index) + "')");
    for (int r = 0; r < t.GetRowCount(); ++r)
        cols << t.Cell(r, 2);
    return cols;
}

// Index name -> its columns, for every index on ValueInfo.
QMap<QString, QStringList> ValueInfoIndexes(Database& db) {
    QMap<QString, QStringList> out;
    const Table t =
        db.QuerySQL("SELECT name FROM sqlite_master WHERE type='index' AND tbl_name='ValueInfo'");
    for (int r = 0; r < t.GetRowCount(); ++r)
        out.insert(t.Cell(r, 0), IndexColumns(db, t.Cell(r, 0)));
    return out;
}

void ExpectBothIndexes(Database& db) {
    const QList<QStringList> cols = ValueInfoIndexes(db).values();
    EXPECT_TRUE(cols.contains(QStringList({"Machine_NO", "Record_No", "Date_Date", "Time_Time"})));
    EXPECT_TRUE(cols.contains(QStringList({"Machine_NO", "Date_Date"})));
}

QString Plan(Database& db, const QString& sql) {
    const Table t = db.QuerySQL("EXPLAIN QUERY PLAN " + sql);
    QStringList details;
    for (int r = 0; r < t.GetRowCount(); ++r)
        details << t.Cell(r, t.GetColCount() - 1);
    return details.join(" | ");
}

} // namespace

TEST(Schema, StoredTextsMatchFilesMadeElsewhere) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    const Table t = db.QuerySQL("SELECT name, sql FROM sqlite_master WHERE type='table' "
                                "ORDER BY rowid");
    ASSERT_EQ(t.GetRowCount(), 2);
    EXPECT_EQ(t.Cell(0, 0), "TitleInfo"); // made first
    EXPECT_EQ(t.Cell(0, 1), ExpectedTitleInfo());
    EXPECT_EQ(t.Cell(1, 0), "ValueInfo");
    EXPECT_EQ(t.Cell(1, 1), ExpectedValueInfo());
    // The statements themselves.
    EXPECT_EQ(QString(Schema::kCreateTitleInfo),
              QString(ExpectedTitleInfo()).replace("CREATE TABLE ", "CREATE TABLE IF NOT EXISTS ") +
                  ";");
    EXPECT_EQ(QString(Schema::kCreateValueInfo),
              QString(ExpectedValueInfo()).replace("CREATE TABLE ", "CREATE TABLE IF NOT EXISTS ") +
                  ";");
    EXPECT_EQ(QString(Schema::kCreateValueInfo).count('\t'), 8 * 6);
    EXPECT_EQ(QString(Schema::kCreateTitleInfo).count('\t'), 4 * 6);
}

TEST(Schema, CreatingTwiceKeepsDataAndIndexesExistOnANewFile) {
    brtxtest::TempHome home(false);
    {
        Database db;
        ASSERT_EQ(db.Open(GetDatabasePath()), 0);
        ASSERT_TRUE(Schema::CreateTables(db));
        ExpectBothIndexes(db);
        ASSERT_EQ(db.ExecuteSQL(Statements::InsertValueInfo({"M1", "1", "2024-01-02"})), 0);
        ASSERT_EQ(db.ExecuteSQL(Statements::ReplaceTitleInfo({"A"}, 1, "M1")), 0);
    }
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    EXPECT_TRUE(Schema::CreateTables(db));
    EXPECT_TRUE(Schema::CreateTables(db));
    EXPECT_EQ(db.QuerySQL("SELECT * FROM ValueInfo").GetRowCount(), 1);
    EXPECT_EQ(db.QuerySQL("SELECT * FROM TitleInfo").GetRowCount(), 1);
    EXPECT_EQ(db.QuerySQL("SELECT name FROM sqlite_master WHERE type='table'").GetRowCount(), 2);
    EXPECT_EQ(ValueInfoIndexes(db).size(), 2);
}

TEST(Schema, AnOldFileWithoutIndexesGainsThemAndKeepsItsRows) {
    brtxtest::TempHome home(false);
    {
        // A file as other copies of the program make it: both tables, rows, no index.
        Database old;
        ASSERT_EQ(old.Open(GetDatabasePath()), 0);
        ASSERT_EQ(old.ExecuteSQL(Schema::kCreateTitleInfo), 0);
        ASSERT_EQ(old.ExecuteSQL(Schema::kCreateValueInfo), 0);
        for (int i = 1; i <= 30; ++i)
            ASSERT_EQ(old.ExecuteSQL(Statements::InsertValueInfo(
                          {"000000000042", QString::number(i), "2024-03-01", "10:00:00"})),
                      0);
        EXPECT_TRUE(ValueInfoIndexes(old).isEmpty());
    }
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    ExpectBothIndexes(db);
    EXPECT_EQ(db.QuerySQL(Statements::CountRecords("000000000042")).Cell(0, 0), "30");
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");

    // The lookups the program makes use them.
    EXPECT_TRUE(Plan(db, Statements::SelectDuplicate("000000000042", "7", "2024-03-01", "10:00:00"))
                    .contains("INDEX"));
    EXPECT_TRUE(
        Plan(db, Statements::SelectHistory({1, 2}, "000000000042", "2024-01-01", "2024-12-31"))
            .contains("INDEX"));
    EXPECT_TRUE(Plan(db, Statements::CountRecords("000000000042")).contains("INDEX"));
}

TEST(Schema, AnIndexThatCannotBeMadeDoesNotFailTheTables) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    // Something else already holds the name of one index.
    ASSERT_EQ(db.ExecuteSQL("CREATE TABLE ValueInfo_Record(a)"), 0);
    EXPECT_TRUE(Schema::CreateTables(db));
    const QList<QStringList> cols = ValueInfoIndexes(db).values();
    EXPECT_EQ(cols, QList<QStringList>({QStringList({"Machine_NO", "Date_Date"})}));
    EXPECT_EQ(db.ExecuteSQL(Statements::InsertValueInfo({"M"})), 0);
}

TEST(Schema, ReplaceOnTheSameDeviceLeavesOneTitleRow) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    QStringList first(20, "old");
    QStringList second;
    for (int i = 1; i <= 20; ++i)
        second << QString::fromUtf8("标题%1").arg(i);
    ASSERT_EQ(db.ExecuteSQL(Statements::ReplaceTitleInfo(first, 1, "DEV1")), 0);
    ASSERT_EQ(db.ExecuteSQL(Statements::ReplaceTitleInfo(first, 1, "DEV2")), 0);
    ASSERT_EQ(db.ExecuteSQL(Statements::ReplaceTitleInfo(second, 1, "DEV1")), 0);

    EXPECT_EQ(db.QuerySQL("SELECT * FROM TitleInfo").GetRowCount(), 2);
    const Table t = db.QuerySQL(Statements::SelectTitles("DEV1"));
    ASSERT_EQ(t.GetRowCount(), 1);
    ASSERT_EQ(t.GetColCount(), 22);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(t.Cell(0, i), second[i]);
    EXPECT_EQ(t.Cell(0, 20), "1");
    EXPECT_EQ(t.Cell(0, 21), "DEV1");
}
