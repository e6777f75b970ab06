// brtx-cli download: links like the device page and runs one download through the same
// worker, printing each status text as it comes and a closing summary line. SIGINT and
// SIGTERM cancel like the page's Cancel button (exit status 130).
#include "app/cli/Commands.h"
#include "app/cli/LinkArgs.h"
#include "device/core/DeviceSession.h"
#include "device/core/DeviceWorker.h"
#include "device/core/DownloadWorker.h"

#include "base/Language.h"
#include "base/Paths.h"

#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// SIGINT and SIGTERM: the handler writes one byte into a pipe; the main thread's event loop
// reads it and cancels the download (or aborts the link attempt) like the Cancel button.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    const ssize_t r = ::write(g_signalPipe[1], &byte, 1);
    (void)r;
}

class SignalCancel {
public:
    explicit SignalCancel(CDeviceExchange& exchange) {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this, &exchange] {
            char scratch[16];
            while (::read(g_signalPipe[0], scratch, sizeof scratch) > 0) {
            }
            canceled = true;
            if (!exchange.Cancel())
                exchange.AbortNow(); // a link attempt or adb run: nothing is stored yet
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~SignalCancel() {
        if (!m_notifier)
            return;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        m_notifier.reset();
        ::close(g_signalPipe[0]);
        ::close(g_signalPipe[1]);
        g_signalPipe[0] = g_signalPipe[1] = -1;
    }
    bool canceled = false;

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// Links like LinkByTarget, with every step on the worker thread.
LinkResult linkThroughWorker(CDeviceExchange& exchange, const LinkTarget& target) {
    CDeviceWorker* worker = exchange.Worker();
    LinkResult link;
    QStringList serials;
    DeviceResult found;
    const QMetaObject::Connection c1 = QObject::connect(
        worker, &CDeviceWorker::linked, [&link](DeviceOp, const LinkResult& r) { link = r; });
    const QMetaObject::Connection c2 = QObject::connect(
        worker, &CDeviceWorker::devicesFound, [&](const DeviceResult& r, const QStringList& s) {
            found = r;
            serials = s;
        });
    if (target.route == LinkRoute::Wifi) {
        CliStatus(QStringLiteral("WifiConnecting"));
        exchange.ConnectWifi(target.address);
        exchange.WaitIdle();
    } else if (target.route == LinkRoute::Usb) {
        QString serial = target.serial.trimmed();
        bool ok = true;
        if (serial.isEmpty()) {
            CliStatus(QStringLiteral("DeviceFinding"));
            exchange.FindDevices();
            exchange.WaitIdle();
            if (!found.key.isEmpty())
                CliStatus(found.key);
            ok = found.ok;
            link.key.clear();
            serial = serials.value(0);
        }
        if (ok && !exchange.Session().Aborted()) {
            CliStatus(QStringLiteral("USBConneting"));
            exchange.ConnectUsb(serial);
            exchange.WaitIdle();
        }
    } else {
        link.key = QStringLiteral("GetDevFail");
    }
    if (!link.key.isEmpty())
        CliStatus(link.key);
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    return link;
}

int usage(const QString& reason) {
    if (!reason.isEmpty())
        CliPrint(QStringLiteral("download: ") + reason);
    CliPrint(QStringLiteral("usage: brtx-cli download (--wifi ADDRESS | --usb [SERIAL]) "
                            "[--all | --new | --single N | --from N --to M]"));
    return kCliUsage;
}

int runDownload(const QStringList& argsIn) {
    QStringList args = argsIn;
    LinkTarget target;
    QString error;
    if (!TakeLinkArgs(args, target, error))
        return usage(error);

    bool all = false;
    bool onlyNew = false;
    bool haveSingle = false;
    bool haveFrom = false;
    bool haveTo = false;
    QString single;
    QString from;
    QString to;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto value = [&](QString& out, bool& flag) {
            if (flag || i + 1 >= args.size())
                return false;
            out = args[++i];
            flag = true;
            return true;
        };
        if (arg == QLatin1String("--all") && !all) {
            all = true;
        } else if (arg == QLatin1String("--new") && !onlyNew) {
            onlyNew = true;
        } else if (arg == QLatin1String("--single")) {
            if (!value(single, haveSingle))
                return usage(QStringLiteral("--single needs one record number"));
        } else if (arg == QLatin1String("--from")) {
            if (!value(from, haveFrom))
                return usage(QStringLiteral("--from needs one record number"));
        } else if (arg == QLatin1String("--to")) {
            if (!value(to, haveTo))
                return usage(QStringLiteral("--to needs one record number"));
        } else {
            return usage(QStringLiteral("unexpected argument ") + arg);
        }
    }
    if (int(all) + int(onlyNew) + int(haveSingle) + int(haveFrom || haveTo) > 1)
        return usage(QStringLiteral("choose one of --all, --new, --single, --from/--to"));

    CDeviceSession session(ReadLinkOptions(Language()));
    session.SetProgram(QStringLiteral("cli"));
    if (!session.OpenDatabase())
        CliPrint(QStringLiteral("download: cannot open ") + GetDatabasePath());
    CDeviceExchange exchange(session);
    SignalCancel interrupt(exchange);
    auto summary = [](quint32 downloaded, quint32 skipped, quint32 failed) {
        CliPrint(QStringLiteral("downloaded: %1, skipped: %2, failed: %3")
                     .arg(downloaded)
                     .arg(skipped)
                     .arg(failed));
    };
    const LinkResult link = linkThroughWorker(exchange, target);
    if (interrupt.canceled) {
        Download::Update none;
        none.type = Download::Update::Type::Finished;
        none.canceled = true;
        for (const QString& text : Download::UpdateTexts(none))
            CliPrint(text);
        summary(0, 0, 0);
        return kCliCanceled;
    }
    if (!link.ok)
        return kCliFailed;

    Download::PlanResult plan;
    if (onlyNew)
        plan = Download::PlanNew(session.NewRecordNumbers(), session.Total());
    else if (haveSingle)
        plan = Download::PlanSingle(single, session.Total());
    else if (haveFrom || haveTo)
        plan = Download::PlanDownload(from, to, session.Total());
    else
        plan = Download::PlanAll(session.Total());
    if (onlyNew && session.Total() > 0)
        CliPrint(GetTextNumber(QStringLiteral("NewRecords"), plan.plan.numbers.size()));
    if (!plan.start) {
        if (plan.key == QLatin1String("NewRecords")) {
            summary(0, 0, 0);
            return kCliOk; // everything is stored already
        }
        CliPrint(GetText(plan.key));
        return kCliFailed;
    }

    Download::Update result;
    QObject::connect(exchange.Worker(), &CDeviceWorker::downloadUpdate,
                     [&result](const Download::Update& u) {
                         for (const QString& text : Download::UpdateTexts(u))
                             CliPrint(text);
                         if (u.type == Download::Update::Type::Finished)
                             result = u;
                     });
    exchange.Download(plan.plan, GetPicFolder());
    exchange.WaitIdle();
    summary(result.downloaded, result.skipped, result.failed);
    if (result.canceled || interrupt.canceled)
        return kCliCanceled;
    return result.failed == 0 ? kCliOk : kCliFailed;
}
const CliRegistrar registrar({"download",
                              "download (--wifi ADDRESS | --usb [SERIAL]) "
                              "[--all | --new | --single N | --from N --to M]",
                              runDownload});

} // namespace
