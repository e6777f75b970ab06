#include "reports/PdfReport.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "history/core/Limits.h"
#include "reports/Report.h"
#include "reports/ReportSeal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {

// The record's integrity lines: as its store checked it, else against brtx.db now.
QString IntegrityLines(const QString& html, const ReportSource& source) {
    return source.integrity ? WithIntegrityLines(html, *source.integrity, Seal::UtcNow())
                            : WithIntegrityLines(html, source.cells);
}

// A PDF file that starts with its signature and ends with its end-of-file marker.
bool IsCompletePdf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() < 16)
        return false;
    if (!f.read(5).startsWith("%PDF-"))
        return false;
    const qint64 tail = qMin<qint64>(f.size(), 1024);
    f.seek(f.size() - tail);
    return f.read(tail).contains("%%EOF");
}

const char* const kWkhtmltopdf = "wkhtmltopdf";
const char* const kBrtxPdf = "brtx-pdf";

// [Global] PdfConverter: "wkhtmltopdf" or "brtx-pdf"; empty when absent or another text.
QString ChosenConverter(const CLanguage& texts) {
    const QString key = texts.ReadGlobal(QStringLiteral("PdfConverter")).trimmed();
    if (key == QLatin1String(kWkhtmltopdf) || key == QLatin1String(kBrtxPdf))
        return key;
    return QString();
}

} // namespace

CPdfReport::CPdfReport(QObject* parent, CLanguage texts)
    : QObject(parent), m_texts(std::move(texts)) {}

CPdfReport::~CPdfReport() {
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(3000);
        // The conversion was cut short (the window closed): what it wrote so far must not be
        // taken for a finished report later.
        if (!m_partPath.isEmpty())
            QFile::remove(m_partPath);
        else if (!IsCompletePdf(m_pdfPath))
            QFile::remove(m_pdfPath);
        QFile::remove(m_htmlPath);
    }
}

QString CPdfReport::ConverterProgram(const CLanguage& texts) {
    const QString key = ChosenConverter(texts);
    // An installed copy runs no converter from its data folder, which every program of the
    // user can write to; a program folder is the program's own.
    QStringList folders{QCoreApplication::applicationDirPath()};
    if (!IsInstalledCopy())
        folders.prepend(GetAppFolder());
    auto find = [&folders](const QString& name) {
        for (const QString& dir : std::as_const(folders)) {
            const QString local = dir + QLatin1Char('/') + name;
            if (QFileInfo(local).isFile())
                return local;
        }
        return QStandardPaths::findExecutable(name);
    };
    if (!key.isEmpty())
        return find(key);
    // Not chosen: wkhtmltopdf as ever when this system has it, else our own converter.
    const QString wk = find(QLatin1String(kWkhtmltopdf));
    return wk.isEmpty() ? find(QLatin1String(kBrtxPdf)) : wk;
}

bool CPdfReport::OpenDocument(const QString& path) {
    if (qEnvironmentVariable("BRTX_NO_OPEN") == QLatin1String("1"))
        return true;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

CPdfReport::Outcome CPdfReport::Start(const ReportSource& source) {
    m_ok = false;
    m_error.clear();
    if (m_process) {
        m_error = QStringLiteral("A report is being built");
        return Failed;
    }
    const QString pdfFolder = GetPdfFolder();
    if (!FolderExists(pdfFolder))
        CreateFolder(pdfFolder);

    m_name = ReportName(source.cells);
    m_pdfPath = pdfFolder + QLatin1Char('/') + m_name + QStringLiteral(".pdf");
    m_htmlPath = GetAppFolder() + QLatin1Char('/') + m_name + QStringLiteral(".html");
    m_partPath.clear();

    // A PDF left incomplete by a conversion that never ended (the program was stopped) is
    // built again rather than opened.
    if (QFileInfo(m_pdfPath).isFile() && !IsCompletePdf(m_pdfPath))
        QFile::remove(m_pdfPath);
    // Nor is a report reused whose record no longer matches its seal (the earlier report
    // would still confirm it), or one not made for this record (a name an earlier version
    // gave to another record as well).
    if (QFileInfo(m_pdfPath).isFile()) {
        const Seal::State state =
            (source.integrity ? *source.integrity : IntegrityNow(source.cells)).state;
        if (state == Seal::State::Changed || state == Seal::State::PictureMissing ||
            !ReportMadeFor(source.cells, m_pdfPath))
            QFile::remove(m_pdfPath);
    }
    if (QFileInfo(m_pdfPath).isFile()) {
        if (m_open)
            OpenDocument(m_pdfPath);
        m_ok = true;
        AuditReportExport(m_program, source.cells, m_pdfPath, true);
        return Reused;
    }
    if (!FolderExists(pdfFolder)) {
        m_error = QStringLiteral("Cannot make the folder %1").arg(pdfFolder);
        return Failed;
    }

    const QString charset = ReportCharset(m_texts.ReadLanguage());
    m_cells = source.cells;
    return Convert(ReportBytes(
        // An integrity failure's line goes above the limit's.
        IntegrityLines(WithLimitLine(BuildReportHtml(source.headings, source.cells,
                                                     source.picturePath, charset),
                                     source.cells, m_texts),
                       source),
        charset));
}

QString CPdfReport::CombinedReportName(const QVector<ReportSource>& sources,
                                       const QDateTime& when) {
    const QStringList first = sources.isEmpty() ? QStringList() : sources.first().cells;
    const QStringList last = sources.isEmpty() ? QStringList() : sources.last().cells;
    QString name = QStringLiteral("%1_%2-%3_%4")
                       .arg(first.value(0), first.value(1), last.value(1),
                            when.toString(QStringLiteral("yyyyMMdd_HHmmss")));
    for (QChar& c : name)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20)
            c = QLatin1Char('_');
    return name;
}

