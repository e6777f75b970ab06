// brtx-cli watch: a docking station without a window. Every few seconds the connected
// instruments (adb devices, and the Wi-Fi addresses given) that are not being served are
// downloaded, several at once, and synced when asked. One line per pass and instrument on
// standard output, nothing else there (no progress bars), so a service's journal reads well.
// SIGINT and SIGTERM let the records in flight finish, print their lines and exit 130.
#include "app/cli/Commands.h"

#include "base/Language.h"
#include "central/CentralConfig.h"
#include "central/CentralSync.h"
#include "device/core/Station.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* kName = "watch";

int g_stopPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    const ssize_t r = ::write(g_stopPipe[1], &byte, 1);
    (void)r;
}

int usage(const QString& reason) {
    return CliUsageError(kName, reason);
}

int Run(const CLanguage& texts, const QStringList& args) {
    Station::Options options;
    options.link = ReadLinkOptions(texts);
    int interval = 10;
    bool once = false;
    bool sync = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto number = [&](int& out, int min, int max) {
            bool ok = false;
            if (i + 1 < args.size())
                out = args[++i].toInt(&ok);
            return ok && out >= min && out <= max;
        };
        if (arg == QLatin1String("--interval")) {
            if (!number(interval, 1, 86400))
                return usage(QStringLiteral("--interval needs seconds 1..86400: --interval S"));
        } else if (arg == QLatin1String("--parallel")) {
            if (!number(options.parallel, 1, 64))
                return usage(QStringLiteral("--parallel needs a number 1..64: --parallel N"));
        } else if (arg == QLatin1String("--once")) {
            once = true;
        } else if (arg == QLatin1String("--no-usb")) {
            options.usb = false;
        } else if (arg == QLatin1String("--sync")) {
            sync = true;
        } else if (arg == QLatin1String("--wifi")) {
            // One or more addresses, up to the next option.
            int taken = 0;
            while (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--"))) {
                const QString target = args[++i];
                QString host;
                quint16 port = 0;
                if (!Station::ParseWifiTarget(target, host, port))
                    return usage(QStringLiteral("--wifi: \"%1\" is not an address A.B.C.D "
                                                "(or A.B.C.D:PORT)")
                                     .arg(target));
                if (!options.wifi.contains(target.trimmed()))
                    options.wifi << target.trimmed();
                ++taken;
            }
            if (taken == 0)
                return usage(QStringLiteral("--wifi needs at least one address: --wifi ADDRESS"));
        } else {
            return CliUnknownArgument(kName, arg);
        }
    }
    if (!options.usb && options.wifi.isEmpty())
        return usage(QStringLiteral("--no-usb leaves nothing to serve: give --wifi ADDRESS"));

    const QString capacity = texts.ReadGlobal(QStringLiteral("InstrumentCapacity")).trimmed();
    if (!capacity.isEmpty()) {
        bool ok = false;
        options.capacity = capacity.toUInt(&ok);
        if (!ok) {
            options.capacity = 0;
            CliPrint(QStringLiteral("watch: [Global] InstrumentCapacity=%1 is not a number of "
                                    "records; no memory warnings")
                         .arg(capacity));
        }
    }
    const QString central = Central::CentralUrl(texts);
    if (sync && central.isEmpty())
        return usage(QStringLiteral("--sync needs a central store: put its connection line "
                                    "in central.conf of the data folder"));
    if (!central.isEmpty()) {
        options.sync = Central::DeviceSync(central);
    }

    CStation station(texts, options);
    int exitCode = kCliOk;
    bool interrupted = false;
    QEventLoop loop;
    QObject::connect(&station, &CStation::message, [](const QString& text) { CliPrint(text); });
    // Wi-Fi addresses are served at every pass: a line that only repeats the last one of its
    // instrument with nothing downloaded or failed is left out, so the journal shows events.
    QHash<QString, QString> lastLines;
    QObject::connect(&station, &CStation::served, [&](const Station::Report& report) {
        const QString line = report.Line();
        const bool repeat =
            lastLines.value(report.source) == line && report.downloaded == 0 && report.failed == 0;
        lastLines.insert(report.source, line);
        if (!repeat)
            CliPrint(line);
    });
    QObject::connect(&station, &CStation::passDone, [&](bool anyFailed) {
        if (anyFailed)
            exitCode = kCliFailed;
        if (once)
            station.Stop();
    });
    QObject::connect(&station, &CStation::idle, [&] {
        if (station.IsStopping())
            loop.quit();
    });

    // SIGINT / SIGTERM: the handler writes a byte into a pipe the event loop watches.
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(g_stopPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [&] {
            char scratch[16];
            while (::read(g_stopPipe[0], scratch, sizeof scratch) > 0) {
            }
            interrupted = true;
            station.Stop();
        });
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &oldInt);
        ::sigaction(SIGTERM, &action, &oldTerm);
    }

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { station.StartPass(); });
    if (!once)
        timer.start(interval * 1000);
    station.StartPass();
    loop.exec();
    timer.stop();

    if (notifier) {
        ::sigaction(SIGINT, &oldInt, nullptr);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
        notifier.reset();
        ::close(g_stopPipe[0]);
        ::close(g_stopPipe[1]);
        g_stopPipe[0] = g_stopPipe[1] = -1;
    }
    if (interrupted)
        return kCliCanceled;
    return exitCode;
}

const CliRegistrar registrar(
    {kName,
     "watch [--interval S] [--once] [--parallel N] [--wifi ADDRESS ...] [--no-usb] [--sync]",
     Run,
     "serve every docked instrument: download its new records, several at once, and sync",
     {{"--interval S", "seconds between two looks at what is connected (default 10)"},
      {"--once", "one pass over what is connected, then exit (1 when anything failed)"},
      {"--parallel N", "instruments downloaded at once (default 4)"},
      {"--wifi ADDRESS", "also serve the instruments at these addresses (A.B.C.D[:PORT] ...)"},
      {"--no-usb", "do not list adb devices (Wi-Fi addresses only)"},
      {"--sync", "sync each instrument's records to the central store (CentralUrl) after its "
                 "download"}},
     "brtx-cli watch --once --parallel 4"});

} // namespace
