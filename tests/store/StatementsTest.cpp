// The statement builders: the exact texts, and values that hold quotes.
#include "store/Statements.h"
#include "store/Schema.h"

#include "app/base/Paths.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

using SQLite::Database;
using SQLite::Table;

namespace {

// The statement texts with %s / %d filled in the order of their placeholders.
QString Fill(QString format, const QStringList& values) {
    for (const QString& v : values) {
        const int s = format.indexOf("%s");
        const int d = format.indexOf("%d");
        const int at = (s < 0) ? d : (d < 0 ? s : qMin(s, d));
        format.replace(at, 2, v);
    }
    return format;
}

QStringList Numbered(const QString& prefix, int count) {
    QStringList out;
    for (int i = 1; i <= count; ++i)
        out << prefix + QString::number(i);
    return out;
}

struct StoreHome {
    brtxtest::TempHome home{false};
    Database db;
    StoreHome() {
        EXPECT_EQ(db.Open(GetDatabasePath()), 0);
        EXPECT_TRUE(Schema::CreateTables(db));
    }
};

} // namespace

TEST(Statements, TextsAreTheProgramsOwn) {
    const QStringList titles = Numbered("t", 20);
    EXPECT_EQ(Statements::ReplaceTitleInfo(titles, 1, "DEV"),
              Fill("REPLACE INTO TitleInfo(title1,title2,title3,title4,title5,title6,title7,"
                   "title8,title9,title10,title11,title12,title13,title14,title15,title16,"
                   "title17,title18,title19,title20,titleindex,DeviceID) values('%s','%s','%s',"
                   "'%s','%s','%s','%s','%s','%s','%s','%s','%s','%s','%s','%s','%s','%s','%s',"
                   "'%s','%s',%d,'%s')",
                   titles + QStringList{"1", "DEV"}));
    EXPECT_EQ(Statements::SelectDuplicate("M", "3", "2024-01-02", "10:20:30"),
              "SELECT Record_No FROM ValueInfo WHERE Machine_No = 'M' AND Record_No = '3' AND "
              "Date_Date = '2024-01-02' AND Time_Time = '10:20:30'");

    const QStringList values = Numbered("v", 38);
    QString insert =
        "insert into ValueInfo(Machine_No,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,"
        "Test_Unit,Reserve1,Reserve2,Reserve3,Reserve4,FieldGroup,FieldSelect,Reserve5,"
        "Reserve6,Field1,Field2,Field3,Field4,Field5,Field6,Field7,Field8,Field9,Field10,"
        "Field11,Field12,Field13,Field14,Field15,Field16,Field17,Field18,Field19,Field20,GPS,"
        "Path,PictureName)values(";
    for (int i = 0; i < 38; ++i)
        insert += (i ? ",'%s'" : "'%s'");
    insert += ")";
    EXPECT_EQ(Statements::InsertValueInfo(values), Fill(insert, values));
    EXPECT_EQ(Statements::ValueInfoColumns().size(), 38);

    EXPECT_EQ(Statements::CountRecords("000000000042"),
              "SELECT count(Record_No) FROM ValueInfo WHERE Machine_NO = '000000000042' ");
    EXPECT_EQ(Statements::SelectDeviceList(),
              "SELECT distinct DeviceID FROM TitleInfo ORDER BY DeviceID");
    EXPECT_EQ(Statements::SelectTitles("D1"),
              "SELECT * FROM TitleInfo WHERE DeviceID='D1' AND titleindex=1");

    QList<int> all;
    for (int k = 1; k <= 20; ++k)
        all << k;
    const QString history =
        "SELECT Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit,"
        "%sGPS,Path,PictureName FROM ValueInfo WHERE Machine_NO='%s' AND Date_Date>='%s' AND "
        "Date_Date<='%s' ORDER BY Machine_NO, Record_No DESC";
    EXPECT_EQ(Statements::SelectHistory(all, "M", "2024-01-01", "2024-12-31"),
              Fill(history, {Statements::HistoryFieldList(all), "M", "2024-01-01", "2024-12-31"}));
    EXPECT_EQ(Statements::HistoryFieldList({1, 3, 20}), "Field1,Field3,Field20,");
    EXPECT_EQ(Statements::HistoryFieldList({}), "");
    EXPECT_EQ(Statements::SelectHistory({}, "M", "a", "b"), Fill(history, {"", "M", "a", "b"}));

    EXPECT_EQ(Statements::SelectKelInfo("2024-01-01", "2024-02-01"),
              "select distinct *  from KelInfo where TestDate>='2024-01-01' and "
              "TestDate<='2024-02-01'");
    EXPECT_EQ(Statements::DeleteKelInfo("2024-01-01", "2024-02-01"),
              "Delete  from KelInfo where TestDate>='2024-01-01' and TestDate<='2024-02-01'");
}

