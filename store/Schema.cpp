#include "store/Schema.h"

namespace Schema {

// The stored statement texts keep the tab and space runs that files made by other copies
// of the program hold in sqlite_master, so both read the same.
const char* const kCreateTitleInfo =
    "CREATE TABLE IF NOT EXISTS TitleInfo(title1 varchar(100),title2 varchar(100),"
    "title3 varchar(100),title4 varchar(100),\t\t\t\t\t\ttitle5 varchar(100),"
    "title6 varchar(100),title7 varchar(100),\t\t\t\t\t\ttitle8 varchar(100),"
    "title9 varchar(100),title10 varchar(100),title11 varchar(100),title12 varchar(100),"
    "\t\t\t\t\t\ttitle13 varchar(100),title14 varchar(100),title15 varchar(100),"
    "title16 varchar(100),title17 varchar(100),\t\t\t\t\t\ttitle18 varchar(100),"
    "title19 varchar(100),title20 varchar(100),titleindex varchar(100),"
    "                         DeviceID varchar(100) UNIQUE);";

const char* const kCreateValueInfo =
    "CREATE TABLE IF NOT EXISTS ValueInfo(Machine_NO varchar(50),Record_No varchar(50),"
    "Date_Date varchar(50),Time_Time varchar(50),\t\t\t\t\t\tTest_Mode varchar(50),"
    "Test_Result varchar(50),Test_Unit varchar(50),\t\t\t\t\t\tReserve1 varchar(50),"
    "Reserve2 varchar(50),Reserve3 varchar(50),Reserve4 varchar(50),"
    "\t\t\t\t\t\tFieldGroup varchar(50),FieldSelect varchar(50),"
    "\t\t\t\t\t\tReserve5 varchar(50),Reserve6 varchar(50),Field1 varchar(50),"
    "\t\t\t\t\t\tField2 varchar(50),Field3 varchar(50),Field4 varchar(50),"
    "Field5 varchar(50),Field6 varchar(50),Field7 varchar(50),Field8 varchar(50),"
    "\t\t\t\t\t\tField9 varchar(50),Field10 varchar(50),Field11 varchar(50),"
    "Field12 varchar(50),Field13 varchar(50),Field14 varchar(50),Field15 varchar(50),"
    "\t\t\t\t\t\tField16 varchar(50),Field17 varchar(50),Field18 varchar(50),"
    "Field19 varchar(50),Field20 varchar(50),\t\t\t\t\t\tGPS varchar(50),"
    "Path varchar(50),PictureName varchar(50));";

// Indexes for the duplicate look-up before each insert and for the history query by
// device and date. Plain column indexes: older copies of the program and older SQLite
// versions read a file that has them.
const char* const kCreateDuplicateIndex = "CREATE INDEX IF NOT EXISTS ValueInfo_Record ON ValueInfo"
                                          "(Machine_NO,Record_No,Date_Date,Time_Time)";
const char* const kCreateDeviceDateIndex =
    "CREATE INDEX IF NOT EXISTS ValueInfo_DeviceDate ON ValueInfo(Machine_NO,Date_Date)";

bool CreateTables(SQLite::Database& db) {
    const bool titles = db.ExecuteSQL(QString::fromUtf8(kCreateTitleInfo)) == 0;
    const bool values = db.ExecuteSQL(QString::fromUtf8(kCreateValueInfo)) == 0;
    if (values) {
        // A file that cannot take an index (read-only, for one) still works without it.
        db.ExecuteSQL(QString::fromUtf8(kCreateDuplicateIndex));
        db.ExecuteSQL(QString::fromUtf8(kCreateDeviceDateIndex));
    }
    return titles && values;
}

} // namespace Schema
