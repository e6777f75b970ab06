// The statement builders: the exact texts, and what they do on a database.
#include "store/Statements.h"
#include "store/Schema.h"

#include "base/Paths.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

using SQLite::Database;
using SQLite::Table;

namespace {
struct StoreHome {
    brtxtest::TempHome home{false};
    Database db;
    StoreHome() {
        EXPECT_EQ(db.Open(GetDatabasePath()), 0);
        EXPECT_TRUE(Schema::CreateTables(db));
    }
};
QStringList Row(const QStringList& first) {
    QStringList row = first;
    while (row.size() < Statements::kValueColumnCount)
        row << QString("c%1").arg(row.size());
    return row;
}
} // namespace

TEST(Statements, TextsAreExact) {
    QStringList titles;
    QString titleCols, titleVals;
    for (int i = 1; i <= 20; ++i) {
        titles << QString("t%1").arg(i);
        titleCols += QString("title%1,").arg(i);
        titleVals += QString("'t%1',").arg(i);
    }
    EXPECT_EQ(Statements::ReplaceTitleInfo(titles, 1, "DEV"),
              "REPLACE INTO TitleInfo(" + titleCols + "titleindex,DeviceID) values(" + titleVals +
                  "1,'DEV')");
    EXPECT_EQ(Statements::SelectDuplicate("M", "3", "2024-01-02", "10:20:30"),
              "SELECT Record_No FROM ValueInfo WHERE Machine_No = 'M' AND Record_No = '3' AND "
              "Date_Date = '2024-01-02' AND Time_Time = '10:20:30'");
    const QString insert = Statements::InsertValueInfo(Row({}));
    EXPECT_TRUE(insert.startsWith(
        "insert into ValueInfo(Machine_No,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,"
        "Test_Unit,Reserve1,Reserve2,Reserve3,Reserve4,FieldGroup,FieldSelect,Reserve5,"
        "Reserve6,Field1,Field2,"));
    EXPECT_TRUE(insert.endsWith("Field20,GPS,Path,PictureName)values('c0','c1','c2',"
                                "'c3','c4','c5','c6','c7','c8','c9','c10','c11','c12','c13','c14',"
                                "'c15','c16','c17','c18','c19','c20','c21','c22','c23','c24','c25',"
                                "'c26','c27','c28','c29','c30','c31','c32','c33','c34','c35','c36',"
                                "'c37')"));
    EXPECT_EQ(Statements::CountRecords("42"),
              "SELECT count(Record_No) FROM ValueInfo WHERE Machine_NO = '42' ");
    EXPECT_EQ(Statements::SelectDeviceList(),
              "SELECT distinct DeviceID FROM TitleInfo ORDER BY DeviceID");
    EXPECT_EQ(Statements::SelectTitles("D1"),
              "SELECT * FROM TitleInfo WHERE DeviceID='D1' AND titleindex=1");
    EXPECT_EQ(Statements::SelectHistory({1, 3, 20}, "M", "2024-01-01", "2024-12-31"),
              "SELECT Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit,"
              "Field1,Field3,Field20,GPS,Path,PictureName FROM ValueInfo WHERE Machine_NO='M' AND "
              "Date_Date>='2024-01-01' AND Date_Date<='2024-12-31' ORDER BY Machine_NO, "
              "Record_No DESC");
    EXPECT_EQ(Statements::SelectKelInfo("a", "b"),
              "select distinct *  from KelInfo where TestDate>='a' and TestDate<='b'");
    EXPECT_EQ(Statements::DeleteKelInfo("a", "b"),
              "Delete  from KelInfo where TestDate>='a' and TestDate<='b'");
}

