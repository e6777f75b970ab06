#pragma once
// A small reader for INI files (sections in brackets, key=value lines) that gives the
// results of the usual profile-string readers for plain files: names match without regard
// to case, blanks around names and values are trimmed, a value in matching quotes (double
// or single) loses them, ';' starts a comment line, the first matching section and key win.
// UTF-16 LE with a byte-order mark and UTF-8 with or without one are read.
#include <QByteArray>
#include <QString>

// Reads [section] key from the file; def when the file, section or key is missing.
// The result is cut to maxChars characters.
QString ReadProfileString(const QString& file, const QString& section, const QString& key,
                          const QString& def, int maxChars = 1023);

// The same on bytes already in memory (what the file holds).
QString ReadProfileStringFromBytes(const QByteArray& bytes, const QString& section,
                                   const QString& key, const QString& def, int maxChars = 1023);
