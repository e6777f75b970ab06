// brtx-cli sync: uploads this desk's records, title sets, photographs, seals and audit entries
// that the central store does not have yet.
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
    if (!TakeCentralArg(texts, args, given, conninfo, error)) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(error));
        return kCliUsage;
    }
    Central::SyncOptions options;
    options.conninfo = conninfo;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--device") && i + 1 < args.size()) {
            options.device = args[++i];
        } else if (args[i].startsWith(QLatin1String("--device="))) {
            options.device = args[i].mid(9);
        } else if (args[i] == QLatin1String("--batch") && i + 1 < args.size() &&
                   args[i + 1].toInt() > 0) {
            options.batchRecords = args[++i].toInt();
        } else {
            std::fprintf(stderr, "brtx-cli %s: unexpected argument '%s'\n", kName,
                         qPrintable(args[i]));
            return kCliUsage;
        }
    }
    if (conninfo.isEmpty()) {
        std::fprintf(stderr,
                     "brtx-cli %s: no central store: set CentralUrl in Language.ini or give "
                     "--central CONNINFO\n",
                     kName);
        return kCliUsage;
    }
    const Central::SyncResult result =
        Central::SyncToCentral(options, [](const QString& stage, qint64 done, qint64 total) {
            std::fprintf(stderr, "sync: %s %lld of %lld\n", qPrintable(stage),
                         static_cast<long long>(done), static_cast<long long>(total));
            std::fflush(stderr);
        });
    for (const QString& conflict : result.conflicts)
        std::fprintf(stderr, "conflict: %s\n", qPrintable(conflict));
    CliPrint(result.Summary());
    if (!result.ok) {
        std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(result.error));
        return kCliFailed;
    }
    return kCliOk;
}

const CliRegistrar registrar({kName, "sync [--central CONNINFO] [--device ID] [--batch RECORDS]",
                              Run});

} // namespace
