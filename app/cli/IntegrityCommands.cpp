// brtx-cli verify, seal and audit: the record seals and the audit trail of brtx.db.
#include "app/cli/CentralArgs.h"
#include "app/cli/Commands.h"

#include "base/Paths.h"
#include "base/TerminalText.h"
#include "central/CentralVerify.h"
#include "central/PgConnection.h"
#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Instruments.h"
#include "store/Seal.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

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

// A head noted earlier: a device's seal or the audit trail's hash.
struct Witness {
    QString device; // "audit" for the audit trail
    QString value;
};

// Reads a witness file: lines "DEVICE<TAB>SEAL" and "audit<TAB>HASH", or the "head" and
// "audit-head" lines "verify --head" prints. Empty lines and lines starting with # are
// skipped; false (with a message) on anything else.
bool readWitnesses(const QString& path, QList<Witness>& out) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        CliPrint(QStringLiteral("verify: cannot read ") + path);
        return false;
    }
    int number = 0;
    while (!file.atEnd() && number < 1000000) {
        const QString line = QString::fromUtf8(file.readLine(4096)).trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList cells = line.split(QLatin1Char('\t'));
        Witness w;
        if (cells.size() >= 4 && cells[0] == QLatin1String("head"))
            w = Witness{cells[1], cells[3]};
        else if (cells.size() >= 3 && cells[0] == QLatin1String("audit-head"))
            w = Witness{QStringLiteral("audit"), cells[2]};
        else if (cells.size() == 2)
            w = Witness{cells[0], cells[1]};
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
        if (!hex.match(w.value).hasMatch()) {
            CliPrint(QStringLiteral("verify: %1 line %2 is not DEVICE<TAB>SEAL or audit<TAB>HASH")
                         .arg(path)
                         .arg(number));
            return false;
        }
        out.append(w);
    }
    return true;
}

// Where each witnessed head is in its chain now: a line per witness, WITNESS-MISSING when it
// is gone (removed, or the chain was made again). Returns the number missing.
int checkWitnesses(SQLite::Database& db, const QList<Witness>& witnesses) {
    int missing = 0;
    for (const Witness& w : witnesses) {
        const Seal::WitnessCheck check = Seal::FindWitness(db, w.device, w.value);
        CliPrint(
            QStringList{w.device, QStringLiteral("witness"), w.value,
                        check.found ? QStringLiteral("%1 after").arg(check.after) : QString(),
                        check.found ? QStringLiteral("present") : QStringLiteral("WITNESS-MISSING")}
                .join(QLatin1Char('\t')));
        missing += check.found ? 0 : 1;
    }
    return missing;
}

// verify --central: every desk's copies in the central store, each line with its desk.
int runCentralVerify(const QString& conninfo, const QString& device, bool rowsOnly) {
    if (conninfo.isEmpty())
        return CliUsageError("verify", QStringLiteral("no central store: put its connection line "
                                                      "in central.conf of the data folder or give "
                                                      "--central-file FILE"));
    Central::PgConnection db;
    // Hashing every photograph on the server may take a while: five minutes a statement.
    db.SetTimeouts(10, 300000);
    QString error;
    if (!db.Open(conninfo, &error)) {
        CliPrint(QStringLiteral("verify: cannot reach the central store: ") + error);
        return kCliFailed;
    }
    Central::VerifyOptions options;
    options.device = device;
    options.pictures = !rowsOnly;
    const Central::VerifyReport report = Central::VerifyCentral(db, options);
    if (!report.readable) {
        CliPrint(QStringLiteral("verify: the central store cannot be checked: ") + report.error);
        return kCliFailed;
    }
    for (const Central::VerifyLine& line : report.lines)
        CliPrint(tsvLine(line.Cells()));
    CliPrint(QStringLiteral("verified: %1, problems: %2, key: %3")
                 .arg(report.verified)
                 .arg(report.Problems())
                 .arg(report.keys.isEmpty() ? QStringLiteral("none")
                                            : report.keys.join(QLatin1Char(','))));
    return report.Problems() == 0 ? kCliOk : kCliFailed;
}

