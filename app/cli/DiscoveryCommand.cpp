// brtx-cli discovery: one signed zip of an instrument's records, log, audit entries, pictures
// and certificates over a period (discovery/Discovery.h says what it holds).
#include "app/cli/Commands.h"

#include "base/Language.h"
#include "discovery/Discovery.h"

#include <QDate>

namespace {

const char* const kName = "discovery";

int Run(const CLanguage& texts, const QStringList& arguments) {
    QStringList args = arguments;
    Discovery::Options o;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool valued = a == QLatin1String("--device") || a == QLatin1String("--start") ||
                            a == QLatin1String("--end") || a == QLatin1String("--redact");
        if (valued) {
            if (i + 1 >= args.size())
                return CliUsageError(kName, a + QStringLiteral(" needs a value"));
            const QString v = args[++i];
            if (a == QLatin1String("--device"))
                o.device = v;
            else if (a == QLatin1String("--redact"))
                o.redact = v.split(QLatin1Char(','), Qt::SkipEmptyParts);
            else {
                if (!QDate::fromString(v, Qt::ISODate).isValid() || v.size() != 10)
                    return CliUsageError(kName, a + QStringLiteral(" takes YYYY-MM-DD"));
                (a == QLatin1String("--start") ? o.start : o.end) = v;
            }
        } else if (a == QLatin1String("--no-pictures")) {
            o.pictures = false;
        } else if (a.startsWith(QLatin1String("-")) || !o.out.isEmpty()) {
            return CliUnknownArgument(kName, a);
        } else {
            o.out = a;
        }
    }
    if (o.device.isEmpty())
        return CliUsageError(kName, QStringLiteral("--device ID is needed"));
    if (!o.out.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        return CliUsageError(kName, QStringLiteral("name the package OUT.zip"));
    if (o.start > o.end)
        return CliUsageError(kName, QStringLiteral("--start comes after --end"));
    const Discovery::Result r = Discovery::Build(texts, o);
    if (!r.ok) {
        if (r.unknownDevice)
            return CliUsageError(kName, r.error);
        CliPrint(QStringLiteral("discovery: ") + r.error);
        return kCliFailed;
    }
    if (r.records == 0)
        CliPrint(QStringLiteral("discovery: no records of %1 in this period").arg(o.device));
    CliPrint(QStringLiteral("records: %1, pictures: %2, log entries: %3, audit entries: %4, "
                            "integrity problems: %5, key: %6")
                 .arg(r.records)
                 .arg(r.pictures)
                 .arg(r.entries)
                 .arg(r.auditEntries)
                 .arg(r.problems)
                 .arg(r.fingerprint));
    CliPrint(o.out);
    return kCliOk;
}

const CliRegistrar registrar(
    {kName,
     "discovery --device ID [--start DATE] [--end DATE] [--redact \"HEADING,HEADING\"] "
     "[--no-pictures] OUT.zip",
     Run,
     "a signed zip of an instrument's records, log, audit entries and pictures for disclosure",
     {{"--device ID", "the instrument"},
      {"--start DATE", "first day of the period (YYYY-MM-DD; default: the first record)"},
      {"--end DATE", "last day of the period (YYYY-MM-DD; default: the last record)"},
      {"--redact HEADINGS", "replace these columns by [redacted] everywhere, leave pictures out"},
      {"--no-pictures", "leave the photographs out"}},
     "brtx-cli discovery --device 0123456789 --start 2026-01-01 --end 2026-06-30 case-4411.zip"});

} // namespace
