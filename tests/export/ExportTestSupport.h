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

QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

} // namespace exporttest
