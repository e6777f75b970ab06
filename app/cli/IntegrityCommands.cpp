// brtx-cli verify, seal and audit: the record seals and the audit trail of brtx.db.
#include "app/cli/Commands.h"

#include "base/Paths.h"
#include "base/TerminalText.h"
#include "store/Audit.h"
#include "store/Seal.h"

#include <QFileInfo>
#include <QHash>

namespace {

// One TSV line for the terminal: the values come from records (an instrument, a copied
// file), so each control character of them, a tab too, is written as "\xNN".
QString tsvLine(const QStringList& cells) {
    QString line;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i)
            line += QLatin1Char('\t');
        AppendEscaped(line, cells[i]);
    }
    return line;
}

// Reads "--device ID" and the given flags; false (with the usage error printed) on anything
// else.
bool takeOptions(const QString& command, const QStringList& args, QString& device,
                 QHash<QString, bool*> flags, QHash<QString, QString*> values = {}) {
    const QByteArray name = command.toLatin1();
    values.insert(QStringLiteral("--device"), &device);
    for (int i = 0; i < args.size(); ++i) {
        if (bool* flag = flags.value(args[i])) {
            *flag = true;
        } else if (QString* value = values.value(args[i])) {
            if (i + 1 >= args.size()) {
                CliUsageError(name.constData(), args[i] + QStringLiteral(" needs a value"));
                return false;
            }
            *value = args[++i];
        } else {
            CliUnknownArgument(name.constData(), args[i]);
            return false;
        }
    }
    return true;
}

// Opens brtx.db for the integrity commands; a missing file is not made. Reading (verify,
// audit) changes nothing of the file or its folder: evidence copies are checked as they are.
bool openDatabase(const QString& command, SQLite::Database& db,
                  SQLite::Database::Access access = SQLite::Database::Access::ReadOnly) {
    const QString path = GetDatabasePath();
    if (!QFileInfo::exists(path) || db.Open(path, access) != 0) {
        CliPrint(command + QStringLiteral(": cannot open ") + path);
        return false;
    }
    return true;
}

int runVerify(const CLanguage&, const QStringList& args) {
    QString device;
    bool head = false;
    bool rowsOnly = false;
    if (!takeOptions(
            QStringLiteral("verify"), args, device,
            {{QStringLiteral("--head"), &head}, {QStringLiteral("--rows-only"), &rowsOnly}}))
        return kCliUsage;
    SQLite::Database db;
    if (!openDatabase(QStringLiteral("verify"), db))
        return kCliFailed;
    Seal::VerifyOptions options;
    options.device = device;
    options.picRoot = GetPicFolder();
    options.pictures = !rowsOnly;
    const Seal::VerifyResult result = Seal::Verify(db, options);
    if (!result.readable) {
        CliPrint(QStringLiteral("verify: ") + result.error);
        return kCliFailed;
    }
    for (const Seal::Finding& f : result.findings)
        CliPrint(tsvLine({f.device, f.recordNo, f.date, f.time, Seal::ProblemName(f.problem)}));
    qint64 problems = result.findings.size();

    // The audit trail is one chain for the whole file.
    const Audit::ChainCheck audit = Audit::CheckChain(db);
    if (!audit.readable) {
        CliPrint(QStringLiteral("verify: the audit trail cannot be read"));
        ++problems;
    }
    for (const Audit::Entry& e : audit.broken) {
        CliPrint(tsvLine({e.device, QStringLiteral("audit %1").arg(e.seq), e.at.left(10),
                          e.at.mid(11, 8), QStringLiteral("CHAIN-BROKEN")}));
        ++problems;
    }
    if (head) {
        for (const Seal::VerifyResult::Head& h : result.heads)
            CliPrint(tsvLine(
                {QStringLiteral("head"), h.device, QString::number(h.seq), h.seal, h.sealedAt}));
        CliPrint(QStringList{QStringLiteral("audit-head"), QString::number(audit.lastSeq),
                             audit.lastHash}
                     .join(QLatin1Char('\t')));
    }
    CliPrint(QStringLiteral("verified: %1, problems: %2").arg(result.verified).arg(problems));
    return problems == 0 ? kCliOk : kCliFailed;
}

int runSeal(const CLanguage&, const QStringList& args) {
    QString device;
    if (!takeOptions(QStringLiteral("seal"), args, device, {}))
        return kCliUsage;
    SQLite::Database db;
    if (!openDatabase(QStringLiteral("seal"), db, SQLite::Database::Access::Existing))
        return kCliFailed;
    const int sealed =
        Seal::SealUnsealed(db, device, GetPicFolder(), QString::fromLatin1(Audit::kCli));
    if (sealed < 0) {
        CliPrint(QStringLiteral("seal: failed, nothing sealed for the device in hand"));
        return kCliFailed;
    }
    CliPrint(QStringLiteral("sealed: %1").arg(sealed));
    return kCliOk;
}

int runAudit(const CLanguage&, const QStringList& args) {
    QString device;
    QString since;
    if (!takeOptions(QStringLiteral("audit"), args, device, {},
                     {{QStringLiteral("--since"), &since}}))
        return kCliUsage;
    SQLite::Database db;
    if (!openDatabase(QStringLiteral("audit"), db))
        return kCliFailed;
    bool ok = false;
    const QList<Audit::Entry> entries = Audit::List(db, device, since, &ok);
    if (!ok) {
        CliPrint(QStringLiteral("audit: the audit trail cannot be read"));
        return kCliFailed;
    }
    CliPrint(
        QStringLiteral("Seq\tAt\tUser\tHost\tProgram\tAction\tDevice\tRecords\tOutcome\tHash"));
    for (const Audit::Entry& e : entries) {
        CliPrint(tsvLine({QString::number(e.seq), e.at, e.user, e.host, e.program, e.action,
                          e.device, e.records, e.outcome, e.hash}));
    }
    return kCliOk;
}

const CliOption kDeviceOption{"--device ID", "only the records of this device number"};

const CliRegistrar verifyRegistrar(
    {"verify",
     "verify [--device ID] [--head] [--rows-only]",
     runVerify,
     "check records, photographs and the audit trail against their seals",
     {kDeviceOption,
      {"--head", "also print each device's last seal and the audit trail's last hash"},
      {"--rows-only", "check the records alone, not their photographs"}},
     "brtx-cli verify --device 000123456789 --head"});
const CliRegistrar sealRegistrar({"seal",
                                  "seal [--device ID]",
                                  runSeal,
                                  "seal the stored records that have no seal yet",
                                  {kDeviceOption},
                                  "brtx-cli seal"});
const CliRegistrar auditRegistrar(
    {"audit",
     "audit [--device ID] [--since DATE]",
     runAudit,
     "list the audit trail as TSV",
     {kDeviceOption, {"--since DATE", "only entries from this date (YYYY-MM-DD) on"}},
     "brtx-cli audit --since 2024-03-01"});

} // namespace