CPdfReport::Outcome CPdfReport::StartCombined(const QVector<ReportSource>& sources) {
    if (sources.size() == 1)
        return Start(sources.first());
    m_ok = false;
    m_error.clear();
    if (m_process) {
        m_error = QStringLiteral("A report is being built");
        return Failed;
    }
    if (sources.isEmpty()) {
        m_error = QStringLiteral("No record to report");
        return Failed;
    }
    const QString pdfFolder = GetPdfFolder();
    if (!FolderExists(pdfFolder))
        CreateFolder(pdfFolder);
    if (!FolderExists(pdfFolder)) {
        m_error = QStringLiteral("Cannot make the folder %1").arg(pdfFolder);
        return Failed;
    }
    m_name = CombinedReportName(sources, QDateTime::currentDateTime());
    m_pdfPath = pdfFolder + QLatin1Char('/') + m_name + QStringLiteral(".pdf");
    m_htmlPath = GetAppFolder() + QLatin1Char('/') + m_name + QStringLiteral(".html");
    // Hidden until whole: a viewer or the next export never sees half a report. The name is
    // unpredictable and the file made here (private), so nobody can put a file in its way.
    {
        QTemporaryFile part(pdfFolder + QStringLiteral("/.XXXXXX.part.pdf"));
        part.setAutoRemove(false);
        if (!part.open()) {
            m_error = QStringLiteral("Cannot write in the folder %1").arg(pdfFolder);
            return Failed;
        }
        m_partPath = part.fileName();
    }

    const QString charset = ReportCharset(m_texts.ReadLanguage());
    QString text;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const ReportSource& s = sources.at(i);
        // Each page carries its own record's integrity lines; the encoding works character by
        // character, so encoded pages can be joined.
        const QString page = IntegrityLines(
            WithLimitLine(BuildReportHtml(s.headings, s.cells, s.picturePath, charset), s.cells,
                          m_texts),
            s);
        // Each record's page is the single report's body; the document keeps the first head.
        const QString bodyTag = QStringLiteral("<body class=\"bg\">");
        const qsizetype bodyAt = page.indexOf(bodyTag) + bodyTag.size();
        const qsizetype endAt = page.lastIndexOf(QLatin1String("</body>"));
        if (i == 0)
            text = page.left(bodyAt);
        text += i + 1 < sources.size() ? QStringLiteral("<div style=\"page-break-after: always\">")
                                       : QStringLiteral("<div>");
        text += QStringView(page).mid(bodyAt, endAt - bodyAt);
        text += QLatin1String("</div>");
    }
    text += QLatin1String("</body></html>");
    // The audit entry names the device, the records and that they went into one report.
    m_cells = {sources.first().cells.value(0),
               sources.first().cells.value(1) + QLatin1Char('-') + sources.last().cells.value(1),
               QStringLiteral("combined"), QString::number(sources.size())};
    return Convert(ReportBytes(text, charset));
}

void CPdfReport::dropPart() {
    if (!m_partPath.isEmpty())
        QFile::remove(m_partPath);
}

