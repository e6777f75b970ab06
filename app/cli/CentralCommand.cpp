// brtx-cli central: the administrator's set-up of the central store (tables, group roles, one
// login per desk and per reader). Run with an administrator's connection.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "central/CentralAdmin.h"
#include "central/PgConnection.h"

#include <cstdio>

namespace {

constexpr const char* kName = "central";

int Failed(const QString& why) {
    std::fprintf(stderr, "brtx-cli %s: %s\n", kName, qPrintable(why));
    return kCliFailed;
}

int Run(const CLanguage& texts, const QStringList& argsIn) {
    QStringList args = argsIn;
    bool given = false;
    QString conninfo, error, key;
    if (!TakeCentralArg(texts, args, given, conninfo, error))
        return CliUsageError(kName, error);
    QStringList words;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--key")) {
            if (i + 1 >= args.size())
                return CliUsageError(kName, QStringLiteral("--key needs a value: --key "
                                                           "FINGERPRINT"));
            key = args[++i];
        } else if (arg.startsWith(QLatin1String("--key="))) {
            key = arg.mid(6);
        } else if (arg.startsWith(QLatin1Char('-'))) {
            return CliUnknownArgument(kName, arg);
        } else {
            words << arg;
        }
    }
    const QString action = words.value(0);
    static const QStringList named{QStringLiteral("add-desk"), QStringLiteral("remove-desk"),
                                   QStringLiteral("add-reader")};
    const bool wantsName = named.contains(action);
    if (action != QLatin1String("init") && action != QLatin1String("list-desks") && !wantsName)
        return CliUsageError(kName, QStringLiteral("say init, add-desk NAME, list-desks, "
                                                   "remove-desk NAME or add-reader NAME"));
    if (words.size() != (wantsName ? 2 : 1))
        return CliUsageError(kName, wantsName ? QStringLiteral("%1 takes one NAME").arg(action)
                                              : QStringLiteral("%1 takes no NAME").arg(action));
    if (action == QLatin1String("add-desk") ? key.isEmpty() : !key.isEmpty())
        return CliUsageError(kName, QStringLiteral("--key FINGERPRINT goes with add-desk (and "
                                                   "add-desk needs it)"));
    const QString name = words.value(1);
    if (wantsName && !Central::ValidLoginName(name))
        return CliUsageError(kName, QStringLiteral("a name is 1 to 40 of a-z, 0-9, _ and -"));
    if (conninfo.isEmpty())
        return CliUsageError(kName, QStringLiteral("no central store: give --central "
                                                   "ADMIN_CONNINFO"));
    Central::PgConnection db;
    if (!db.Open(conninfo, &error))
        return Failed(QStringLiteral("cannot reach the central store: %1").arg(error));
    QString line;
    if (action == QLatin1String("init")) {
        if (!Central::InitCentral(db, &error))
            return Failed(error);
        CliPrint(
            QStringLiteral("central store ready: group roles %1 and %2")
                .arg(QLatin1String(Central::kDeskGroup), QLatin1String(Central::kReaderGroup)));
    } else if (action == QLatin1String("add-desk")) {
        if (!Central::AddDesk(db, name, key.trimmed().toLower(), &line, &error))
            return Failed(error);
        // The password is shown this once and kept nowhere else.
        CliPrint(line);
    } else if (action == QLatin1String("add-reader")) {
        if (!Central::AddReader(db, name, &line, &error))
            return Failed(error);
        CliPrint(line);
    } else if (action == QLatin1String("remove-desk")) {
        if (!Central::RemoveDesk(db, name, &error))
            return Failed(error);
        CliPrint(QStringLiteral("desk %1: login disabled, its rows stay").arg(name));
    } else {
        QVector<Central::DeskInfo> desks;
        if (!Central::ListDesks(db, desks, &error))
            return Failed(error);
        CliPrint(QStringLiteral("Desk\tLogin\tKey\tState\tCreated\tLast sync"));
        for (const Central::DeskInfo& d : desks)
            CliPrint(QStringList{d.desk, d.login, d.fingerprint,
                                 d.enabled ? QStringLiteral("enabled") : QStringLiteral("removed"),
                                 d.created, d.lastSync}
                         .join(QLatin1Char('\t')));
    }
    return kCliOk;
}

const CliRegistrar registrar(
    {kName,
     "central (init | add-desk NAME --key FINGERPRINT | list-desks | remove-desk NAME | "
     "add-reader NAME) --central ADMIN_CONNINFO",
     Run,
     "set up the central store: tables, roles, a login per desk or reader (administrator)",
     {{"--central ADMIN_CONNINFO", "an administrator's connection to the central store"},
      {"--key FINGERPRINT", "add-desk: the desk's key fingerprint (brtx-cli desk prints it)"}},
     "brtx-cli central add-desk front-desk --key 3f2a...e1 --central 'host=db dbname=brtx'"});

} // namespace
