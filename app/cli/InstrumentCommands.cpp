// brtx-cli instrument: the register of instruments and their logs (calibrations, accuracy
// checks, repairs, certifications, notes) and the drift chart. list, show, chart and log
// without --add only read; set and log --add write, audited and signed like every other change.
#include "app/cli/Commands.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "instruments/Calibration.h"
#include "instruments/Register.h"
#include "instruments/chart/DriftChart.h"
#include "store/Audit.h"
#include "store/Instruments.h"
#include "store/Seal.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

const char* const kName = "instrument";

int Usage(const QString& reason) {
    return CliUsageError(kName, reason);
}

// Control characters would break a line or a cell: they become spaces.
QString Plain(QString text) {
    for (QChar& ch : text)
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F)
            ch = QLatin1Char(' ');
    return text;
}

// Rows as TSV with headings, or a JSON array of objects keyed by the headings.
void PrintTable(const QStringList& headings, const QList<QStringList>& rows, bool json) {
    if (json) {
        QJsonArray array;
        for (const QStringList& row : rows) {
            QJsonObject object;
            for (int i = 0; i < headings.size(); ++i)
                object.insert(headings[i], row.value(i));
            array.append(object);
        }
        const QByteArray bytes = QJsonDocument(array).toJson(QJsonDocument::Indented);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
        return;
    }
    CliPrint(headings.join(QLatin1Char('\t')));
    for (const QStringList& row : rows) {
        QStringList cells;
        for (const QString& cell : row)
            cells << Plain(cell);
        CliPrint(cells.join(QLatin1Char('\t')));
    }
}

Calibration::Intervals Defaults(const CLanguage& texts) {
    return Calibration::DefaultIntervals(texts);
}

QStringList RegisterHeadings() {
    return {QStringLiteral("Device"),
            QStringLiteral("Type"),
            QStringLiteral("Label"),
            QStringLiteral("Serial"),
            QStringLiteral("Model"),
            QStringLiteral("Location"),
            QStringLiteral("Status"),
            QStringLiteral("Status date"),
            QStringLiteral("First link"),
            QStringLiteral("Last link"),
            QStringLiteral("Last download"),
            QStringLiteral("Records"),
            QStringLiteral("Calibration due"),
            QStringLiteral("Accuracy check due"),
            QStringLiteral("Notes")};
}

QStringList RegisterRow(SQLite::Database& db, const Instruments::Instrument& i,
                        const Calibration::Intervals& defaults, const QDate& today) {
    bool ok = true;
    const Calibration::Due due = Calibration::NextDue(Instruments::Log(db, i.device, &ok),
                                                      Calibration::IntervalsOf(i, defaults));
    auto dueText = [&](const QDate& d) {
        if (!d.isValid())
            return QString();
        return d.toString(Qt::ISODate) + (d < today ? QStringLiteral(" (overdue)") : QString());
    };
    return {i.device,
            i.type,
            i.label,
            i.serial,
            i.model,
            i.location,
            i.status,
            i.statusDate,
            i.firstLink,
            i.lastLink,
            i.lastDownload,
            QString::number(i.records),
            dueText(due.calibration),
            dueText(due.accuracy),
            i.notes};
}

// Opens brtx.db read-only for the reading subcommands: nothing is made or changed.
bool OpenToRead(SQLite::Database& db) {
    if (!FileExists(GetDatabasePath()))
        return false;
    return db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) == 0;
}

int RunList(const CLanguage& texts, QStringList args, bool json) {
    if (!args.isEmpty())
        return CliUnknownArgument(kName, args.first());
    SQLite::Database db;
    QList<QStringList> rows;
    if (OpenToRead(db)) {
        bool ok = false;
        const QList<Instruments::Instrument> all = Instruments::List(db, &ok);
        if (!ok) {
            CliPrint(QStringLiteral("instrument: the register cannot be read"));
            return kCliFailed;
        }
        const QDate today = QDate::currentDate();
        for (const Instruments::Instrument& i : all)
            rows << RegisterRow(db, i, Defaults(texts), today);
    }
    PrintTable(RegisterHeadings(), rows, json);
    return kCliOk;
}

bool FindOrSay(SQLite::Database& db, const QString& device, Instruments::Instrument* out) {
    if (Instruments::Find(db, device, out))
        return true;
    CliUsageError(kName, QStringLiteral("%1 is no known instrument (see brtx-cli instrument "
                                        "list)")
                             .arg(Plain(device)));
    return false;
}

