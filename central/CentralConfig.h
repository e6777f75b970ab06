#pragma once
// Where the central store is: [Global] CentralUrl of Language.ini (a libpq connection string
// or URI), unless a command gives its own. Empty: no central store; everything works locally.
#include <QString>

class CLanguage;

namespace Central {

// [Global] CentralUrl of the given Language.ini, trimmed.
QString CentralUrl(const CLanguage& texts);
bool HasCentral(const CLanguage& texts);

// The name this desk uploads under: [Global] Station, else the machine's host name.
QString StationName(const CLanguage& texts);

} // namespace Central
