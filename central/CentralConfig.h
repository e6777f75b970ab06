#pragma once
// Where the central store is: the connection line in central.conf of the data folder (a file
// only its owner may read), else [Global] CentralUrl of Language.ini (still read, with a
// one-time warning that a password there belongs in central.conf), unless a command gives its
// own. Empty: no central store; everything works locally.
#include <QString>

class CLanguage;

namespace Central {

// <data folder>/central.conf.
QString CentralConfPath();

// Reads the connection line of a file (the first line that is neither empty nor a '#' note,
// trimmed). Refused (false, *problem says why) when the file is not a regular file, belongs
// to another user, can be read or written by group or others, or is too long. A missing file
// gives true and an empty line.
bool ReadConnectionFile(const QString& path, QString& line, QString* problem);
// Writes line to path as a new 0600 file and puts it in place of the old one in one step;
// never follows a link. False with *problem.
bool WriteConnectionFile(const QString& path, const QString& line, QString* problem);

// The connection line in use: central.conf, else CentralUrl of the given Language.ini. A
// central.conf that is refused gives an empty line and *problem.
QString CentralUrl(const CLanguage& texts, QString* problem = nullptr);
bool HasCentral(const CLanguage& texts);
// The warning about a password in Language.ini's CentralUrl, once per process (empty after
// the first call, and when there is nothing to warn about). CentralUrl() prints it to stderr.
QString TakeCentralUrlWarning();

// The name this desk uploads under: [Global] Station, else the machine's host name.
QString StationName(const CLanguage& texts);

} // namespace Central