int RunShow(const CLanguage& texts, const QString& device, QStringList args, bool json) {
    if (!args.isEmpty())
        return CliUnknownArgument(kName, args.first());
    SQLite::Database db;
    Instruments::Instrument i;
    if (!OpenToRead(db) || !FindOrSay(db, device, &i))
        return kCliUsage;
    const QStringList headings = RegisterHeadings();
    const QStringList row = RegisterRow(db, i, Defaults(texts), QDate::currentDate());
    if (json) {
        PrintTable(headings, {row}, true);
        return kCliOk;
    }
    for (int c = 0; c < headings.size(); ++c)
        CliPrint(headings[c] + QLatin1Char('\t') + Plain(row[c]));
    return kCliOk;
}

// Takes each given option with the word after it out of args into values.
QString TakeValues(QStringList& args, const QStringList& names, QHash<QString, QString>& values) {
    for (int i = 0; i < args.size();) {
        if (!names.contains(args[i])) {
            ++i;
            continue;
        }
        if (i + 1 >= args.size())
            return args[i] + QStringLiteral(" needs a value");
        values.insert(args[i], args[i + 1]);
        args.remove(i, 2);
    }
    return QString();
}

// Opens brtx.db to change the instrument's register or log: 0, or the exit status of why not.
int OpenToWrite(SQLite::Database& db, const QString& device, Instruments::Instrument* found) {
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::Existing) != 0) {
        CliPrint(QStringLiteral("instrument: cannot open ") + GetDatabasePath());
        return kCliFailed;
    }
    return FindOrSay(db, device, found) ? 0 : kCliUsage;
}

int RunSet(const CLanguage& texts, const QString& device, QStringList args) {
    Q_UNUSED(texts);
    QHash<QString, QString> v;
    const QString missing = TakeValues(args,
                                       {"--label", "--serial", "--model", "--location", "--status",
                                        "--notes", "--calibration-days", "--accuracy-days"},
                                       v);
    if (!missing.isEmpty())
        return Usage(missing);
    if (!args.isEmpty())
        return CliUnknownArgument(kName, args.first());
    if (v.isEmpty())
        return Usage(QStringLiteral("set needs at least one of --label, --serial, --model, "
                                    "--location, --status, --notes, --calibration-days, "
                                    "--accuracy-days"));
    SQLite::Database db;
    Instruments::Instrument i;
    if (const int failed = OpenToWrite(db, device, &i))
        return failed;
    for (const QString& key : v.keys())
        if (v[key].size() > 500)
            return Usage(key + QStringLiteral(" takes at most 500 characters"));
    auto days = [&](const char* option, int* out) -> bool {
        if (!v.contains(QLatin1String(option)))
            return true;
        bool ok = false;
        const int n = v[QLatin1String(option)].toInt(&ok);
        if (!ok || n < 1 || n > 3650)
            return false;
        *out = n;
        return true;
    };
    if (!days("--calibration-days", &i.calibrationDays))
        return Usage(QStringLiteral("--calibration-days takes 1 to 3650"));
    if (!days("--accuracy-days", &i.accuracyDays))
        return Usage(QStringLiteral("--accuracy-days takes 1 to 3650"));
    if (v.contains(QStringLiteral("--status"))) {
        const QString status = v[QStringLiteral("--status")];
        if (status != QLatin1String("in-service") && status != QLatin1String("out-of-service") &&
            status != QLatin1String("retired"))
            return Usage(QStringLiteral("--status takes in-service, out-of-service or retired"));
        if (status != i.status)
            i.statusDate = QDate::currentDate().toString(Qt::ISODate);
        i.status = status;
    }
    i.label = v.value(QStringLiteral("--label"), i.label);
    i.serial = v.value(QStringLiteral("--serial"), i.serial);
    i.model = v.value(QStringLiteral("--model"), i.model);
    i.location = v.value(QStringLiteral("--location"), i.location);
    i.notes = v.value(QStringLiteral("--notes"), i.notes);
    QString error;
    if (!Instruments::Update(db, i, QString::fromLatin1(Audit::kCli), &error)) {
        CliPrint(QStringLiteral("instrument: ") + error);
        return kCliFailed;
    }
    CliPrint(QStringLiteral("instrument %1: saved").arg(device));
    return kCliOk;
}

