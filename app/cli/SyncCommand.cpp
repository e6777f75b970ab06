// brtx-cli sync: uploads this desk's records, title sets, photographs, seals and audit entries
// that the central store does not have yet, then its register of instruments and log entries.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "central/CentralSync.h"

#include <cstdio>

namespace {

constexpr const char* kName = "sync";

int Run(const CLanguage& texts, const QStringList& argsIn) {
    QStringList args = argsIn;
    bool given = false;
    QString conninfo, error;
    if (!TakeCentralArg(texts, args, given, conninfo, error))
        return CliUsageError(kName, error);
    Central::SyncOptions options;
    options.conninfo = conninfo;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--device")) {
            if (i + 1 >= args.size())
                return CliUsageError(kName, QStringLiteral("--device needs a value: --device ID"));
            options.device = args[++i];
        } else if (arg.startsWith(QLatin1String("--device="))) {
            options.device = arg.mid(9);
        } else if (arg == QLatin1String("--batch")) {
            const int batch = i + 1 < args.size() ? args[i + 1].toInt() : 0;
            if (batch <= 0)
                return CliUsageError(kName, QStringLiteral("--batch wants a number of records "
                                                           "above 0: --batch RECORDS"));
            options.batchRecords = batch;
            ++i;
        } else {
            return CliUnknownArgument(kName, arg);
        }
    }
    if (conninfo.isEmpty())
        return CliUsageError(kName, QStringLiteral("no central store: put its connection line "
                                                   "in central.conf of the data folder or give "
                                                   "--central-file FILE"));
    const Central::SyncResult result =
        Central::SyncToCentral(options, [](const QString& stage, qint64 done, qint64 total) {
            std::fprintf(stderr, "sync: %s %lld of %lld\n", qPrintable(stage),
                         static_cast<long long>(done), static_cast<long long>(total));
            std::fflush(stderr);
        });
    for (const QString& conflict : result.conflicts)
        std::fprintf(stderr, "conflict: %s\n", qPrintable(conflict));
    CliPrint(result.Summary());
    if (!result.InstrumentSummary().isEmpty())
        CliPrint(result.InstrumentSummary());
    if (!result.ok) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(result.error));
        return kCliFailed;
    }
    return kCliOk;
}

const CliRegistrar
    registrar({kName,
               "sync [--central CONNINFO | --central-file FILE] [--device ID] [--batch RECORDS]",
               Run,
               "upload the records, photographs, seals, audit entries, instrument register and log "
               "entries the central store lacks",
               {{"--central CONNINFO",
                 "the central store (default: central.conf of the data folder, else CentralUrl "
                 "of Language.ini); shows in the process list: prefer --central-file"},
                {"--central-file FILE",
                 "the central store whose connection line is in FILE (mode 0600, owned by you)"},
                {"--device ID", "only this device's records"},
                {"--batch RECORDS", "records sent in one transaction"}},
               "brtx-cli sync --central-file ~/.config/brtx-central.conf"});

} // namespace
