#include "discovery/Discovery.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "history/core/LocalRecordSource.h"
#include "instruments/Calibration.h"
#include "reports/Csv.h"
#include "reports/PdfReport.h"
#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Instruments.h"
#include "store/Seal.h"
#include "store/Sha256.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <zip.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace Discovery {

namespace {

const QString kRedacted = QStringLiteral("[redacted]");

// A table of one file: headings and rows of text.
struct Table {
    QStringList headings;
    QList<QStringList> rows;
};

// Replaces the cells of every column named in redact.
void Redact(Table& t, const QStringList& redact) {
    QList<int> columns;
    for (int c = 0; c < t.headings.size(); ++c)
        for (const QString& name : redact)
            if (t.headings[c].compare(name.trimmed(), Qt::CaseInsensitive) == 0)
                columns << c;
    for (QStringList& row : t.rows)
        for (int c : columns)
            if (c < row.size())
                row[c] = kRedacted;
}

QByteArray CsvOf(const Table& t) {
    QByteArray out = Csv::kBom;
    out += Csv::Line(t.headings);
    for (const QStringList& row : t.rows)
        out += Csv::Line(row);
    return out;
}

QString Html(const QString& text) {
    return text.toHtmlEscaped();
}

QString HtmlTable(const Table& t) {
    QString out = QStringLiteral("<table><tr>");
    for (const QString& h : t.headings)
        out += QStringLiteral("<th>") + Html(h) + QStringLiteral("</th>");
    out += QStringLiteral("</tr>");
    for (const QStringList& row : t.rows) {
        out += QStringLiteral("<tr>");
        for (const QString& cell : row)
            out += QStringLiteral("<td>") + Html(cell) + QStringLiteral("</td>");
        out += QStringLiteral("</tr>");
    }
    return out + QStringLiteral("</table>");
}

// A long table as a listing of aligned columns in one preformatted block, its headings
// repeated every kListingBlock lines. Both converters lay out a table cell by cell and take
// about a second per thousand rows of ten cells (Chromium several times that); lines of text
// cost a fraction of it, so the records of a long period stay quick to print.
constexpr int kListingFrom = 1000; // rows from which a table is printed as a listing
constexpr int kListingBlock = 50;

QString HtmlListing(const Table& t) {
    QList<qsizetype> width;
    for (const QString& h : t.headings)
        width << h.size();
    for (const QStringList& row : t.rows)
        for (int c = 0; c < row.size() && c < width.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    auto line = [&](const QStringList& cells) {
        QString out;
        for (int c = 0; c < width.size(); ++c) {
            // Line breaks and tabs would break the columns: they become spaces.
            QString cell = cells.value(c);
            for (QChar& ch : cell)
                if (ch.unicode() < 0x20)
                    ch = QLatin1Char(' ');
            out += c + 1 < width.size() ? cell.leftJustified(width[c] + 2) : cell;
        }
        return Html(out) + QLatin1Char('\n');
    };
    const QString headings = QStringLiteral("<b>") + line(t.headings) + QStringLiteral("</b>");
    // Blocks of their own: Chromium breaks many short blocks into pages faster than one long.
    QString out;
    out.reserve(t.rows.size() * (width.size() * 12 + 16));
    for (int r = 0; r < t.rows.size(); ++r) {
        if (r % kListingBlock == 0)
            out += (r ? QStringLiteral("</pre>") : QString()) +
                   QStringLiteral("<pre class=\"listing\">") + headings;
        out += line(t.rows[r]);
    }
    return out + QStringLiteral("</pre>");
}

// The given columns of a table.
Table Columns(const Table& t, const QList<int>& keep) {
    Table out;
    for (int c : keep)
        out.headings << t.headings.value(c);
    for (const QStringList& row : t.rows) {
        QStringList cells;
        for (int c : keep)
            cells << row.value(c);
        out.rows << cells;
    }
    return out;
}

QString StateText(const Seal::Status& s) {
    switch (s.state) {
    case Seal::State::Verified:
        return s.late ? QStringLiteral("verified (sealed later)") : QStringLiteral("verified");
    case Seal::State::Changed:
        return QStringLiteral("failed: ") + s.detail;
    case Seal::State::PictureMissing:
        return QStringLiteral("failed: picture missing");
    case Seal::State::Unsealed:
        break;
    }
    return QStringLiteral("unsealed");
}

// A zip written through libzip: each file is added from memory or from disk.
class Zip {
public:
    bool Open(const QString& path, QString* error) {
        int code = 0;
        m_zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
        if (!m_zip) {
            zip_error_t e;
            zip_error_init_with_code(&e, code);
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(path, QString::fromUtf8(zip_error_strerror(&e)));
            zip_error_fini(&e);
        }
        return m_zip != nullptr;
    }
    ~Zip() {
        if (m_zip)
            zip_discard(m_zip);
    }
    bool AddBytes(const QString& name, const QByteArray& bytes) {
        m_kept.push_back(std::make_unique<QByteArray>(bytes));
        zip_source_t* src =
            zip_source_buffer(m_zip, m_kept.back()->constData(), zip_uint64_t(bytes.size()), 0);
        return Add(name, src, true);
    }
    bool AddFile(const QString& name, const QString& path, bool compress) {
        zip_source_t* src = zip_source_file(m_zip, QFile::encodeName(path).constData(), 0, -1);
        return Add(name, src, compress);
    }
    bool Close(QString* error) {
        if (zip_close(m_zip) != 0) {
            *error = QString::fromUtf8(zip_strerror(m_zip));
            return false;
        }
        m_zip = nullptr;
        return true;
    }

private:
    bool Add(const QString& name, zip_source_t* src, bool compress) {
        if (!src)
            return false;
        const zip_int64_t i = zip_file_add(m_zip, name.toUtf8().constData(), src,
                                           ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (i < 0) {
            zip_source_free(src);
            return false;
        }
        // Photographs and PDFs are compressed already.
        zip_set_file_compression(m_zip, zip_uint64_t(i), compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 0);
        return true;
    }
    zip_t* m_zip = nullptr;
    std::vector<std::unique_ptr<QByteArray>> m_kept; // buffers live until the zip is closed
};

// The report's HTML to PDF through the program's converter, in a folder of its own.
bool ToPdf(const CLanguage& texts, const QString& folder, const QString& html,
           const std::atomic<bool>* cancel, QString* error) {
    QFile page(folder + QStringLiteral("/report.html"));
    if (!page.open(QIODevice::WriteOnly) || page.write(html.toUtf8()) < 0) {
        *error = QStringLiteral("cannot write the report page");
        return false;
    }
    page.close();
    const QString program = CPdfReport::ConverterProgram(texts);
    if (program.isEmpty()) {
        *error = QStringLiteral("no PDF converter was found (wkhtmltopdf or brtx-pdf)");
        return false;
    }
    QProcess p;
    p.setProgram(program);
    if (QFileInfo(program).fileName() == QLatin1String("brtx-pdf"))
        p.setArguments({QStringLiteral("./report.html"), QStringLiteral("./report.pdf")});
    else
        p.setArguments({QStringLiteral("--quiet"), QStringLiteral("--disable-javascript"),
                        QStringLiteral("-O"), QStringLiteral("Landscape"),
                        QStringLiteral("./report.html"), QStringLiteral("./report.pdf")});
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardOutputFile(QProcess::nullDevice());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start();
    // Waits in short steps so that a cancel ends the converter at once.
    QElapsedTimer waited;
    waited.start();
    while (!p.waitForFinished(100)) {
        const bool cancelled = cancel && cancel->load();
        if (p.state() != QProcess::NotRunning && !cancelled && waited.elapsed() < 180000)
            continue;
        p.kill();
        p.waitForFinished(5000);
        *error = cancelled ? QStringLiteral("cancelled")
                           : QStringLiteral("the PDF converter did not finish");
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0 ||
        QFileInfo(folder + QStringLiteral("/report.pdf")).size() == 0) {
        *error = QStringLiteral("the PDF converter failed");
        return false;
    }
    return true;
}

const char* const kReadme =
    "This package was made by brtx-cli discovery. Every file but manifest.txt and\n"
    "manifest.sig is listed in manifest.txt with its SHA-256 and size in bytes.\n"
    "manifest.sig is the Ed25519 signature of manifest.txt by the desk key in desk.pub.\n"
    "\n"
    "To check the package with the openssl command alone, in the unpacked folder:\n"
    "\n"
    "1. The signature (prints \"Signature Verified Successfully\"):\n"
    "     openssl pkeyutl -verify -pubin -inkey desk.pub -rawin -in manifest.txt \\\n"
    "         -sigfile manifest.sig\n"
    "2. The key's fingerprint (SHA-256 of the 32 raw public-key bytes; compare it with the\n"
    "   one in report.pdf and with the desk's own, brtx-cli desk):\n"
    "     openssl pkey -pubin -in desk.pub -outform DER | tail -c 32 | openssl dgst -sha256\n"
    "3. Each file against its line in manifest.txt:\n"
    "     openssl dgst -sha256 -r records.csv\n"
    "   (the printed hash must equal the first word of the file's line).\n";

} // namespace

Result Build(const CLanguage& texts, const Options& o) {
    Result r;
    auto fail = [&](const QString& why) {
        r.error = why;
        return r;
    };
    int said = -1;
    auto progress = [&](int percent) {
        if (o.progress && percent != said)
            o.progress(said = percent);
    };
    auto cancelled = [&] { return o.cancel && o.cancel->load(); };
    progress(0);
    if (!FileExists(GetDatabasePath()))
        return fail(QStringLiteral("there is no database at %1").arg(GetDatabasePath()));
    SQLite::Database db;
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) != 0)
        return fail(QStringLiteral("cannot open %1").arg(GetDatabasePath()));
    Instruments::Instrument instrument;
    if (!Instruments::Find(db, o.device, &instrument)) {
        r.unknownDevice = true;
        return fail(QStringLiteral("%1 is no known instrument").arg(o.device));
    }
    bool ok = true;
    const QList<Instruments::LogEntry> log = Instruments::Log(db, o.device, &ok);
    if (!ok)
        return fail(QStringLiteral("the instrument's log cannot be read"));
    const Calibration::Intervals intervals =
        Calibration::IntervalsOf(instrument, Calibration::DefaultIntervals(texts));

