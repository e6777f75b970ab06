// The record list without widgets: device list, column layout, statement, rows.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/TestSupport.h"
#include "history/core/HistoryQuery.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using historytest::Db;
using historytest::Record;

namespace {

const QStringList kEnglishFixed = {"Device No.", "Record No",   "Date", "Time",
                                   "Test Mode",  "Test Result", "Unit"};

QStringList Expected(const QStringList& fields) {
    return kEnglishFixed + fields + QStringList{"GPS"};
}

// The shipped Language.ini with one line of [English] replaced (or added when missing).
QByteArray LanguageWith(const QString& key, const QString& value) {
    QFile f(brtxtest::sourceDir() + "/assets/Language.ini");
    f.open(QIODevice::ReadOnly);
    QString text = QString::fromUtf8(f.readAll());
    const QString line = key + '=' + value;
    const int english = text.indexOf("[English]");
    const int at = text.indexOf(QRegularExpression("\\n" + key + "=[^\\n]*"), english);
    const int nextSection = text.indexOf("\n[", english + 1);
    if (at >= 0 && (nextSection < 0 || at < nextSection)) {
        const int end = text.indexOf('\n', at + 1);
        text.replace(at + 1, end - at - 1, line);
    } else {
        text.insert(english + 9, "\n" + line);
    }
    return text.toUtf8();
}

class HistoryQueryTest : public ::testing::Test {
protected:
    brtxtest::TempHome home;
};

} // namespace

TEST_F(HistoryQueryTest, EmptyDatabaseGivesNothing) {
    Db db;
    CHistoryQuery query;
    EXPECT_TRUE(query.DeviceList().isEmpty());
    query.LoadColumns(QString());
    EXPECT_EQ(query.TitleCount(), 0);
    EXPECT_EQ(query.ResultRows(), 0);
    EXPECT_TRUE(query.Query("2000-01-01", "2099-12-31"));
    EXPECT_EQ(query.RowCount(), 0);
    EXPECT_EQ(query.ResultColumns(), 0);
}

TEST_F(HistoryQueryTest, ThreeTitleDeviceListsElevenColumnsWithGpsLast) {
    Db db;
    db.Titles("DEV1", {"Alc", "Name", "Place"});
    db.Titles("DEV0", {"X"});
    db.Add({"DEV1", "5", "2024-03-02", "09:10:11", "Manual", "0.250", "mg/L"});
    db.Add({"DEV0", "6", "2024-03-02"});

    CHistoryQuery query;
    EXPECT_EQ(query.DeviceList(), QStringList({"DEV0", "DEV1"}));
    query.LoadColumns("DEV1");
    EXPECT_EQ(query.TitleCount(), 3);
    EXPECT_EQ(query.ResultRows(), 1);
    EXPECT_EQ(query.ResultColumns(), 22); // title load counts
    EXPECT_TRUE(query.HiddenFields().isEmpty());
    EXPECT_EQ(query.Headings(), Expected({"Alc", "Name", "Place"}));

    // The statement still names all twenty fields, values quoted.
    EXPECT_EQ(query.QueryStatement("2024-01-01", "2024-12-31"),
              "SELECT Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit,"
              "Field1,Field2,Field3,Field4,Field5,Field6,Field7,Field8,Field9,Field10,Field11,"
              "Field12,Field13,Field14,Field15,Field16,Field17,Field18,Field19,Field20,GPS,Path,"
              "PictureName FROM ValueInfo WHERE Machine_NO='DEV1' AND Date_Date>='2024-01-01' AND "
              "Date_Date<='2024-12-31' ORDER BY Machine_NO, Record_No DESC");

    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    EXPECT_EQ(query.ResultColumns(), 30);
    ASSERT_EQ(query.RowCount(), 1);
    EXPECT_EQ(query.Rows()[0], QStringList({"DEV1", "5", "2024-03-02", "09:10:11", "Manual",
                                            "0.250", "mg/L", "F1-5", "F2-5", "F3-5", "5.5 5.25"}));
    EXPECT_EQ(query.Paths(), QStringList({"\\DEV1\\00005.jpg"}));

    // The one-call form used by the command-line tool gives the same.
    const HistoryList list = QueryHistoryList(CLanguage(), "DEV1", "2024-01-01", "2024-12-31");
    EXPECT_EQ(list.headings, query.Headings());
    EXPECT_EQ(list.rows, query.Rows());
    EXPECT_EQ(list.paths, query.Paths());
}

