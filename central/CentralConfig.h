#pragma once
// Where the central store is: [Global] CentralUrl of Language.ini (a libpq connection string
// or URI), unless a command gave its own. Empty: no central store; everything works locally.
#include <QString>

namespace Central {

// The connection string in use: the override when one was set, else [Global] CentralUrl.
QString CentralUrl();
// brtx-cli --central sets this for its one command.
void SetCentralUrlOverride(const QString& conninfo);
bool HasCentral();

// The name this desk uploads under: [Global] Station, else the machine's host name.
QString StationName();

} // namespace Central
