// The two tables, their stored texts, and the ValueInfo indexes.
#include "store/Schema.h"
#include "store/Statements.h"

#include "base/Paths.h"
#include "common/TestSupport.h"

#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

using SQLite::Database;
using SQLite::Table;

namespace {

// The texts sqlite_master holds for files made by the program (without "IF NOT EXISTS"
// and the final ';'), spelled out with their six-tab and 25-space runs.
const QString T6 = "\t\t\t\t\t\t";
QString ExpectedTitleInfo() {
    QString cols;
    for (int i = 1; i <= 20; ++i)
        cols += (i == 5 || i == 8 || i == 13 || i == 18 ? T6 : "") +
                QString("title%1 varchar(100),").arg(i);
    return "CREATE TABLE TitleInfo(" + cols + "titleindex varchar(100)," + QString(25, ' ') +
           "DeviceID varchar(100) UNIQUE)";
}
QString ExpectedValueInfo() {
    QStringList names = QString("Machine_NO Record_No Date_Date Time_Time Test_Mode Test_Result "
                                "Test_Unit Reserve1 Reserve2 Reserve3 Reserve4 FieldGroup "
                                "FieldSelect Reserve5 Reserve6")
                            .split(' ');
    for (int i = 1; i <= 20; ++i)
        names << QString("Field%1").arg(i);
    names << "GPS"
          << "Path"
          << "PictureName";
    const QStringList tabbed = {"Test_Mode", "Reserve1", "FieldGroup", "Reserve5",
                                "Field2",    "Field9",   "Field16",    "GPS"};
    QStringList cols;
    for (const QString& n : names)
        cols << (tabbed.contains(n) ? T6 : "") + n + " varchar(50)";
    return "CREATE TABLE ValueInfo(" + cols.join(',') + ")";
}

// Index name -> its columns, for every index on ValueInfo.
QMap<QString, QStringList> ValueInfoIndexes(Database& db) {
    QMap<QString, QStringList> out;
    const Table t = db.QuerySQL("SELECT name FROM sqlite_master WHERE type='index' AND "
                                "tbl_name='ValueInfo' AND sql IS NOT NULL");
    for (const QStringList& row : t.m_rows) {
        const Table info = db.QuerySQL("PRAGMA index_info('" + SQLite::Quote(row[0]) + "')");
        for (const QStringList& col : info.m_rows)
            out[row[0]] << col[2];
    }
    return out;
}
// In the order of their names: ValueInfo_DeviceDate, ValueInfo_Record.
const QList<QStringList> kIndexes = {{"Machine_NO", "Date_Date"},
                                     {"Machine_NO", "Record_No", "Date_Date", "Time_Time"}};

bool PlanUsesIndex(Database& db, const QString& sql) {
    const Table t = db.QuerySQL("EXPLAIN QUERY PLAN " + sql);
    return t.GetRowCount() > 0 &&
           t.Cell(0, t.GetColCount() - 1)
               .contains(QRegularExpression("USING (COVERING )?INDEX ValueInfo_"));
}

} // namespace

TEST(Schema, StoredTextsMatchFilesMadeElsewhereAndCreatingTwiceKeepsData) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    const Table t = db.QuerySQL("SELECT name, sql FROM sqlite_master WHERE type='table'");
    ASSERT_EQ(t.GetRowCount(), 2);
    EXPECT_EQ(t.m_rows[0], QStringList({"TitleInfo", ExpectedTitleInfo()})); // made first
    EXPECT_EQ(t.m_rows[1], QStringList({"ValueInfo", ExpectedValueInfo()}));
    EXPECT_EQ(ValueInfoIndexes(db).values(), kIndexes);

    ASSERT_EQ(db.ExecuteSQL(Statements::InsertValueInfo({"M1", "1", "2024-01-02"})), 0);
    ASSERT_EQ(db.ExecuteSQL(Statements::ReplaceTitleInfo({"A"}, 1, "M1")), 0);
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    EXPECT_TRUE(Schema::CreateTables(db));
    EXPECT_EQ(db.QuerySQL("SELECT * FROM ValueInfo").GetRowCount(), 1);
    EXPECT_EQ(db.QuerySQL("SELECT * FROM TitleInfo").GetRowCount(), 1);
    EXPECT_EQ(db.QuerySQL("SELECT * FROM sqlite_master").GetRowCount(), 2 + 1 + 2);
}

TEST(Schema, AnOldFileWithoutIndexesGainsThemAndKeepsItsRows) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    // A file as other copies of the program make it: both tables, rows, no index.
    ASSERT_EQ(db.ExecuteSQL(Schema::kCreateTitleInfo), 0);
    ASSERT_EQ(db.ExecuteSQL(Schema::kCreateValueInfo), 0);
    for (int i = 1; i <= 30; ++i)
        ASSERT_EQ(db.ExecuteSQL(Statements::InsertValueInfo(
                      {"000000000042", QString::number(i), "2024-03-01", "10:00:00"})),
                  0);
    ASSERT_TRUE(ValueInfoIndexes(db).isEmpty());

    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    EXPECT_EQ(ValueInfoIndexes(db).values(), kIndexes);
    EXPECT_EQ(db.QuerySQL(Statements::CountRecords("000000000042")).Cell(0, 0), "30");
    EXPECT_EQ(db.QuerySQL("PRAGMA integrity_check").Cell(0, 0), "ok");
    // The look-ups the program makes use them.
    EXPECT_TRUE(PlanUsesIndex(
        db, Statements::SelectDuplicate("000000000042", "7", "2024-03-01", "10:00:00")));
    EXPECT_TRUE(PlanUsesIndex(
        db, Statements::SelectHistory({1, 2}, "000000000042", "2024-03-01", "2024-03-02")));

    // A name taken by something else fails only that index, not the tables.
    ASSERT_EQ(db.ExecuteSQL("DROP INDEX ValueInfo_Record; CREATE TABLE ValueInfo_Record(a)"), 0);
    EXPECT_TRUE(Schema::CreateTables(db));
    EXPECT_EQ(ValueInfoIndexes(db).size(), 1);
}