    // The records of the period, each with its integrity and calibration state.
    const Seal::VerifyResult check = Seal::VerifyDevice(db, o.device);
    if (!check.readable)
        return fail(QStringLiteral("the seals cannot be read: %1").arg(check.error));
    CLocalRecordSource source(GetDatabasePath(), texts);
    HistoryFilter filter;
    filter.device = o.device;
    filter.startDate = o.start;
    filter.endDate = o.end;
    QVector<HistoryColumn> columns;
    QString error;
    if (!source.Columns(filter, columns, &error))
        return fail(error);
    Table records;
    for (const HistoryColumn& c : columns)
        records.headings << c.heading;
    records.headings << QStringLiteral("Integrity") << QStringLiteral("Calibration")
                     << QStringLiteral("Calibration note");
    struct Picture {
        QString name, path;
    };
    QList<Picture> pictures;
    const QString picRoot = GetPicFolder();
    const bool withPictures = o.pictures && o.redact.isEmpty();
    if (!source.Stream(
            filter, HistorySort(),
            [&](const HistoryRow& row) {
                const Seal::Status s = Seal::StatusOf(db, check, row.machineNo, row.recordNo,
                                                      row.date, row.time, picRoot);
                if (s.state != Seal::State::Verified)
                    ++r.problems;
                const Calibration::RecordState c = Calibration::StateAt(
                    log, intervals,
                    QDateTime::fromString(row.date + ' ' + row.time,
                                          QStringLiteral("yyyy-MM-dd HH:mm:ss")));
                records.rows << (QStringList(row.cells)
                                 << StateText(s) << Calibration::StateText(c.state) << c.why);
                const QString file = ResolvePicturePath(picRoot, row.path);
                if (withPictures && !file.isEmpty() && QFileInfo(file).isFile())
                    pictures << Picture{
                        QStringLiteral("pictures/%1/%2").arg(o.device, QFileInfo(file).fileName()),
                        file};
                if (cancelled())
                    return false;
                // Reading the records is about half of the work.
                if (instrument.records > 0)
                    progress(
                        int(std::min<qint64>(50, records.rows.size() * 50 / instrument.records)));
                return true;
            },
            &error))
        return fail(cancelled() ? QStringLiteral("cancelled") : error);
    r.records = records.rows.size();

