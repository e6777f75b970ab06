#pragma once
// The PDF test report's HTML: the report name of a record, the page built from fixed
// templates (logo, title, sample table, field rows, photograph), character references for
// the Latin-1 supplement, Latin Extended-A and a few symbols, and the bytes written.
#include <QByteArray>
#include <QString>
#include <QStringList>

// Report name N of a record (cells 0..3: device number, record number, date, time). Two
// different records never get the same name:
//  - a usual key (device and record number without "_", "%", "/", "\" or control characters,
//    date "yyyy-MM-dd", time "HH:mm:ss") is named as ever: the four joined by "_", the date
//    without "-" and the time without ":" ("D_5_20201223_103005"), so reports made by earlier
//    versions keep their names;
//  - any other key gets its four values with "%", "_", "/", "\", ":" and control characters
//    written as "%XX" (the character's code in two hex digits), joined by "_", and "_%" at the
//    end. Such a name cannot be read back as two keys, and holds a "%" no usual name holds.
QString ReportName(const QStringList& cells);

// Replaces U+2030, U+20AC, U+2122, U+221A, U+2105, U+03C0, U+2022, U+FF0C and every
// character from U+00A1 to U+017F except U+00A8, U+00AD, U+00B4 and U+00B8 by a numeric
// character reference. Nothing else is changed.
QString HtmlEncode(const QString& text);

// Escapes "&", "<", ">" and '"' so that a text cannot add markup.
QString HtmlEscape(const QString& text);

// "gbk" when the language is exactly "Chinese", else "utf-8".
QString ReportCharset(const QString& language);

// The report text before HtmlEncode: headings and cells of the list (row of the record),
// the record's stored picture Path (backslashes become "/", and "%", "#", "?" are escaped
// for the URL) and the character set name.
// Cells and headings beyond the lists read as empty; at most 28 headings are used.
QString BuildReportText(const QStringList& headings, const QStringList& cells,
                        const QString& picturePath, const QString& charset);

// HtmlEncode(BuildReportText(...)).
QString BuildReportHtml(const QStringList& headings, const QStringList& cells,
                        const QString& picturePath, const QString& charset);

// The bytes of the HTML file: UTF-8, or GBK when charset is "gbk" (a character GBK cannot
// hold is written as a numeric character reference).
QByteArray ReportBytes(const QString& html, const QString& charset);

constexpr int kReportMaxHeadings = 28;