int RunLog(const CLanguage& texts, const QString& device, QStringList args, bool json) {
    Q_UNUSED(texts);
    const bool add = args.removeAll(QStringLiteral("--add")) > 0;
    QHash<QString, QString> v;
    const QString missing =
        TakeValues(args,
                   {"--kind", "--date", "--technician", "--standard-kind", "--lot", "--expiry",
                    "--target", "--unit", "--measured", "--tolerance", "--attach", "--supersedes"},
                   v);
    if (!missing.isEmpty())
        return Usage(missing);
    if (!args.isEmpty())
        return CliUnknownArgument(kName, args.first());
    if (!add) {
        if (!v.isEmpty())
            return Usage(QStringLiteral("the entry's options need --add"));
        SQLite::Database db;
        Instruments::Instrument i;
        if (!OpenToRead(db) || !FindOrSay(db, device, &i))
            return kCliUsage;
        bool ok = false;
        QList<QStringList> rows;
        for (const Instruments::LogEntry& e : Instruments::Log(db, device, &ok))
            rows << Calibration::LogRow(e);
        if (!ok) {
            CliPrint(QStringLiteral("instrument: the log cannot be read"));
            return kCliFailed;
        }
        PrintTable(Calibration::LogHeadings(), rows, json);
        return kCliOk;
    }
    Calibration::Input in;
    in.device = device;
    in.kind = v.value(QStringLiteral("--kind"));
    in.date = v.value(QStringLiteral("--date"));
    in.technician = v.value(QStringLiteral("--technician"));
    in.standardKind = v.value(QStringLiteral("--standard-kind"));
    in.lot = v.value(QStringLiteral("--lot"));
    in.expiry = v.value(QStringLiteral("--expiry"));
    in.target = v.value(QStringLiteral("--target"));
    in.unit = v.value(QStringLiteral("--unit"));
    in.tolerance = v.value(QStringLiteral("--tolerance"));
    if (v.contains(QStringLiteral("--measured")))
        in.measured = v[QStringLiteral("--measured")].split(QLatin1Char(','));
    if (v.contains(QStringLiteral("--supersedes"))) {
        bool ok = false;
        in.supersedes = v[QStringLiteral("--supersedes")].toLongLong(&ok);
        if (!ok || in.supersedes < 1)
            return Usage(QStringLiteral("--supersedes takes an entry number"));
    }
    for (const QString& key : v.keys())
        if (v[key].size() > 500)
            return Usage(key + QStringLiteral(" takes at most 500 characters"));
    Instruments::LogEntry e;
    const QString refused = Calibration::Prepare(in, QDateTime::currentDateTime(), &e);
    if (!refused.isEmpty())
        return Usage(refused);
    SQLite::Database db;
    Instruments::Instrument i;
    if (const int failed = OpenToWrite(db, device, &i))
        return failed;
    bool wrong = false;
    const QString error = InstrumentRegister::Append(db, e, v.value(QStringLiteral("--attach")),
                                                     QString::fromLatin1(Audit::kCli), &wrong);
    if (!error.isEmpty()) {
        if (wrong)
            return Usage((v.contains(QStringLiteral("--attach")) &&
                                  !error.contains(QLatin1String("does not exist"))
                              ? QStringLiteral("--attach ")
                              : QStringLiteral("--supersedes: ")) +
                         error);
        CliPrint(QStringLiteral("instrument: ") + error);
        return kCliFailed;
    }
    CliPrint(QStringLiteral("entry %1: %2%3")
                 .arg(e.id)
                 .arg(e.result.isEmpty() ? QStringLiteral("noted") : e.result)
                 .arg(e.reason.isEmpty() ? QString() : QStringLiteral(" (") + e.reason + ')'));
    return kCliOk;
}

// instrument chart --device ID OUT.svg|OUT.png: the drift chart of the page, from the same
// code. Only reads brtx.db.
int RunChart(const CLanguage& texts, QStringList args) {
    QHash<QString, QString> v;
    const QString missing = TakeValues(args, {"--device"}, v);
    if (!missing.isEmpty())
        return Usage(missing);
    if (!v.contains(QStringLiteral("--device")))
        return Usage(QStringLiteral("chart needs --device ID"));
    if (args.size() != 1 || args.first().startsWith(QLatin1String("-")))
        return args.size() > 1 || (args.size() == 1 && args.first().startsWith(QLatin1String("-")))
                   ? CliUnknownArgument(kName, args.last())
                   : Usage(QStringLiteral("chart needs the picture to write: OUT.svg or OUT.png"));
    const QString out = args.first();
    if (!out.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive) &&
        !out.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return Usage(QStringLiteral("name the chart OUT.svg or OUT.png"));
    const QString device = v[QStringLiteral("--device")];
    SQLite::Database db;
    Instruments::Instrument i;
    if (!OpenToRead(db) || !FindOrSay(db, device, &i))
        return kCliUsage;
    bool ok = false;
    const QList<Instruments::LogEntry> log = Instruments::Log(db, device, &ok);
    if (!ok) {
        CliPrint(QStringLiteral("instrument: the log cannot be read"));
        return kCliFailed;
    }
    const InstrumentRegister::Drift drift = InstrumentRegister::DriftOf(log);
    const QString error = DriftChart::Save(drift, device, texts, out);
    if (!error.isEmpty()) {
        CliPrint(QStringLiteral("instrument: ") + error);
        return kCliFailed;
    }
    if (drift.points.isEmpty())
        CliPrint(QStringLiteral("instrument %1: no accuracy checks to chart").arg(Plain(device)));
    CliPrint(out);
    return kCliOk;
}

