#pragma once
// Builders for the statements run on brtx.db. Each returns the statement text with its
// values formatted in; every value goes through SQLite::Quote, so a value holding a
// single quote is stored exactly as given and cannot change the statement.
#include <QList>
#include <QString>
#include <QStringList>

namespace Statements {

constexpr int kTitleCount = 20;       // title1 ... title20 of TitleInfo
constexpr int kValueColumnCount = 38; // columns of ValueInfo

// The ValueInfo column names in table order, spelled as the insert statement names them
// (Machine_No ... PictureName).
const QStringList& ValueInfoColumns();

// REPLACE INTO TitleInfo(title1..title20,titleindex,DeviceID) values(...).
// titles: the twenty stored names in order; missing ones are empty, extra ones are ignored.
QString ReplaceTitleInfo(const QStringList& titles, int titleIndex, const QString& deviceId);

// The duplicate test before an insert: SELECT Record_No FROM ValueInfo WHERE Machine_No = ...
QString SelectDuplicate(const QString& machineNo, const QString& recordNo, const QString& date,
                        const QString& time);

// insert into ValueInfo(<38 columns>)values(<38 values>). values: in column order
// (ValueInfoColumns()); missing ones are empty, extra ones are ignored.
QString InsertValueInfo(const QStringList& values);

// SELECT count(Record_No) FROM ValueInfo WHERE Machine_NO = '...' (with its trailing space).
QString CountRecords(const QString& machineNo);

// SELECT DISTINCT Record_No FROM ValueInfo WHERE Machine_NO = '...': the record numbers
// stored for a device (for "new records only").
QString SelectRecordNumbers(const QString& machineNo);

// SELECT distinct DeviceID FROM TitleInfo ORDER BY DeviceID
QString SelectDeviceList();

// SELECT * FROM TitleInfo WHERE DeviceID='...' AND titleindex=1
QString SelectTitles(const QString& deviceId);

// "Field%d," for each number in order, e.g. {1, 3} -> "Field1,Field3,".
QString HistoryFieldList(const QList<int>& fieldNumbers);

// SELECT Machine_NO,...,Test_Unit,<Field%d, items>GPS,Path,PictureName FROM ValueInfo
// WHERE Machine_NO='...' AND Date_Date>='...' AND Date_Date<='...'
// ORDER BY Machine_NO, Record_No DESC
QString SelectHistory(const QList<int>& fieldNumbers, const QString& machineNo,
                      const QString& startDate, const QString& endDate);

// The date-range selection and deletion on the earlier KelInfo table.
QString SelectKelInfo(const QString& startDate, const QString& endDate);
QString DeleteKelInfo(const QString& startDate, const QString& endDate);

} // namespace Statements