TEST(Statements, RecordRoundTripWithQuotesAndChinese) {
    StoreHome s;
    QStringList values = Numbered("v", 38);
    values[0] = "000000000042";
    values[1] = "7";
    values[2] = "2024-05-06";
    values[3] = "08:09:10";
    values[15] = QString::fromUtf8("张三's car");
    values[16] = "'; DROP TABLE ValueInfo; --";
    values[35] = "31.2 121.5";
    values[36] = "\\000000000042\\00007.jpg";
    values[37] = "00007.jpg";
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(values)), 0);

    // Duplicate test finds it by its four key values, and nothing else.
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectDuplicate(values[0], "7", values[2], values[3]))
                  .GetRowCount(),
              1);
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectDuplicate(values[0], "7", values[2], "08:09:11"))
                  .GetRowCount(),
              0);
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectDuplicate("x' OR '1'='1", "7", values[2], values[3]))
                  .GetRowCount(),
              0);

    const Table t = s.db.QuerySQL("SELECT * FROM ValueInfo");
    ASSERT_EQ(t.GetRowCount(), 1);
    ASSERT_EQ(t.GetColCount(), 38);
    for (int c = 0; c < 38; ++c)
        EXPECT_EQ(t.Cell(0, c), values[c]) << c;

    // Fewer values: the rest stored empty; more: the extras are ignored.
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo({"short"})), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(Numbered("x", 40))), 0);
    const Table shortRow = s.db.QuerySQL("SELECT * FROM ValueInfo WHERE Machine_NO='short'");
    ASSERT_EQ(shortRow.GetRowCount(), 1);
    EXPECT_EQ(shortRow.Cell(0, 37), "");
    EXPECT_EQ(s.db.QuerySQL("SELECT PictureName FROM ValueInfo WHERE Machine_NO='x1'").Cell(0, 0),
              "x38");
}

TEST(Statements, TitlesAndDeviceList) {
    StoreHome s;
    QStringList titles = {QString::fromUtf8("姓名"), "Driver's licence", " ", "emtyp3"};
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo(titles, 1, "B'dev")), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo({}, 1, "A-dev")), 0);
    ASSERT_EQ(s.db.ExecuteSQL(Statements::ReplaceTitleInfo({}, 2, "C-dev")), 0);

    const Table devices = s.db.QuerySQL(Statements::SelectDeviceList());
    ASSERT_EQ(devices.GetRowCount(), 3);
    EXPECT_EQ(devices.Cell(0, 0), "A-dev");
    EXPECT_EQ(devices.Cell(1, 0), "B'dev");
    EXPECT_EQ(devices.Cell(2, 0), "C-dev");

    const Table t = s.db.QuerySQL(Statements::SelectTitles("B'dev"));
    ASSERT_EQ(t.GetRowCount(), 1);
    for (int i = 0; i < titles.size(); ++i)
        EXPECT_EQ(t.Cell(0, i), titles[i]);
    EXPECT_EQ(t.Cell(0, 4), "");
    // Only title sets with index 1 are read.
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectTitles("C-dev")).GetRowCount(), 0);
}

TEST(Statements, HistoryRangeOrderAndCount) {
    StoreHome s;
    const QList<QStringList> rows = {
        {"D1", "9", "2024-01-01", "10:00:00"}, {"D1", "10", "2024-01-15", "10:00:00"},
        {"D1", "2", "2024-01-31", "10:00:00"}, {"D1", "3", "2024-02-01", "10:00:00"},
        {"D2", "5", "2024-01-15", "10:00:00"}, {"D1", "4", "2023-12-31", "23:59:59"},
    };
    for (QStringList r : rows) {
        while (r.size() < 38)
            r << QString("c%1").arg(r.size());
        ASSERT_EQ(s.db.ExecuteSQL(Statements::InsertValueInfo(r)), 0);
    }
    const Table t =
        s.db.QuerySQL(Statements::SelectHistory({1, 2, 3}, "D1", "2024-01-01", "2024-01-31"));
    // Both ends of the range included; Record_No descending as text.
    ASSERT_EQ(t.GetRowCount(), 3);
    EXPECT_EQ(t.GetColCount(), 7 + 3 + 3);
    EXPECT_EQ(t.Cell(0, 1), "9");
    EXPECT_EQ(t.Cell(1, 1), "2");
    EXPECT_EQ(t.Cell(2, 1), "10");
    EXPECT_EQ(t.m_strColNames.mid(7),
              QStringList({"Field1", "Field2", "Field3", "GPS", "Path", "PictureName"}));
    EXPECT_EQ(t.Cell(0, 7), "c15"); // Field1 is column 15 of the row

    EXPECT_EQ(s.db.QuerySQL(Statements::SelectHistory({}, "D1", "2024-02-01", "2024-01-01"))
                  .GetRowCount(),
              0);
    EXPECT_EQ(s.db.QuerySQL(Statements::CountRecords("D1")).Cell(0, 0), "5");
    EXPECT_EQ(s.db.QuerySQL(Statements::CountRecords("none")).Cell(0, 0), "0");
}

TEST(Statements, KelInfoStatementsFailQuietlyWithoutTheTable) {
    StoreHome s;
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectKelInfo("2024-01-01", "2024-12-31")).GetRowCount(),
              0);
    EXPECT_NE(s.db.ExecuteSQL(Statements::DeleteKelInfo("2024-01-01", "2024-12-31")), 0);

    ASSERT_EQ(s.db.ExecuteSQL("CREATE TABLE KelInfo(TestDate varchar(50), v);"
                              "INSERT INTO KelInfo VALUES('2024-01-05', 1);"
                              "INSERT INTO KelInfo VALUES('2024-01-05', 1);"
                              "INSERT INTO KelInfo VALUES('2025-01-05', 2)"),
              0);
    EXPECT_EQ(s.db.QuerySQL(Statements::SelectKelInfo("2024-01-01", "2024-12-31")).GetRowCount(),
              1);
    EXPECT_EQ(s.db.ExecuteSQL(Statements::DeleteKelInfo("2024-01-01", "2024-12-31")), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 1);
    // A quote in a date cannot widen the deletion.
    EXPECT_EQ(s.db.ExecuteSQL(Statements::DeleteKelInfo("2099' OR '1'='1", "2099-12-31")), 0);
    EXPECT_EQ(s.db.QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 1);
}