int runVerify(const CLanguage& texts, const QStringList& argsIn) {
    QStringList args = argsIn;
    bool central = false;
    QString conninfo, centralError;
    if (!TakeCentralArg(texts, args, central, conninfo, centralError))
        return CliUsageError("verify", centralError);
    QString device;
    bool head = false;
    bool rowsOnly = false;
    QString key;
    QString witnessFile;
    if (!takeOptions(
            QStringLiteral("verify"), args, device,
            {{QStringLiteral("--head"), &head}, {QStringLiteral("--rows-only"), &rowsOnly}},
            {{QStringLiteral("--key"), &key}, {QStringLiteral("--witness"), &witnessFile}}))
        return kCliUsage;
    if (central) {
        if (head || !key.isEmpty() || !witnessFile.isEmpty())
            return CliUsageError("verify", QStringLiteral("--central checks the witnesses and "
                                                          "keys the store holds: --head, --key "
                                                          "and --witness go without it"));
        return runCentralVerify(conninfo, device, rowsOnly);
    }
    key = key.toLower();
    if (args.contains(QStringLiteral("--key")) &&
        !QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(key).hasMatch()) {
        return CliUsageError("verify",
                             QStringLiteral("--key takes a fingerprint of 64 hex digits"));
    }
    QList<Witness> witnesses;
    if (!witnessFile.isEmpty() && !readWitnesses(witnessFile, witnesses))
        return kCliUsage;
    SQLite::Database db;
    if (!openDatabase(QStringLiteral("verify"), db))
        return kCliFailed;
    Seal::VerifyOptions options;
    options.device = device;
    options.picRoot = GetPicFolder();
    options.pictures = !rowsOnly;
    options.onlyKey = key;
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
    // The instruments' log entries, each vouched for by its audit entry.
    bool logRead = true;
    for (const Instruments::LogProblem& p : Instruments::CheckLog(db, &logRead)) {
        if (!device.isEmpty() && p.device != device)
            continue;
        CliPrint(tsvLine({p.device, QStringLiteral("log %1").arg(p.id), p.at.left(10),
                          p.at.mid(11, 8), p.state}));
        ++problems;
    }
    if (!logRead) {
        CliPrint(QStringLiteral("verify: the instruments' log cannot be read"));
        ++problems;
    }
    for (const Seal::Finding& f : result.other)
        CliPrint(
            QStringList{f.device, f.recordNo, f.date, f.time, Seal::ProblemName(f.problem)}.join(
                QLatin1Char('\t')));
    problems += result.other.size();
    problems += checkWitnesses(db, witnesses);
    if (head) {
        for (const Seal::VerifyResult::Head& h : result.heads)
            CliPrint(tsvLine(
                {QStringLiteral("head"), h.device, QString::number(h.seq), h.seal, h.sealedAt}));
        CliPrint(QStringList{QStringLiteral("audit-head"), QString::number(audit.lastSeq),
                             audit.lastHash}
                     .join(QLatin1Char('\t')));
    }
    CliPrint(QStringLiteral("verified: %1, problems: %2, key: %3")
                 .arg(result.verified)
                 .arg(problems)
                 .arg(result.trusted.isEmpty() ? QStringLiteral("none")
                                               : result.trusted.join(QLatin1Char(','))));
    return problems == 0 ? kCliOk : kCliFailed;
}

