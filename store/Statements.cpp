#include "store/Statements.h"

#include "store/SQLite.h"

namespace Statements {

namespace {
// 'value' with the value quoted for use inside the single quotes.
QString Q(const QString& value) {
    return '\'' + SQLite::Quote(value) + '\'';
}

QString JoinQuoted(const QStringList& values, int count) {
    QString out;
    for (int i = 0; i < count; ++i) {
        if (i)
            out += ',';
        out += Q(i < values.size() ? values[i] : QString());
    }
    return out;
}
} // namespace

const QStringList& ValueInfoColumns() {
    static const QStringList columns = [] {
        QStringList c{"Machine_No",  "Record_No",  "Date_Date",   "Time_Time", "Test_Mode",
                      "Test_Result", "Test_Unit",  "Reserve1",    "Reserve2",  "Reserve3",
                      "Reserve4",    "FieldGroup", "FieldSelect", "Reserve5",  "Reserve6"};
        for (int i = 1; i <= kTitleCount; ++i)
            c << QString("Field%1").arg(i);
        c << "GPS"
          << "Path"
          << "PictureName";
        return c;
    }();
    return columns;
}

QString ReplaceTitleInfo(const QStringList& titles, int titleIndex, const QString& deviceId) {
    QString names;
    for (int i = 1; i <= kTitleCount; ++i)
        names += QString("title%1,").arg(i);
    return "REPLACE INTO TitleInfo(" + names + "titleindex,DeviceID) values(" +
           JoinQuoted(titles, kTitleCount) + ',' + QString::number(titleIndex) + ',' + Q(deviceId) +
           ')';
}

QString SelectDuplicate(const QString& machineNo, const QString& recordNo, const QString& date,
                        const QString& time) {
    return "SELECT Record_No FROM ValueInfo WHERE Machine_No = " + Q(machineNo) +
           " AND Record_No = " + Q(recordNo) + " AND Date_Date = " + Q(date) +
           " AND Time_Time = " + Q(time);
}

QString InsertValueInfo(const QStringList& values) {
    return "insert into ValueInfo(" + ValueInfoColumns().join(',') + ")values(" +
           JoinQuoted(values, kValueColumnCount) + ')';
}

QString CountRecords(const QString& machineNo) {
    return "SELECT count(Record_No) FROM ValueInfo WHERE Machine_NO = " + Q(machineNo) + ' ';
}

QString SelectRecordNumbers(const QString& machineNo) {
    return "SELECT DISTINCT Record_No FROM ValueInfo WHERE Machine_NO = " + Q(machineNo);
}

QString SelectDeviceList() {
    return QStringLiteral("SELECT distinct DeviceID FROM TitleInfo ORDER BY DeviceID");
}

QString SelectTitles(const QString& deviceId) {
    return "SELECT * FROM TitleInfo WHERE DeviceID=" + Q(deviceId) + " AND titleindex=1";
}

QString HistoryFieldList(const QList<int>& fieldNumbers) {
    QString out;
    for (int n : fieldNumbers)
        out += QString("Field%1,").arg(n);
    return out;
}

QString SelectHistory(const QList<int>& fieldNumbers, const QString& machineNo,
                      const QString& startDate, const QString& endDate) {
    return "SELECT Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit," +
           HistoryFieldList(fieldNumbers) +
           "GPS,Path,PictureName FROM ValueInfo WHERE Machine_NO=" + Q(machineNo) +
           " AND Date_Date>=" + Q(startDate) + " AND Date_Date<=" + Q(endDate) +
           " ORDER BY Machine_NO, Record_No DESC";
}

QString SelectKelInfo(const QString& startDate, const QString& endDate) {
    return "select distinct *  from KelInfo where TestDate>=" + Q(startDate) +
           " and TestDate<=" + Q(endDate);
}

QString DeleteKelInfo(const QString& startDate, const QString& endDate) {
    return "Delete  from KelInfo where TestDate>=" + Q(startDate) + " and TestDate<=" + Q(endDate);
}

} // namespace Statements
