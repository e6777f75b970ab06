#pragma once
// CExcelCtrl: a sheet of text rows kept in memory and written to a file, either an .xls
// workbook (one named sheet, the first row holding the column names) or a delimited text
// file. Rows are held as joined strings: every value in double quotes, values separated by
// the separator (",;.?" for workbooks, four characters that do not occur in data).
//
// Without a transaction every added row is written at once; with one (BeginTransaction)
// nothing is written until Commit, which an export of many rows uses.
//
// On failure the operations return false and leave a text in LastError().
#include <QString>
#include <QStringList>

class CExcelCtrl {
public:
    // file: the workbook (name ending in ".xls", any case) or the text file.
    // sheetOrSeparator: the sheet name (workbook) or the value separator (text file).
    // backup: when the sheet (or text file) already holds rows, copy them first into the
    // sheet "CSpreadSheetBackup" of the same workbook (or into "<file>.bak").
    CExcelCtrl(const QString& file, const QString& sheetOrSeparator, bool backup = true);
    virtual ~CExcelCtrl();

    CExcelCtrl(const CExcelCtrl&) = delete;
    CExcelCtrl& operator=(const CExcelCtrl&) = delete;

    bool AddHeaders(const QStringList& fieldNames, bool replace = false);
    // row: 1-based; 0 appends. An existing row is overwritten with replace, else the new
    // row is inserted before it. Rows beyond the end are reached through empty filler rows.
    bool AddRow(const QStringList& rowValues, int row = 0, bool replace = false);
    // row 0 reads the current row. The current row moves on by one.
    bool ReadRow(QStringList& rowValues, int row = 0);
    bool Commit();
    // Defers writing until Commit (which ends the transaction).
    void BeginTransaction() { m_bTransaction = true; }
    // The name of the writer behind workbook mode.
    void GetExcelDriver();

    QString LastError() const { return m_sLastError; }
    bool SheetExists() const { return m_bAppend; }
    bool IsExcel() const { return m_bExcel; }
    bool BackupOn() const { return m_bBackup; }
    int TotalRows() const { return m_dTotalRows; }
    int TotalColumns() const { return m_dTotalColumns; }
    int CurrentRow() const { return m_dCurrentRow; }
    QString Separator() const { return m_sSeparator; }
    QString SheetName() const { return m_sSheetName; }
    QStringList FieldNames() const { return m_aFieldNames; }
    // The joined string of a row (1-based); empty when there is no such row.
    QString RowString(int row) const;

    // Splits a joined row string with the given separator as ReadRow does.
    static QStringList SplitRow(const QString& joined, const QString& separator);
    // Joins values: each in double quotes, separated by the separator. A value's own copies
    // of the separator (and of U+E000, the escape) are escaped with U+E000, so SplitRow gives
    // back exactly the values joined.
    static QString JoinRow(const QStringList& values, const QString& separator);

    static const QString kExcelSeparator; // ",;.?"
    static const QString kBackupSheet;    // "CSpreadSheetBackup"

private:
    bool Open();
    bool OpenExcel();
    bool OpenText();
    bool CommitExcel();
    bool CommitText();

    bool m_bAppend = false;
    bool m_bBackup = false;
    bool m_bExcel = false;
    bool m_bTransaction = false;
    int m_dCurrentRow = 1;
    int m_dTotalRows = 0;
    qint16 m_dTotalColumns = 0;
    QString m_sSheetName;
    QString m_sExcelDriver;
    QString m_sFile;
    QString m_sSeparator;
    QString m_sLastError;
    QStringList m_aFieldNames;
    QStringList m_aRows; // index 0 is row 1 (the header row)
};
