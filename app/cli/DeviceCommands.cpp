// brtx-cli commands that link to an instrument the way the device page does: devices, info,
// set-time, set-id, delete-files.
#include "app/cli/Commands.h"

#include "app/cli/LinkArgs.h"
#include "base/Paths.h"
#include "device/core/DeviceSession.h"

#include <cstdio>

namespace {

int Usage(const char* command, const QString& reason) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", command, qPrintable(reason));
    for (const CliCommand& c : CliCommands())
        if (qstrcmp(c.name, command) == 0)
            std::fprintf(stderr, "Usage: brtx-cli [--home DIR] %s\n", c.usage);
    return kCliUsage;
}

void PrintKey(const QString& key) {
    CliStatus(key);
}

// Opens brtx.db and links as the page does (device information, titles stored). Prints every
// status text on the way. False when the link was not made.
bool OpenAndLink(CDeviceSession& session, const LinkTarget& target) {
    if (!session.OpenDatabase())
        std::fprintf(stderr, "brtx-cli: cannot open the database %s\n",
                     qPrintable(GetDatabasePath()));
    return LinkByTarget(session, target, PrintKey).ok;
}

// Parses the route and no further words; on a usage error returns false with *exitCode set.
bool TakeRouteOnly(const char* command, QStringList args, LinkTarget& target, int* exitCode) {
    QString error;
    if (!TakeLinkArgs(args, target, error)) {
        *exitCode = Usage(command, error);
        return false;
    }
    if (!args.isEmpty()) {
        *exitCode = Usage(command, QStringLiteral("unexpected argument '%1'").arg(args.first()));
        return false;
    }
    return true;
}

int RunDevices(const QStringList& args) {
    if (!args.isEmpty())
        return Usage("devices", QStringLiteral("unexpected argument '%1'").arg(args.first()));
    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    CliStatus(QStringLiteral("DeviceFinding"));
    QStringList serials;
    const DeviceResult r = session.FindDevices(serials);
    CliStatus(r.key);
    if (!r)
        return kCliFailed;
    for (const QString& s : serials)
        CliPrint(QStringLiteral("serial: ") + s);
    return kCliOk;
}

int RunInfo(const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("info", args, target, &code))
        return code;
    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    if (!OpenAndLink(session, target))
        return kCliFailed;
    CliPrint(QStringLiteral("device: ") + session.DeviceNumber());
    CliPrint(QStringLiteral("total: %1").arg(session.Total()));
    CliPrint(QStringLiteral("stored: %1").arg(session.Stored()));
    CliPrint(QStringLiteral("from: %1").arg(session.PresetFrom()));
    CliPrint(QStringLiteral("to: %1").arg(session.PresetTo()));
    session.Disconnect();
    return kCliOk;
}

int RunSetTime(const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("set-time", args, target, &code))
        return code;
    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    if (!OpenAndLink(session, target))
        return kCliFailed;
    const DeviceResult r = session.SetTime();
    CliStatus(r.key);
    session.Disconnect();
    return r ? kCliOk : kCliFailed;
}

int RunSetId(const QStringList& args) {
    QStringList rest = args;
    LinkTarget target;
    QString error;
    if (!TakeLinkArgs(rest, target, error, 1))
        return Usage("set-id", error);
    if (rest.isEmpty())
        return Usage("set-id", QStringLiteral("give the new device number (12 digits)"));
    if (rest.size() > 1)
        return Usage("set-id", QStringLiteral("unexpected argument '%1'").arg(rest.at(1)));
    const QString digits = rest.first();
    // A wrong number is refused before anything is linked or sent.
    if (!CDeviceSession::IsTwelveDigits(digits)) {
        CliStatus(QStringLiteral("DevIdMust12Digits"));
        return kCliFailed;
    }
    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    if (!OpenAndLink(session, target))
        return kCliFailed;
    QString number;
    const DeviceResult r = session.SetDeviceId(digits, &number);
    CliStatus(r.key);
    if (r)
        CliPrint(QStringLiteral("device: ") + number);
    session.Disconnect();
    return r ? kCliOk : kCliFailed;
}

int RunDeleteFiles(const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("delete-files", args, target, &code))
        return code;
    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    if (!OpenAndLink(session, target))
        return kCliFailed;
    const DeviceResult r = session.DeleteFiles();
    CliStatus(r.key);
    session.Disconnect();
    return r ? kCliOk : kCliFailed;
}

const CliRegistrar devices({"devices", "devices", RunDevices});
const CliRegistrar info({"info", "info (--wifi ADDRESS | --usb [SERIAL])", RunInfo});
const CliRegistrar setTime({"set-time", "set-time (--wifi ADDRESS | --usb [SERIAL])", RunSetTime});
const CliRegistrar setId({"set-id", "set-id (--wifi ADDRESS | --usb [SERIAL]) DIGITS", RunSetId});
const CliRegistrar deleteFiles({"delete-files", "delete-files (--wifi ADDRESS | --usb [SERIAL])",
                                RunDeleteFiles});

} // namespace
