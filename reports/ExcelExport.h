#pragma once
// The spreadsheet export of the history list: the extension rules for the chosen file name
// and the writing of the list (header row from the headings, then the rows in list order)
// into the sheet "Value" of an .xls workbook.
#include <QString>
#include <QStringList>
#include <QVector>

// The path to write for a file chosen in the save dialog: a file name without "." gets
// ".xls" appended; a name whose last four characters are exactly ".xls" or ".XLS" is kept;
// any other name (".Xls", ".csv", ...) gives an empty text: the export ends.
QString XlsExportPath(const QString& chosenPath);

// Writes the list to the workbook at path (an existing file is deleted first). Headings are
// cut to 60 characters, lose every "." and are skipped when empty (a repeated heading gets
// " (2)", " (3)" ... appended, since the sheet's column names must differ); every row gives one
// value per heading (skipped ones included), cut to 60 characters. All rows are written by
// one commit at the end. Returns false with the writer's error text in *error.
bool ExportListToXls(const QString& path, const QStringList& headings,
                     const QVector<QStringList>& rows, QString* error = nullptr);

constexpr int kXlsCellChars = 60;