CPdfReport::Outcome CPdfReport::Convert(const QByteArray& bytes) {
    const QString folder = GetAppFolder();
    QSaveFile html(m_htmlPath);
    if (!html.open(QIODevice::WriteOnly) || html.write(bytes) != bytes.size() || !html.commit()) {
        m_error = QStringLiteral("Cannot write %1").arg(m_htmlPath);
        dropPart();
        return Failed;
    }
    QFile::setPermissions(m_htmlPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // The page links its style sheets and logo by name from the data folder. A data folder
    // set up elsewhere (BRTX_HOME, an installed copy) lacks them: take the ones shipped with
    // the program, or the report would come out unstyled with a broken logo.
    for (const char* name : {"bootstrap.min.css", "report.css", "logo.png"}) {
        const QString target = folder + QLatin1Char('/') + QLatin1String(name);
        if (!QFileInfo::exists(target))
            QFile::copy(GetShippedFile(QLatin1String(name)), target);
    }

    const QString program = ConverterProgram(m_texts);
    if (program.isEmpty()) {
        const QString chosen = ChosenConverter(m_texts);
        m_error = QStringLiteral("%1 was not found")
                      .arg(chosen.isEmpty()
                               ? QStringLiteral("neither %1 nor %2")
                                     .arg(QLatin1String(kWkhtmltopdf), QLatin1String(kBrtxPdf))
                               : chosen);
        QFile::remove(m_htmlPath); // the page holds the record: not left behind
        dropPart();
        return Failed;
    }
    m_converter = QFileInfo(program).fileName();

    m_process = new QProcess(this);
    m_process->setProgram(program);
    // Always as a relative path: a name starting with "-" would be read as an option, and one
    // starting with a blank (the device " ") or holding ":" would be taken for a web address.
    const QString htmlArg = QStringLiteral("./%1.html").arg(m_name);
    const QString outArg = m_partPath.isEmpty()
                               ? QStringLiteral("pdf/%1.pdf").arg(m_name)
                               : QStringLiteral("pdf/") + QFileInfo(m_partPath).fileName();
    if (m_converter == QLatin1String(kBrtxPdf)) {
        // Runs no script and reads local files only by itself.
        m_process->setArguments({htmlArg, outArg});
    } else {
        // This converter blocks every local file unless told otherwise: allow the program
        // folder only (style sheets, logo, pictures) and run no script in the page.
        m_process->setArguments({QStringLiteral("--quiet"), QStringLiteral("--disable-javascript"),
                                 QStringLiteral("--allow"), folder, htmlArg, outArg});
    }
    m_process->setWorkingDirectory(folder);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The converter never shows a window: its toolkit's off-screen platform works with or
    // without a display (and on Wayland-only desktops, where its X11 platform would fail).
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process->setProcessEnvironment(env);
    connect(m_process, &QProcess::finished, this,
            [this](int, QProcess::ExitStatus status) { Finish(status == QProcess::NormalExit); });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            Finish(false);
    });
    m_timedOut = false;
    m_cancelled = false;
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this]() {
        if (!m_process)
            return;
        m_timedOut = true;
        m_process->kill(); // finished() follows
    });
    m_timer->start(m_timeoutMs);
    m_process->start();
    return Started;
}

void CPdfReport::Cancel() {
    if (!m_process)
        return;
    m_cancelled = true;
    m_process->kill(); // finished() follows
}

bool CPdfReport::WaitFinished() {
    if (!m_process)
        return m_ok;
    if (!m_process->waitForFinished(m_timeoutMs) && m_process) {
        m_timedOut = true;
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    if (m_process)
        Finish(false);
    return m_ok;
}

void CPdfReport::Finish(bool processOk) {
    if (!m_process)
        return;
    QProcess* process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    process->deleteLater();
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }

    // The converter reports a missing sub-resource (a deleted photograph) with exit code 1
    // but still writes the page; what counts is a complete PDF at the expected path.
    const QString written = m_partPath.isEmpty() ? m_pdfPath : m_partPath;
    m_ok = !m_timedOut && !m_cancelled && IsCompletePdf(written);
    if (m_ok && !m_partPath.isEmpty() &&
        ::rename(QFile::encodeName(m_partPath).constData(),
                 QFile::encodeName(m_pdfPath).constData()) != 0) {
        m_ok = false;
        m_error = QStringLiteral("Cannot rename the report to %1").arg(m_pdfPath);
        QFile::remove(m_partPath);
        emit finished(false);
        return;
    }
    const QString converter = m_converter.isEmpty() ? QStringLiteral("The converter") : m_converter;
    // The page holds the record's values: it is not left in the folder either way.
    QFile::remove(m_htmlPath);
    if (m_ok) {
        QFile::setPermissions(m_pdfPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (m_open)
            OpenDocument(m_pdfPath);
    } else {
        // A half-written PDF would be reused by the next click: remove it.
        if (QFileInfo::exists(written))
            QFile::remove(written);
        if (m_cancelled)
            m_error = QStringLiteral("cancelled");
        else if (m_timedOut)
            m_error = QStringLiteral("%1 did not finish within %2 s")
                          .arg(converter)
                          .arg(m_timeoutMs / 1000);
        else if (!processOk)
            m_error = QStringLiteral("%1 could not run: %2").arg(converter, process->errorString());
        else
            m_error = QStringLiteral("%1 wrote no PDF (exit code %2)")
                          .arg(converter)
                          .arg(process->exitCode());
    }
    AuditReportExport(m_program, m_cells, m_pdfPath, m_ok);
    emit finished(m_ok);
}

QString WithLimitLine(const QString& html, const QStringList& cells, const CLanguage& texts) {
    const CLimits limits = CLimits::Read(texts);
    const int level = limits.Level(cells.value(6), cells.value(5));
    const UnitLimits* unit = limits.For(cells.value(6));
    if (level <= 0 || !unit)
        return html;
    // The characters the page's encoding lacks become references, as in the rest of the page.
    const QString line =
        QStringLiteral("<div class=\"over-limit\" style=\"color:#c00000;font-weight:bold;"
                       "font-size:16px;margin:6px 0\">%1</div>")
            .arg(HtmlEncode(HtmlEscape(OverLimitText(texts, *unit, level))));
    QString out = html;
    const QString bodyTag = QStringLiteral("<body class=\"bg\">");
    const qsizetype body = out.indexOf(bodyTag);
    if (body >= 0)
        out.insert(body + bodyTag.size(), line);
    else
        out.prepend(line);
    return out;
}