TEST_F(HistoryQueryTest, DateRangeIsInclusiveTextComparison) {
    Db db;
    db.Titles("D", {"A"});
    db.Add({"D", "1", "2024-01-31"});
    db.Add({"D", "2", "2024-02-01"});
    db.Add({"D", "3", "2024-02-29"});
    db.Add({"D", "4", "2024-03-01"});
    CHistoryQuery query;
    query.LoadColumns("D");
    ASSERT_TRUE(query.Query("2024-02-01", "2024-02-29"));
    ASSERT_EQ(query.RowCount(), 2);
    EXPECT_EQ(query.Rows()[0][1], "3");
    EXPECT_EQ(query.Rows()[1][1], "2");

    // Start after end: nothing.
    ASSERT_TRUE(query.Query("2024-03-01", "2024-01-01"));
    EXPECT_EQ(query.RowCount(), 0);
    EXPECT_EQ(query.ResultRows(), 0);
    EXPECT_TRUE(query.Paths().isEmpty());
}

TEST_F(HistoryQueryTest, RecordNumbersOrderAsTextHighestFirst) {
    Db db;
    db.Titles("D", {"A"});
    for (const char* no : {"1", "2", "10", "9", "100"})
        db.Add({"D", no, "2024-05-05"});
    CHistoryQuery query;
    query.LoadColumns("D");
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    QStringList order;
    for (const QStringList& row : query.Rows())
        order << row[1];
    EXPECT_EQ(order, QStringList({"9", "2", "100", "10", "1"}));
    EXPECT_EQ(query.Paths()[0], "\\D\\00009.jpg");
}

TEST_F(HistoryQueryTest, TestModesTranslateOnExactCaseOnly) {
    home.writeLanguage(LanguageWith("TestModeAuto", "Automatic"));
    Db db;
    db.Titles("D", {"A"});
    const char* modes[] = {"Auto", "Manual", "Refuse", "Discontinued", "refuse", "AUTO", "Other"};
    int no = 1;
    for (const char* mode : modes)
        db.Add({"D", QString::number(no++), "2024-05-05", "08:00:00", mode});
    CHistoryQuery query;
    query.LoadColumns("D");
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    QStringList shown;
    for (int i = query.RowCount() - 1; i >= 0; --i) // record 1 last
        shown << query.Rows()[i][4];
    EXPECT_EQ(shown, QStringList({"Automatic", "Manual", "Refused", "Discontinued", "refuse",
                                  "AUTO", "Other"}));
    EXPECT_EQ(CHistoryQuery::TestModeText(CLanguage(), "Refuse"), "Refused");
    EXPECT_EQ(CHistoryQuery::TestModeText(CLanguage(), "refuse"), "refuse");
}

// Switching from a device whose titles have a gap to one without gaps: the hidden fields of
// the first device must not be left out of the second device's statement.
TEST_F(HistoryQueryTest, HiddenFieldsBelongToTheShownDeviceOnly) {
    Db db;
    db.Titles("GAP", {"A", "", "C"});
    db.Titles("NORM", {"One", "Two", "Three"});
    db.Add({"NORM", "7", "2024-06-01"});
    CHistoryQuery query;
    query.LoadColumns("GAP");
    EXPECT_EQ(query.HiddenFields(), QVector<int>({2}));
    query.LoadColumns("NORM");
    EXPECT_TRUE(query.HiddenFields().isEmpty());
    EXPECT_TRUE(query.QueryStatement("2024-01-01", "2024-12-31")
                    .contains("Test_Unit,Field1,Field2,Field3,Field4,"));
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    ASSERT_EQ(query.RowCount(), 1);
    EXPECT_EQ(query.Headings(), Expected({"One", "Two", "Three"}));
    EXPECT_EQ(query.Rows()[0].mid(7), QStringList({"F1-7", "F2-7", "F3-7", "7.5 7.25"}));
}

// Titles with empty ones among them: every titled field under its own title with its own
// values, GPS last.
TEST_F(HistoryQueryTest, TitlesWithGapsKeepEachFieldUnderItsOwnTitle) {
    Db db;
    QStringList titles(20);
    titles[0] = "A";
    titles[2] = "C";
    titles[5] = "F";
    db.Titles("GAP", titles);
    db.Add({"GAP", "3", "2024-06-01"});
    CHistoryQuery query;
    query.LoadColumns("GAP");
    EXPECT_EQ(query.TitleCount(), 3);
    EXPECT_EQ(query.HiddenFields(), QVector<int>({2, 4, 5}));
    EXPECT_EQ(query.Headings(), Expected({"A", "C", "F"}));
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    ASSERT_EQ(query.RowCount(), 1);
    EXPECT_EQ(query.Rows()[0].mid(7), QStringList({"F1-3", "F3-3", "F6-3", "3.5 3.25"}));
    EXPECT_EQ(query.Paths()[0], "\\GAP\\00003.jpg");
}

