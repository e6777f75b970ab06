#include "history/core/PdfReport.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "history/core/Report.h"
#include "history/core/ReportSeal.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {

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

} // namespace

CPdfReport::CPdfReport(QObject* parent) : QObject(parent) {}

CPdfReport::~CPdfReport() {
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(3000);
        // The conversion was cut short (the window closed): what it wrote so far must not be
        // taken for a finished report later.
        if (!IsCompletePdf(m_pdfPath))
            QFile::remove(m_pdfPath);
        QFile::remove(m_htmlPath);
    }
}

QString CPdfReport::ConverterProgram() {
    const QString local = GetAppFolder() + QStringLiteral("/wkhtmltopdf");
    if (QFileInfo(local).isFile())
        return local;
    return QStandardPaths::findExecutable(QStringLiteral("wkhtmltopdf"));
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
    const QString folder = GetAppFolder();
    const QString pdfFolder = GetPdfFolder();
    if (!FolderExists(pdfFolder))
        CreateFolder(pdfFolder);

    m_name = ReportName(source.cells);
    m_pdfPath = pdfFolder + QLatin1Char('/') + m_name + QStringLiteral(".pdf");
    m_htmlPath = folder + QLatin1Char('/') + m_name + QStringLiteral(".html");

    // A PDF left incomplete by a conversion that never ended (the program was stopped) is
    // built again rather than opened.
    if (QFileInfo(m_pdfPath).isFile() && !IsCompletePdf(m_pdfPath))
        QFile::remove(m_pdfPath);
    // Nor is a report reused whose record no longer matches its seal: the earlier report
    // would still confirm it.
    if (QFileInfo(m_pdfPath).isFile()) {
        const Seal::State state = IntegrityNow(source.cells).state;
        if (state == Seal::State::Changed || state == Seal::State::PictureMissing)
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

    const QString charset = ReportCharset(ReadLanguage());
    const QByteArray bytes =
        ReportBytes(WithIntegrityLines(
                        BuildReportHtml(source.headings, source.cells, source.picturePath, charset),
                        source.cells),
                    charset);
    m_cells = source.cells;
    QSaveFile html(m_htmlPath);
    if (!html.open(QIODevice::WriteOnly) || html.write(bytes) != bytes.size() || !html.commit()) {
        m_error = QStringLiteral("Cannot write %1").arg(m_htmlPath);
        return Failed;
    }

    // The page links its style sheets and logo by name from the program folder. A program
    // folder set up elsewhere (BRTX_HOME) may lack them: take the ones installed beside the
    // executable, or the report would come out unstyled with a broken logo.
    for (const char* name : {"bootstrap.min.css", "report.css", "logo.png"}) {
        const QString target = folder + QLatin1Char('/') + QLatin1String(name);
        if (!QFileInfo::exists(target))
            QFile::copy(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                            QLatin1String(name),
                        target);
    }

    const QString program = ConverterProgram();
    if (program.isEmpty()) {
        m_error = QStringLiteral("wkhtmltopdf was not found");
        return Failed;
    }

    m_process = new QProcess(this);
    m_process->setProgram(program);
    // Always as a relative path: a name starting with "-" would be read as an option, and one
    // starting with a blank (the device " ") or holding ":" would be taken for a web address.
    const QString htmlArg = QStringLiteral("./%1.html").arg(m_name);
    // This converter blocks every local file unless told otherwise: allow the program
    // folder only (style sheets, logo, pictures) and run no script in the page.
    m_process->setArguments({QStringLiteral("--quiet"), QStringLiteral("--disable-javascript"),
                             QStringLiteral("--allow"), folder, htmlArg,
                             QStringLiteral("pdf/%1.pdf").arg(m_name)});
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
    const QFileInfo pdf(m_pdfPath);
    m_ok = !m_timedOut && IsCompletePdf(m_pdfPath);
    if (m_ok) {
        QFile::remove(m_htmlPath);
        if (m_open)
            OpenDocument(m_pdfPath);
    } else {
        // A half-written PDF would be reused by the next click: remove it.
        if (pdf.exists())
            QFile::remove(m_pdfPath);
        if (m_timedOut)
            m_error =
                QStringLiteral("wkhtmltopdf did not finish within %1 s").arg(m_timeoutMs / 1000);
        else if (!processOk)
            m_error = QStringLiteral("wkhtmltopdf could not run: %1").arg(process->errorString());
        else
            m_error =
                QStringLiteral("wkhtmltopdf wrote no PDF (exit code %1)").arg(process->exitCode());
    }
    AuditReportExport(m_program, m_cells, m_pdfPath, m_ok);
    emit finished(m_ok);
}
