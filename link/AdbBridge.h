#pragma once
// The Android Debug Bridge tool for the USB route: list attached devices and forward local
// TCP port 7575 to port 7575 on one of them.
//
// Tool: "adbcopy/adb" in the program folder when that file exists, else "adb" found on PATH.
// The tool runs as a child process (no shell) with standard output to a pipe and standard
// error discarded; it gets at most 5,000 ms, after which it is killed and reaped. Traces go to
// the debug output only.
#include <QString>
#include <QStringList>

#include <atomic>

// The tool to run: <program folder>/adbcopy/adb if present, else adb from PATH, else
// "adb" (which then fails to start). The program folder is the data folder of a copy that
// keeps its data beside itself (or BRTX_HOME); an installed copy looks only beside its own
// executable, never in its data folder, which every program of the user can write to.
QString AdbToolPath();

// Runs the tool with the given command line ("adb devices", "adb -s SERIAL forward ..."): the
// first word is the customary program name and is dropped; the rest are the arguments (split
// at blanks). When output is "no" nothing is read and the result is true if the tool started
// and ended within 5 s. Otherwise at most 20,480 bytes of its standard output are taken up to
// the first zero byte as local 8-bit text; empty text gives false, else output := the text
// and true. A tool that cannot start, or still runs after 5 s (killed), gives false.
// When cancel is given and becomes true, the tool is killed within 50 ms and the result is
// false (so a hung adb never holds the program that wants to end).
bool RunAdbCommand(const QString& commandLine, QString& output,
                   const std::atomic<bool>* cancel = nullptr);

// Parses the output of "adb devices": removes every "List of devices attached", then each
// line that contains "device" has every "device" removed and is trimmed (blank results are
// dropped); lines of devices in other states (unauthorized, offline) are left out. A final
// line without a line end is treated like the others. Returns true when the list holds at
// least one entry. devices is cleared first.
bool ParseAdbDeviceList(const QString& output, QStringList& devices);

// Runs "adb devices" (a second time if the first run fails) and parses the listing.
bool AdbListDevices(QStringList& devices, const std::atomic<bool>* cancel = nullptr);

// Runs "adb -s SERIAL forward tcp:7575 tcp:7575" without reading its output; true when the
// tool started and ended within 5 s (its output and exit status are not examined).
bool AdbForward(const QString& serial, const std::atomic<bool>* cancel = nullptr);

// Runs "adb -s SERIAL forward tcp:0 tcp:7575": adb picks a free local port and prints it.
// True with *port set when the tool printed a port number 1..65535; false when the device is
// gone (adb prints nothing then), the tool failed or it gave no port.
bool AdbForwardFreePort(const QString& serial, quint16* port,
                        const std::atomic<bool>* cancel = nullptr);

// Runs "adb -s SERIAL forward --remove tcp:PORT" (its output and status are not examined: a
// device that is gone took its forwards with it).
void AdbRemoveForward(const QString& serial, quint16 port);