TEST_F(HistoryQueryTest, AllTwentyTitlesAndNoTitleRow) {
    Db db;
    QStringList titles;
    for (int k = 1; k <= 20; ++k)
        titles << QStringLiteral("T%1").arg(k);
    db.Titles("FULL", titles);
    db.Add({"FULL", "1", "2024-06-01"});
    db.Add({"NONE", "2", "2024-06-01"});
    CHistoryQuery query;
    query.LoadColumns("FULL");
    EXPECT_EQ(query.Headings().size(), 28);
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    EXPECT_EQ(query.Rows()[0][26], "F20-1");
    EXPECT_EQ(query.Rows()[0][27], "1.5 1.25");

    // A device without a title row: the fixed columns and GPS.
    query.LoadColumns("NONE");
    EXPECT_EQ(query.ResultRows(), 0);
    EXPECT_EQ(query.Headings(), Expected({}));
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    EXPECT_EQ(query.Rows()[0], QStringList({"NONE", "2", "2024-06-01", "08:00:00", "Auto", "0.123",
                                            "mg/L", "2.5 2.25"}));
}

TEST_F(HistoryQueryTest, ShowFieldsHeadingsAreCutAndOddListsKeepFixedColumns) {
    Db db;
    db.Titles("D", {"Alcohol"});

    // A translated heading is cut to the length of the default heading it replaces.
    home.writeLanguage(LanguageWith("HeadMachineNo", "Instrument number"));
    CHistoryQuery query;
    query.LoadColumns("D");
    EXPECT_EQ(query.Headings()[0], "Instrument"); // "Machine No" has 10 characters

    // Five keys: the last two fixed columns keep their default headings, titles follow.
    home.writeLanguage(
        LanguageWith("ShowFields", "HeadMachineNo,HeadRecordNo,HeadDate,HeadTime,HeadTestMode"));
    query.LoadColumns("D");
    EXPECT_EQ(query.Headings(), Expected({"Alcohol"}));

    // Nine keys: the two extra keys name no column and hide no field.
    home.writeLanguage(LanguageWith("ShowFields", "HeadMachineNo,HeadRecordNo,HeadDate,HeadTime,"
                                                  "HeadTestMode,HeadTestResult,HeadUnit,GPS,GPS"));
    query.LoadColumns("D");
    EXPECT_EQ(query.Headings(), Expected({"Alcohol"}));
    EXPECT_TRUE(query.HiddenFields().isEmpty());

    // A key whose text is empty: that column is not created, the others keep their values.
    home.writeLanguage(LanguageWith("HeadTime", ""));
    query.LoadColumns("D");
    db.Add({"D", "4", "2024-06-01", "10:00:00"});
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    EXPECT_EQ(query.Headings(), QStringList({"Device No.", "Record No", "Date", "Test Mode",
                                             "Test Result", "Unit", "Alcohol", "GPS"}));
    EXPECT_EQ(query.Rows()[0],
              QStringList({"D", "4", "2024-06-01", "Auto", "0.123", "mg/L", "F1-4", "4.5 4.25"}));
}

TEST_F(HistoryQueryTest, QuotesAndLongTitlesAreSafe) {
    Db db;
    const QString device = "O'Neil";
    const QString longTitle(250, QChar('x'));
    db.Titles(device, {longTitle, "It's"});
    db.Add({device, "1", "2024-06-01"});
    CHistoryQuery query;
    EXPECT_EQ(query.DeviceList(), QStringList({device}));
    query.LoadColumns(device);
    EXPECT_EQ(query.Titles()[0].size(), 199);
    EXPECT_EQ(query.Headings()[8], "It's");
    ASSERT_TRUE(query.Query("2024-01-01", "2024-12-31"));
    ASSERT_EQ(query.RowCount(), 1);
    EXPECT_EQ(query.Rows()[0][0], device);

    // A date text with a quote cannot change the statement.
    ASSERT_TRUE(query.Query("2024-12-01' OR '1'='1", "2024-12-31"));
    EXPECT_EQ(query.RowCount(), 0);
}
