#pragma once
// One writer per export format (.xls, .xlsx, .csv). The history core streams the filtered,
// sorted list into a writer: first the columns, then each row, then Finish. A writer writes
// into the path it was made for; making it whole and renaming it into place is the caller's.
#include <QString>
#include <QStringList>
#include <QVector>

// What a column holds, so a writer can give typed cells.
enum class ColumnKind {
    Text,     // shown as stored
    RecordNo, // a record number (digits)
    Result,   // Test_Result: a number when it reads as one, else text
    Day,      // Date_Date "yyyy-MM-dd"
    Hour,     // Time_Time "HH:mm:ss"
};

struct ExportColumn {
    QString heading;
    ColumnKind kind = ColumnKind::Text;
};

class IRowWriter {
public:
    virtual ~IRowWriter() = default;
    virtual bool Begin(const QVector<ExportColumn>& columns) = 0;
    // values: the row's texts as stored, one per column.
    virtual bool Row(const QStringList& values) = 0;
    virtual bool Finish() = 0;
    virtual QString Error() const = 0;
};
