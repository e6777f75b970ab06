// brtx-cli download: links like the device page and runs one download through the same
// worker, printing each status text as it comes and a closing summary line. SIGINT and
// SIGTERM cancel like the page's Cancel button (exit status 130).
#include "app/cli/Commands.h"
#include "app/cli/DeviceRun.h"
#include "device/core/DownloadWorker.h"

#include "base/Language.h"
#include "base/Paths.h"

#include <QObject>

namespace {

const char* const kName = "download";

int usage(const QString& reason) {
    return CliUsageError(kName, reason);
}

int runDownload(const CLanguage& texts, const QStringList& argsIn) {
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
        if (arg == QLatin1String("--all")) {
            all = true;
        } else if (arg == QLatin1String("--new")) {
            onlyNew = true;
        } else if (arg == QLatin1String("--single")) {
            if (!value(single, haveSingle))
                return usage(QStringLiteral("--single needs one record number: --single N"));
        } else if (arg == QLatin1String("--from")) {
            if (!value(from, haveFrom))
                return usage(QStringLiteral("--from needs one record number: --from N"));
        } else if (arg == QLatin1String("--to")) {
            if (!value(to, haveTo))
                return usage(QStringLiteral("--to needs one record number: --to M"));
        } else {
            return CliUnknownArgument(kName, arg);
        }
    }
    if (int(all) + int(onlyNew) + int(haveSingle) + int(haveFrom || haveTo) > 1)
        return usage(QStringLiteral("choose one of --all, --new, --single, --from/--to"));

    CCliDeviceRun run(texts);
    CDeviceSession& session = run.Session();
    CDeviceExchange& exchange = run.Exchange();
    if (!session.OpenDatabase())
        CliPrint(QStringLiteral("download: cannot open ") + GetDatabasePath());
    auto summary = [](quint32 downloaded, quint32 skipped, quint32 failed) {
        CliPrint(QStringLiteral("downloaded: %1, skipped: %2, failed: %3")
                     .arg(downloaded)
                     .arg(skipped)
                     .arg(failed));
    };
    const LinkResult link = run.Link(target);
    if (run.Interrupted()) {
        Download::Update none;
        none.type = Download::Update::Type::Finished;
        none.canceled = true;
        for (const QString& text : Download::UpdateTexts(texts, none))
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
        CliPrint(texts.GetTextNumber(QStringLiteral("NewRecords"), plan.plan.numbers.size()));
    if (!plan.start) {
        if (plan.key == QLatin1String("NewRecords")) {
            summary(0, 0, 0);
            return kCliOk; // everything is stored already
        }
        CliPrint(texts.GetText(plan.key));
        return kCliFailed;
    }

    Download::Update result;
    QObject::connect(exchange.Worker(), &CDeviceWorker::downloadUpdate, &exchange,
                     [&result, &texts](const Download::Update& u) {
                         for (const QString& text : Download::UpdateTexts(texts, u))
                             CliPrint(text);
                         if (u.type == Download::Update::Type::Finished)
                             result = u;
                     });
    exchange.Download(plan.plan, GetPicFolder());
    exchange.WaitIdle();
    summary(result.downloaded, result.skipped, result.failed);
    if (result.canceled || run.Interrupted())
        return kCliCanceled;
    return result.failed == 0 ? kCliOk : kCliFailed;
}
const CliRegistrar registrar(
    {kName,
     "download (--wifi ADDRESS | --usb [SERIAL]) [--all | --new | --single N | --from N --to M]",
     runDownload, "download records and their photographs into brtx.db and pic/",
     CliRouteOptions() +
         QList<CliOption>{{"--all", "every record the instrument holds (the default)"},
                          {"--new", "only the records not stored yet"},
                          {"--single N", "record N alone"},
                          {"--from N", "the records from N (with --to: from N to M)"},
                          {"--to M", "the records up to M (with --from)"}},
     "brtx-cli download --wifi 192.168.1.20 --new"});

} // namespace