    // The log entries in force over the period: every entry up to its end (a calibration
    // before the start is what the first tests relied on).
    Table logTable;
    logTable.headings = Calibration::LogHeadings();
    QList<Instruments::LogEntry> certs;
    for (const Instruments::LogEntry& e : log) {
        if (e.at.left(10) > o.end)
            continue;
        logTable.rows << Calibration::LogRow(e);
        if (!e.attachment.isEmpty())
            certs << e;
    }
    r.entries = logTable.rows.size();

    // The audit entries of the device over the period (At is UTC).
    Table audit;
    audit.headings = QStringList{"Seq",    "At",     "User",    "Host",    "Program",
                                 "Action", "Device", "Records", "Outcome", "Hash"};
    bool auditOk = true;
    for (const Audit::Entry& e : Audit::List(db, o.device, o.start, &auditOk)) {
        if (e.at.left(10) > o.end)
            continue;
        audit.rows << QStringList{QString::number(e.seq),
                                  e.at,
                                  e.user,
                                  e.host,
                                  e.program,
                                  e.action,
                                  e.device,
                                  e.records,
                                  e.outcome,
                                  e.hash};
    }
    if (!auditOk)
        return fail(QStringLiteral("the audit trail cannot be read"));
    r.auditEntries = audit.rows.size();