int Run(const CLanguage& texts, const QStringList& arguments) {
    QStringList args = arguments;
    bool json = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] != QLatin1String("--format"))
            continue;
        if (i + 1 >= args.size())
            return Usage(QStringLiteral("--format takes tsv or json"));
        const QString format = args[i + 1];
        if (format != QLatin1String("tsv") && format != QLatin1String("json"))
            return Usage(QStringLiteral("--format takes tsv or json, not \"%1\"").arg(format));
        json = format == QLatin1String("json");
        args.remove(i, 2);
        break;
    }
    if (args.isEmpty())
        return Usage(QStringLiteral("name a subcommand: list, show, set, log or chart"));
    const QString sub = args.takeFirst();
    if (sub == QLatin1String("list"))
        return RunList(texts, args, json);
    if (sub == QLatin1String("chart"))
        return json ? Usage(QStringLiteral("chart takes no --format")) : RunChart(texts, args);
    if (sub != QLatin1String("show") && sub != QLatin1String("set") && sub != QLatin1String("log"))
        return Usage(QStringLiteral("\"%1\" is no subcommand; subcommands are: list, show, set, "
                                    "log, chart")
                         .arg(Plain(sub)));
    if (args.isEmpty() || args.first().startsWith(QLatin1String("--")))
        return Usage(sub + QStringLiteral(" needs the instrument's device number"));
    const QString device = args.takeFirst();
    if (sub == QLatin1String("show"))
        return RunShow(texts, device, args, json);
    if (sub == QLatin1String("set"))
        return RunSet(texts, device, args);
    return RunLog(texts, device, args, json);
}

const CliRegistrar registrar(
    {kName,
     "instrument list | show ID | set ID [--label T] [--serial T] [--model T] [--location T] "
     "[--status S] [--notes T] [--calibration-days N] [--accuracy-days N] | log ID [--add "
     "--kind K --date D ...] [--format tsv|json] | chart --device ID OUT.svg|OUT.png",
     Run,
     "the register of instruments and their calibration and accuracy-check log",
     {{"--format tsv|json", "list, show and log print TSV with headings (default) or JSON"},
      {"--label TEXT", "set: the instrument's label"},
      {"--serial TEXT", "set: its serial number"},
      {"--model TEXT", "set: its model"},
      {"--location TEXT", "set: its location or unit"},
      {"--status STATUS", "set: in-service, out-of-service or retired (dated today)"},
      {"--notes TEXT", "set: free notes"},
      {"--calibration-days N",
       "set: days between calibrations (default [Global] CalibrationDays, 365)"},
      {"--accuracy-days N",
       "set: days between accuracy checks (default [Global] AccuracyDays, 30)"},
      {"--add", "log: append an entry (the options below)"},
      {"--kind KIND", "calibration, accuracy, repair, certification or note"},
      {"--date DATE", "YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS], not in the future"},
      {"--technician NAME", "who did it (calibrations and accuracy checks)"},
      {"--standard-kind KIND", "the reference standard: wet-bath, dry-gas or other"},
      {"--lot LOT", "the standard's lot"},
      {"--expiry DATE", "the standard's expiry date (YYYY-MM-DD)"},
      {"--target X", "the standard's target value"},
      {"--unit UNIT", "the target's unit"},
      {"--measured X[,Y...]", "the measured values (a unit after a value must be the target's)"},
      {"--tolerance X[%]", "allowed difference from the target, absolute or in percent"},
      {"--attach FILE", "a certificate (PDF or image, at most 50 MB) copied into certs/ID/"},
      {"--supersedes N", "the entry this one corrects (both stay)"},
      {"--device ID", "chart: the instrument whose accuracy checks are drawn (with the "
                      "tolerance band) into OUT.svg or OUT.png"}},
     "brtx-cli instrument log 0123456789 --add --kind accuracy --date 2026-12-01 --technician "
     "Lee --standard-kind dry-gas --lot G-77 --expiry 2027-06-30 --target 0.080 --unit mg/L "
     "--measured 0.079,0.081 --tolerance 10%"});

} // namespace
