// brtx-cli commands that link to an instrument the way the device page does: devices, info,
// set-time, set-id, delete-files. Like the page they drive the device worker (CCliDeviceRun).
#include "app/cli/Commands.h"

#include "app/cli/DeviceRun.h"
#include "app/cli/LinkArgs.h"
#include "base/Paths.h"
#include "device/core/DeviceSession.h"

#include <cstdio>
#include <functional>

namespace {

// Opens brtx.db, links as the page does (device information, titles stored) and, once
// linked, runs `work` (which returns the exit code); then closes the link. Every step runs
// on the device worker; SIGINT/SIGTERM abort the step in flight (exit kCliCanceled).
int RunLinked(const CLanguage& texts, const char* command, const LinkTarget& target,
              const std::function<int(CCliDeviceRun&)>& work) {
    CCliDeviceRun run(texts);
    if (!run.Session().OpenDatabase())
        std::fprintf(stderr, "brtx-cli %s: cannot open the database %s\n", command,
                     qPrintable(GetDatabasePath()));
    const bool linked = run.Link(target).ok;
    if (run.Interrupted())
        return run.ReportInterrupted(command);
    if (!linked)
        return kCliFailed;
    const int code = work(run);
    run.Disconnect();
    return run.Interrupted() ? run.ReportInterrupted(command) : code;
}

// Parses the route and no further words; on a usage error returns false with *exitCode set.
bool TakeRouteOnly(const char* command, QStringList args, LinkTarget& target, int* exitCode) {
    QString error;
    if (!TakeLinkArgs(args, target, error)) {
        *exitCode = CliUsageError(command, error);
        return false;
    }
    if (!args.isEmpty()) {
        *exitCode = CliUnknownArgument(command, args.first());
        return false;
    }
    return true;
}

int RunDevices(const CLanguage& texts, const QStringList& args) {
    if (!args.isEmpty())
        return CliUnknownArgument("devices", args.first());
    CCliDeviceRun run(texts);
    QStringList serials;
    const DeviceResult r = run.FindDevices(serials);
    if (run.Interrupted())
        return run.ReportInterrupted("devices");
    if (!r)
        return kCliFailed;
    for (const QString& s : serials)
        CliPrint(QStringLiteral("serial: ") + s);
    return kCliOk;
}

int RunInfo(const CLanguage& texts, const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("info", args, target, &code))
        return code;
    return RunLinked(texts, "info", target, [](CCliDeviceRun& run) {
        const CDeviceSession& session = run.Session();
        CliPrint(QStringLiteral("device: ") + session.DeviceNumber());
        CliPrint(QStringLiteral("total: %1").arg(session.Total()));
        CliPrint(QStringLiteral("stored: %1").arg(session.Stored()));
        CliPrint(QStringLiteral("from: %1").arg(session.PresetFrom()));
        CliPrint(QStringLiteral("to: %1").arg(session.PresetTo()));
        return kCliOk;
    });
}

int RunSetTime(const CLanguage& texts, const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("set-time", args, target, &code))
        return code;
    return RunLinked(texts, "set-time", target, [](CCliDeviceRun& run) {
        return run.Command([](CDeviceExchange& e) { return e.SetTime(); }) ? kCliOk : kCliFailed;
    });
}

int RunSetId(const CLanguage& texts, const QStringList& args) {
    QStringList rest = args;
    LinkTarget target;
    QString error;
    if (!TakeLinkArgs(rest, target, error, 1))
        return CliUsageError("set-id", error);
    if (rest.isEmpty())
        return CliUsageError("set-id", QStringLiteral("give the new device number (12 digits)"));
    if (rest.size() > 1)
        return CliUnknownArgument("set-id", rest.at(1));
    const QString digits = rest.first();
    // A wrong number is refused before anything is linked or sent.
    if (!CDeviceSession::IsTwelveDigits(digits)) {
        CliStatus(texts, QStringLiteral("DevIdMust12Digits"));
        return kCliFailed;
    }
    return RunLinked(texts, "set-id", target, [&digits](CCliDeviceRun& run) {
        QString number;
        const DeviceResult r =
            run.Command([&digits](CDeviceExchange& e) { return e.SetDeviceId(digits); }, &number);
        if (r)
            CliPrint(QStringLiteral("device: ") + number);
        return r ? kCliOk : kCliFailed;
    });
}

int RunDeleteFiles(const CLanguage& texts, const QStringList& args) {
    LinkTarget target;
    int code = kCliUsage;
    if (!TakeRouteOnly("delete-files", args, target, &code))
        return code;
    return RunLinked(texts, "delete-files", target, [](CCliDeviceRun& run) {
        return run.Command([](CDeviceExchange& e) { return e.DeleteFiles(); }) ? kCliOk
                                                                               : kCliFailed;
    });
}

const CliRegistrar devices({"devices",
                            "devices",
                            RunDevices,
                            "list the serials of the instruments attached over USB (adb)",
                            {},
                            "brtx-cli devices"});
const CliRegistrar info({"info", "info (--wifi ADDRESS | --usb [SERIAL])", RunInfo,
                         "link and print the instrument's device number and record counts",
                         CliRouteOptions(), "brtx-cli info --wifi 192.168.1.20"});
const CliRegistrar setTime({"set-time", "set-time (--wifi ADDRESS | --usb [SERIAL])", RunSetTime,
                            "set the instrument's clock to this computer's time", CliRouteOptions(),
                            "brtx-cli set-time --usb"});
const CliRegistrar setId({"set-id", "set-id (--wifi ADDRESS | --usb [SERIAL]) DIGITS", RunSetId,
                          "give the instrument a new 12-digit device number", CliRouteOptions(),
                          "brtx-cli set-id --wifi 192.168.1.20 000123456789"});
const CliRegistrar deleteFiles({"delete-files", "delete-files (--wifi ADDRESS | --usb [SERIAL])",
                                RunDeleteFiles,
                                "delete the records and photographs stored on the instrument",
                                CliRouteOptions(), "brtx-cli delete-files --wifi 192.168.1.20"});

} // namespace
