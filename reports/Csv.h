#pragma once
// CSV as spreadsheet programs read it: RFC 4180 with CRLF line ends, UTF-8 after a byte-order
// mark. A field is quoted when it holds a comma, a quote, CR or LF, with its quotes doubled.
// A text starting with '=', '+', '-', '@', TAB or CR gets a leading apostrophe so that a
// spreadsheet never runs it as a formula; a text that is a plain number ("-0.05") is kept.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Csv {

inline constexpr char kBom[] = "\xEF\xBB\xBF";

// One field, made safe and quoted as needed (UTF-8).
QByteArray Field(const QString& text);
// The fields joined by commas, ending in CRLF.
QByteArray Line(const QStringList& fields);
// True for a plain decimal number: optional sign, digits with an optional decimal point,
// optional exponent.
bool IsPlainNumber(const QString& text);

} // namespace Csv