TEST(Statements, RecordsRoundTripAndAreFoundByTheirKey) {
    StoreHome s;
    QStringList values = Row({"000000000042", "7", "2024-05-06", "08:09:10"});
    values[15] = QString::fromUtf8("张三's car");
    values[16] = "'; DROP TABLE ValueInfo; --";
    values[36] = "\\000000000042\\00007.jpg";
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(values)), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT * FROM ValueInfo").m_rows, QVector<QStringList>({values}));

    auto found = [&](const QString& machine, const QString& time) {
        return s.db.QuerySQL(Statements::SelectDuplicate(machine, "7", "2024-05-06", time))
            .GetRowCount();
    };
    EXPECT_EQ(found("000000000042", "08:09:10"), 1);
    EXPECT_EQ(found("000000000042", "08:09:11"), 0);
    EXPECT_EQ(found("x' OR '1'='1", "08:09:10"), 0);

    // Fewer values: the rest stored empty; more: the extras are ignored.
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo({"short"})), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(Row({"long"}) << "extra")), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT PictureName FROM ValueInfo WHERE Machine_NO='short'").m_rows,
              QVector<QStringList>({{""}}));
    EXPECT_EQ(s.db.QuerySQL("SELECT PictureName FROM ValueInfo WHERE Machine_NO='long'").m_rows,
              QVector<QStringList>({{"c37"}}));
}

TEST(Statements, TitlesReplacedPerDeviceAndListedInOrder) {
    StoreHome s;
    QStringList renamed;
    for (int i = 1; i <= 20; ++i)
        renamed << QString::fromUtf8("标题%1").arg(i);
    renamed[1] = "Driver's licence";
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo(QStringList(20, "old"), 1, "B'd")), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo({}, 1, "A-d")), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo({}, 2, "C-d")), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo(renamed, 1, "B'd")), 0);

    EXPECT_EQ(s.db.QuerySQL(Statements::SelectDeviceList()).m_rows,
              QVector<QStringList>({{"A-d"}, {"B'd"}, {"C-d"}}));
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectTitles("B'd")).m_rows,
              QVector<QStringList>({renamed + QStringList{"1", "B'd"}}));
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectTitles("C-d")).GetRowCount(), 0); // index 2
}

TEST(Statements, HistoryRangeOrderCountAndKelInfo) {
    StoreHome s;
    const QList<QStringList> rows = {{"D1", "9", "2024-01-01"}, {"D1", "10", "2024-01-15"},
                                     {"D1", "2", "2024-01-31"}, {"D1", "3", "2024-02-01"},
                                     {"D2", "5", "2024-01-15"}, {"D1", "4", "2023-12-31"}};
    for (const QStringList& r : rows)
        ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(Row(r))), 0);
    const Table t =
        s.db.QuerySQL(Statements::SelectHistory({1, 2, 3}, "D1", "2024-01-01", "2024-01-31"));
    // Both ends included; Record_No descending as text.
    ASSERT_EQ(t.GetRowCount(), 3);
    EXPECT_EQ(QStringList({t.Cell(0, 1), t.Cell(1, 1), t.Cell(2, 1)}),
              QStringList({"9", "2", "10"}));
    EXPECT_EQ(t.m_strColNames.mid(7),
              QStringList({"Field1", "Field2", "Field3", "GPS", "Path", "PictureName"}));
    EXPECT_EQ(t.Cell(0, 7), "c15");
    EXPECT_EQ(s.db.QuerySQL(Statements::CountRecords("D1")).Cell(0, 0), "5");
    EXPECT_EQ(s.db.QuerySQL(Statements::CountRecords("none")).Cell(0, 0), "0");

    // KelInfo: absent, the statements fail quietly; present, a quote cannot widen a delete.
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectKelInfo("2024", "2025")).GetRowCount(), 0);
    EXPECT_NE(s.db.ExecuteSQL(Statements::DeleteKelInfo("2024", "2025")), 0);
    ASSERT_EQ(s.db.ExecuteSQL("CREATE TABLE KelInfo(TestDate varchar(50), v);"
                              "INSERT INTO KelInfo VALUES('2024-01-05', 1);"
                              "INSERT INTO KelInfo VALUES('2024-01-05', 1);"
                              "INSERT INTO KelInfo VALUES('2025-01-05', 2)"),
              0);
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectKelInfo("2024-01-01", "2024-12-31")).GetRowCount(),
              1);
    EXPECT_EQ(s.db.ExecuteSQL(Statements::DeleteKelInfo("2099' OR '1'='1", "2099-12-31")), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 3);
    EXPECT_EQ(s.db.ExecuteSQL(Statements::DeleteKelInfo("2024-01-01", "2024-12-31")), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 1);
}