    // The report itself.
    Table identity;
    identity.headings = QStringList{"Field", "Value"};
    identity.rows = {{"Device number", instrument.device},
                     {"Device type", instrument.type},
                     {"Label", instrument.label},
                     {"Serial", instrument.serial},
                     {"Model", instrument.model},
                     {"Location", instrument.location},
                     {"Status", (instrument.status + ' ' + instrument.statusDate).trimmed()},
                     {"First link", instrument.firstLink},
                     {"Last link", instrument.lastLink},
                     {"Last download", instrument.lastDownload},
                     {"Calibration interval", QString::number(intervals.calibrationDays)},
                     {"Accuracy-check interval", QString::number(intervals.accuracyDays)}};
    for (Table* t : {&records, &logTable, &audit, &identity})
        Redact(*t, o.redact);
    // A redacted register field is named by its field, not its column.
    for (QStringList& row : identity.rows)
        for (const QString& name : o.redact)
            if (row[0].compare(name.trimmed(), Qt::CaseInsensitive) == 0)
                row[1] = kRedacted;

    const QString keyPath =
        QFileInfo(GetDatabasePath()).absolutePath() + QStringLiteral("/desk.key");
    Desk::PublicKey key;
    QString problem;
    // The manifest is signed last; the key is checked first so that nothing is built in vain.
    if (Desk::SignFile(keyPath, QByteArray("probe"), &key, &problem).isEmpty())
        return fail(QStringLiteral("the package cannot be signed: %1").arg(problem));
    r.fingerprint = key.fingerprint;
    const QString period = o.start == Options().start && o.end == Options().end
                               ? QStringLiteral("every record")
                               : o.start + QStringLiteral(" to ") + o.end;
    const QString verification =
        QStringLiteral("%1 of %2 records verified, %3 with a problem; desk key %4 (%5)")
            .arg(r.records - r.problems)
            .arg(r.records)
            .arg(r.problems)
            .arg(key.fingerprint, key.label);
    QString html = QStringLiteral(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>@page{size:A4 landscape;"
        "margin:12mm}body{font-family:sans-serif;"
        "font-size:9pt}h1{font-size:16pt}h2{font-size:12pt;margin-top:14pt}table{border-"
        "collapse:collapse;width:100%}th,td{border:1px solid #999;padding:2px 4px;text-align:"
        "left;vertical-align:top;overflow-wrap:anywhere}th{background:#eee}pre.listing{font-size:"
        "7pt;line-height:1.3;white-space:pre;margin:0 0 6pt 0}</style></head><body>");
    html += QStringLiteral("<h1>Discovery package: instrument %1</h1><p>Period: %2. Made %3.</p>")
                .arg(Html(o.device), Html(period),
                     Html(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)));
    html += QStringLiteral("<h2>Instrument</h2>") + HtmlTable(identity);
    html += QStringLiteral("<h2>Log entries in force</h2>") +
            (logTable.rows.isEmpty() ? QStringLiteral("<p>The instrument has no log entries: "
                                                      "calibration states are unknown.</p>")
                                     : HtmlTable(Columns(logTable, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                                    11, 12, 13, 14, 16, 17})));
    // On paper the records show their fixed columns and states; records.csv has every column.
    QList<int> shown;
    for (int c = 0; c < columns.size(); ++c)
        if (columns[c].kind == HistoryColumn::Fixed)
            shown << c;
    for (int c = int(columns.size()); c < records.headings.size(); ++c)
        shown << c;
    const Table printed = Columns(records, shown);
    html += QStringLiteral("<h2>Records</h2>") +
            (records.rows.isEmpty() ? QStringLiteral("<p>No records in this period.</p>")
             : printed.rows.size() < kListingFrom ? HtmlTable(printed)
                                                  : HtmlListing(printed));
    html +=
        QStringLiteral("<h2>Audit entries</h2>") + HtmlTable(Columns(audit, {0, 1, 2, 4, 5, 7, 8}));
    html += QStringLiteral("<h2>Verification</h2><p>") + Html(verification) +
            QStringLiteral("</p></body></html>");

    progress(50);
    QTemporaryDir work;
    if (!work.isValid())
        return fail(QStringLiteral("cannot make a temporary folder"));
    if (!ToPdf(texts, work.path(), html, o.cancel, &error))
        return fail(error);

    progress(80);
    // Files of the package, with their hashes for the manifest.
    const QString part = o.out + QStringLiteral(".part");
    QFile::remove(part);
    QByteArray manifest;
    auto note = [&](const QString& name, const QByteArray& sha, qint64 size) {
        manifest += sha + "  " + QByteArray::number(size) + "  " + name.toUtf8() + '\n';
    };
    {
        Zip zip;
        if (!zip.Open(part, &error))
            return fail(error);
        bool added = true;
        auto addBytes = [&](const QString& name, const QByteArray& bytes) {
            added = added && zip.AddBytes(name, bytes);
            note(name, Sha256::hex(bytes).toLatin1(), bytes.size());
        };
        auto addFile = [&](const QString& name, const QString& path, bool compress) {
            bool readable = false;
            qint64 size = 0;
            const QString sha = Seal::FileHash(path, &readable, &size);
            if (!readable) {
                added = false;
                error = QStringLiteral("cannot read %1").arg(path);
                return;
            }
            added = added && zip.AddFile(name, path, compress);
            note(name, sha.toLatin1(), size);
        };
        addFile(QStringLiteral("report.pdf"), work.path() + QStringLiteral("/report.pdf"), false);
        addBytes(QStringLiteral("records.csv"), CsvOf(records));
        addBytes(QStringLiteral("log.csv"), CsvOf(logTable));
        addBytes(QStringLiteral("audit.csv"), CsvOf(audit));
        for (const Picture& p : pictures)
            if (added && !cancelled())
                addFile(p.name, p.path, false);
        if (cancelled()) {
            return fail(QStringLiteral("cancelled")); // the zip is discarded unwritten
        }
        r.pictures = pictures.size();
        if (o.redact.isEmpty())
            for (const Instruments::LogEntry& e : certs) {
                const QString path = GetAppFolder() + QLatin1Char('/') + e.attachment;
                if (!e.attachment.startsWith(QStringLiteral("certs/") + o.device + '/') ||
                    e.attachment.contains(QLatin1String("..")) || !QFileInfo(path).isFile())
                    continue;
                addFile(e.attachment, path, false);
            }
        addBytes(QStringLiteral("desk.pub"), key.pem.toLatin1());
        addBytes(QStringLiteral("README.txt"), QByteArray(kReadme));
        const QByteArray signature = Desk::SignFile(keyPath, manifest, nullptr, &problem);
        if (signature.isEmpty())
            return fail(QStringLiteral("the package cannot be signed: %1").arg(problem));
        added = added && zip.AddBytes(QStringLiteral("manifest.txt"), manifest) &&
                zip.AddBytes(QStringLiteral("manifest.sig"), signature);
        if (!added) {
            QFile::remove(part);
            return fail(error.isEmpty() ? QStringLiteral("cannot add a file to the package")
                                        : error);
        }
        if (!zip.Close(&error)) {
            QFile::remove(part);
            return fail(QStringLiteral("cannot write %1: %2").arg(o.out, error));
        }
    }
    // The package holds personal data: private to the user, whatever the umask. The rename
    // replaces an earlier package of the same name in one step, so it is never lost on a failure.
    const QByteArray partName = QFile::encodeName(part);
    if (::chmod(partName.constData(), 0600) != 0 ||
        ::rename(partName.constData(), QFile::encodeName(o.out).constData()) != 0) {
        QFile::remove(part);
        return fail(QStringLiteral("cannot write %1").arg(o.out));
    }
    progress(100);
    r.ok = true;
    return r;
}

} // namespace Discovery