int runSeal(const CLanguage&, const QStringList& args) {
    QString device;
    bool sign = false;
    if (!takeOptions(QStringLiteral("seal"), args, device, {{QStringLiteral("--sign"), &sign}}))
        return kCliUsage;
    SQLite::Database db;
    if (!openDatabase(QStringLiteral("seal"), db, SQLite::Database::Access::Existing))
        return kCliFailed;
    if (sign) {
        QString problem;
        const int signedHeads =
            Seal::SignUnsigned(db, device, QString::fromLatin1(Audit::kCli), &problem);
        if (signedHeads < 0 || !problem.isEmpty()) {
            CliPrint(
                QStringLiteral("seal: nothing signed: ") +
                (problem.isEmpty() ? QStringLiteral("the database cannot be written") : problem));
            return kCliFailed;
        }
        CliPrint(QStringLiteral("signed: %1 chains").arg(signedHeads));
        return kCliOk;
    }
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

int runDesk(const CLanguage&, const QStringList& args) {
    QString label;
    bool setLabel = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--label") && i + 1 < args.size()) {
            label = args[++i].trimmed();
            setLabel = true;
        } else if (args[i] == QLatin1String("--label")) {
            return CliUsageError("desk", QStringLiteral("--label needs a text"));
        } else {
            return CliUnknownArgument("desk", args[i]);
        }
    }
    if (setLabel && (label.isEmpty() || label.size() > 200))
        return CliUsageError("desk", QStringLiteral("--label takes a text of 1 to 200 characters"));
    SQLite::Database db;
    if (db.Open(GetDatabasePath()) != 0) {
        CliPrint(QStringLiteral("desk: cannot open ") + GetDatabasePath());
        return kCliFailed;
    }
    QString problem;
    const Desk::PublicKey key = Desk::CurrentKey(db, QString::fromLatin1(Audit::kCli), &problem);
    if (key.fingerprint.isEmpty()) {
        CliPrint(QStringLiteral("desk: no usable desk key: ") + problem);
        return kCliFailed;
    }
    if (setLabel && !Desk::SetLabel(db, label, QString::fromLatin1(Audit::kCli), &problem)) {
        CliPrint(QStringLiteral("desk: the label cannot be set: ") + problem);
        return kCliFailed;
    }
    CliPrint(QStringLiteral("fingerprint\t") + key.fingerprint);
    CliPrint(QStringLiteral("label\t") + (setLabel ? label : key.label));
    CliPrint(QStringLiteral("created\t") + key.createdAt);
    CliPrint(key.pem.trimmed());
    return kCliOk;
}

const CliOption kDeviceOption{"--device ID", "only the records of this device number"};

const CliRegistrar verifyRegistrar(
    {"verify",
     "verify [--device ID] [--head] [--rows-only] [--key FINGERPRINT] [--witness FILE] "
     "[--central CONNINFO | --central-file FILE]",
     runVerify,
     "check records, photographs, the audit trail and the desk signatures against their seals",
     {kDeviceOption,
      {"--head", "also print each device's last seal and the audit trail's last hash"},
      {"--rows-only", "check the records alone, not their photographs"},
      {"--key FINGERPRINT", "trust only the desk key with this fingerprint (64 hex digits)"},
      {"--witness FILE",
       "check that heads noted earlier (DEVICE<TAB>SEAL, audit<TAB>HASH lines) are still there"},
      {"--central CONNINFO",
       "check the central store instead: every desk's copies against their seals, the desks' "
       "signatures against their registered keys, the witnessed heads and conflicts between "
       "desks; each line ends with the desk (a reader's login suffices)"},
      {"--central-file FILE", "the same with the connection line in FILE (mode 0600)"}},
     "brtx-cli verify --device 000123456789 --head"});
const CliRegistrar sealRegistrar(
    {"seal",
     "seal [--device ID] [--sign]",
     runSeal,
     "seal the stored records that have no seal yet",
     {kDeviceOption,
      {"--sign", "sign the heads of chains left unsigned (marked as signed later, audited)"}},
     "brtx-cli seal --sign"});
const CliRegistrar deskRegistrar({"desk",
                                  "desk [--label TEXT]",
                                  runDesk,
                                  "print the desk key's fingerprint, label and public key",
                                  {{"--label TEXT", "name this desk (default: the host name)"}},
                                  "brtx-cli desk --label \"Station 2\""});
const CliRegistrar auditRegistrar(
    {"audit",
     "audit [--device ID] [--since DATE]",
     runAudit,
     "list the audit trail as TSV",
     {kDeviceOption, {"--since DATE", "only entries from this date (YYYY-MM-DD) on"}},
     "brtx-cli audit --since 2024-03-01"});

} // namespace
