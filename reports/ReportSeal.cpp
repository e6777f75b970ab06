#include "reports/ReportSeal.h"

#include "base/Paths.h"
#include "reports/Report.h"
#include "store/Audit.h"

namespace {

QString problemText(const QString& detail) {
    if (detail == QLatin1String("ROW-CHANGED"))
        return QStringLiteral("the stored values differ from the values sealed at download");
    if (detail == QLatin1String("PICTURE-CHANGED"))
        return QStringLiteral("the picture differs from the picture sealed at download");
    if (detail == QLatin1String("PICTURE-MISSING"))
        return QStringLiteral("the picture sealed at download is missing");
    if (detail == QLatin1String("CHAIN-BROKEN"))
        return QStringLiteral("the record's seal or the seal chain at it has been altered");
    if (detail == QLatin1String("RESEALED"))
        return QStringLiteral("the record was sealed again or its seal marked deleted without "
                              "the program's signed record of it");
    if (detail == QLatin1String("UNSEALED"))
        return QStringLiteral("another row with this record's key was stored without a seal");
    if (detail == QLatin1String("UNSIGNED"))
        return QStringLiteral("the record's seal is not covered by a valid desk signature");
    if (detail == QLatin1String("SIGNATURE-INVALID"))
        return QStringLiteral("a desk signature over the device's seals does not verify");
    if (detail == QLatin1String("ROW-MISSING"))
        return QStringLiteral("the stored record is missing");
    return detail;
}

// The lines every footer carries: how the record was sealed, the desk whose key signs the
// seals, and the device's chain head now (so a report handed out is a witness of it).
QString sealLines(const Seal::Status& status) {
    QString lines =
        QStringLiteral("Seal (SHA-256): <span style=\"font-family:monospace\">%1</span><br>%2: %3")
            .arg(HtmlEscape(status.seal),
                 status.late ? QStringLiteral("Stored, sealed later")
                             : QStringLiteral("Downloaded and sealed"),
                 HtmlEscape(status.sealedAt));
    return lines;
}

QString deskLines(const Seal::Status& status) {
    QString lines;
    if (!status.deskFingerprint.isEmpty())
        lines += QStringLiteral("<br>Signing desk: %1 (key %2)")
                     .arg(HtmlEscape(status.deskLabel), status.deskFingerprint.left(16));
    if (!status.head.isEmpty())
        lines += QStringLiteral("<br>Device chain head: <span "
                                "style=\"font-family:monospace\">%1</span>")
                     .arg(HtmlEscape(status.head));
    return lines;
}

const char* const kFooterStyle =
    "style=\"margin-top:24px;border-top:1px solid #888;padding-top:8px;font-size:12px;\"";
const char* const kFailStyle = "style=\"border:2px solid #c00;color:#c00;padding:8px;"
                               "font-size:16px;font-weight:bold;margin:8px 0;\"";

} // namespace

QString WithIntegrityLines(const QString& html, const Seal::Status& status,
                           const QString& checkedAt) {
    QString footer;
    QString top;
    switch (status.state) {
    case Seal::State::Verified:
        footer = sealLines(status) + deskLines(status) +
                 QStringLiteral("<br>Integrity check at %1: the record and its picture match "
                                "their seal.")
                     .arg(checkedAt);
        break;
    case Seal::State::Unsealed:
        footer = QStringLiteral("Seal: none. This record was stored without a seal; its integrity "
                                "cannot be confirmed (checked at %1).")
                     .arg(checkedAt) +
                 deskLines(status);
        break;
    case Seal::State::Changed:
    case Seal::State::PictureMissing:
        top = QStringLiteral("Integrity check failed: %1 (checked at %2).")
                  .arg(problemText(status.detail), checkedAt);
        footer = sealLines(status) + deskLines(status) +
                 QStringLiteral("<br>Integrity check at %1: FAILED (%2).")
                     .arg(checkedAt, HtmlEscape(status.detail));
        break;
    }
    QString out = html;
    const QString bodyTag = QStringLiteral("<body class=\"bg\">");
    const qsizetype end = out.lastIndexOf(QLatin1String("</body>"));
    if (end >= 0)
        out.insert(end, QStringLiteral("<div class=\"seal\" %1>%2</div>")
                            .arg(QLatin1String(kFooterStyle), footer));
    if (!top.isEmpty()) {
        const qsizetype body = out.indexOf(bodyTag);
        const QString line = QStringLiteral("<div class=\"integrity-failed\" %1>%2</div>")
                                 .arg(QLatin1String(kFailStyle), top);
        if (body >= 0)
            out.insert(body + bodyTag.size(), line);
        else
            out.prepend(line);
    }
    return out;
}

Seal::Status IntegrityNow(const QStringList& cells) {
    Seal::Status status;
    SQLite::Database db;
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) == 0)
        status = Seal::StatusOf(db, cells.value(0), cells.value(1), cells.value(2), cells.value(3),
                                GetPicFolder());
    return status;
}

QString WithIntegrityLines(const QString& html, const QStringList& cells) {
    return WithIntegrityLines(html, IntegrityNow(cells), Seal::UtcNow());
}

namespace {
QString exportRecords(const QStringList& cells, const QString& file) {
    return QStringLiteral("%1 %2 %3 file %4")
        .arg(cells.value(1), cells.value(2), cells.value(3), file);
}
} // namespace

bool ReportMadeFor(const QStringList& cells, const QString& file) {
    SQLite::Database db;
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) != 0)
        return false;
    bool ok = false;
    const QString records = exportRecords(cells, file);
    for (const Audit::Entry& e : Audit::List(db, cells.value(0), QString(), &ok))
        if (e.action == QLatin1String("export-pdf") && e.outcome == QLatin1String("ok") &&
            e.records == records)
            return ok;
    return false;
}

void AuditReportExport(const QString& program, const QStringList& cells, const QString& file,
                       bool ok) {
    Audit::AppendTo(GetDatabasePath(), program, QStringLiteral("export-pdf"), cells.value(0),
                    exportRecords(cells, file),
                    ok ? QStringLiteral("ok") : QStringLiteral("failed"));
}
