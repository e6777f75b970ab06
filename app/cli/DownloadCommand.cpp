// brtx-cli download: links like the device page and runs one download through the same
// worker, printing each status text as it comes and a closing summary line.
#include "app/cli/Commands.h"
#include "app/cli/LinkArgs.h"
#include "device/core/DeviceSession.h"
#include "device/core/DownloadWorker.h"

#include "base/Language.h"
#include "base/Paths.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>

namespace {

// Receives the worker's events on the main thread, prints them and counts the records.
class DownloadPrinter : public QObject {
public:
    int downloaded = 0;
    int skipped = 0;
    int failed = 0;
    bool finished = false;
    QEventLoop loop;

protected:
    bool event(QEvent* e) override {
        using namespace Download;
        const DownloadEvent* d = AsDownloadEvent(e);
        if (!d)
            return QObject::event(e);
        switch (int(d->type())) {
        case kRecordDownloadedEvent:
            if (d->stored)
                ++downloaded;
            else
                ++skipped;
            CliPrint(StatusText(QStringLiteral("DownloadRecordOK"), d->number));
            break;
        case kRecordFailedEvent:
            ++failed;
            if (!d->key.isEmpty())
                CliPrint(StatusText(d->key, d->keyNumber));
            CliPrint(StatusText(QStringLiteral("DownloadRecordFail"), d->number));
            break;
        case kFinishedEvent:
            if (d->failed) {
                ++failed;
                if (!d->key.isEmpty())
                    CliPrint(StatusText(d->key, d->keyNumber));
                CliPrint(StatusText(QStringLiteral("DownloadRecordFail"), d->number));
            } else {
                CliPrint(FinishText(d->failedRecords));
            }
            finished = true;
            loop.quit();
            break;
        default: // progress: no text
            break;
        }
        return true;
    }
};

int usage(const QString& reason) {
    if (!reason.isEmpty())
        CliPrint(QStringLiteral("download: ") + reason);
    CliPrint(QStringLiteral("usage: brtx-cli download (--wifi ADDRESS | --usb [SERIAL]) "
                            "[--all | --single N | --from N --to M]"));
    return kCliUsage;
}

int runDownload(const QStringList& argsIn) {
    QStringList args = argsIn;
    LinkTarget target;
    QString error;
    if (!TakeLinkArgs(args, target, error))
        return usage(error);

    bool all = false;
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
    if (int(all) + int(haveSingle) + int(haveFrom || haveTo) > 1)
        return usage(QStringLiteral("choose one of --all, --single, --from/--to"));

    CDeviceSession session;
    session.SetProgram(QStringLiteral("cli"));
    if (!session.OpenDatabase())
        CliPrint(QStringLiteral("download: cannot open ") + GetDatabasePath());
    const LinkResult link =
        LinkByTarget(session, target, [](const QString& key) { CliPrint(GetText(key)); });
    if (!link.ok)
        return kCliFailed;

    Download::PlanResult plan;
    if (haveSingle)
        plan = Download::PlanSingle(single, session.Total());
    else if (haveFrom || haveTo)
        plan = Download::PlanDownload(from, to, session.Total());
    else
        plan = Download::PlanAll(session.Total());
    if (!plan.start) {
        CliPrint(GetText(plan.key));
        return kCliFailed;
    }

    DownloadPrinter printer;
    Download::Context ctx;
    ctx.db = &session.Database();
    ctx.deviceId = session.DeviceNumber();
    ctx.picRoot = GetPicFolder();
    ctx.program = session.Program();
    {
        Download::CDownloadWorker worker(&printer);
        worker.Start(plan.plan, ctx);
        if (!printer.finished)
            printer.loop.exec();
        worker.Wait();
    }
    CliPrint(QStringLiteral("downloaded: %1, skipped: %2, failed: %3")
                 .arg(printer.downloaded)
                 .arg(printer.skipped)
                 .arg(printer.failed));
    return printer.failed == 0 ? kCliOk : kCliFailed;
}

const CliRegistrar registrar({"download",
                              "download (--wifi ADDRESS | --usb [SERIAL]) "
                              "[--all | --single N | --from N --to M]",
                              runDownload});

} // namespace
