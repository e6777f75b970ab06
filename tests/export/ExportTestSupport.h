#pragma once
// Helpers of the export tests: independent readers of .xls files (python3-xlrd and
// gnumeric's ssconvert) and small file utilities.
#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <QVector>

namespace exporttest {

// Runs a program and returns its standard output; *ok tells whether it exited with 0.
QByteArray run(const QString& program, const QStringList& args, bool* ok, int timeoutMs = 60000);

// The workbook as xlrd reads it: [{"name":..., "nrows":n, "ncols":n, "rows":[[...]...]}].
// With maxRows >= 0 only the first maxRows rows and the last row are listed.
QJsonDocument readWithXlrd(const QString& path, int maxRows = -1);

// The first sheet as ssconvert converts it to CSV, parsed into rows.
QVector<QStringList> readWithSsconvert(const QString& path);

// The first sheet of an .xlsx workbook as openpyxl reads it: {"sheet", "freeze", "filter",
// "bold" (the heading row's cells all bold), "widths" [..], "rows": [[[type, text]...]...]}
// with type "s" text, "n" number, "d" date (text yyyy-mm-dd), "t" time (hh:mm:ss), "" empty.
// With maxRows >= 0 only the first maxRows rows and the last row are listed.
QJsonDocument readWithOpenpyxl(const QString& path, int maxRows = -1);

// A CSV file as Python's csv module reads it (UTF-8, byte-order mark skipped).
QVector<QStringList> readCsvWithPython(const QString& path);

// The first sheet of a workbook as LibreOffice converts it to CSV ({} when soffice is
// not installed; *available tells).
QVector<QStringList> readWithSoffice(const QString& path, bool* available);

QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

} // namespace exporttest
