// brtx-pdf IN.html OUT.pdf: renders a local HTML file (with its style sheets and pictures)
// and prints it to a PDF on A4 paper, as the test reports need.
//
// Exit status 0 when OUT.pdf is complete; otherwise 1 (2 for wrong arguments) and no
// OUT.pdf: the PDF is written under a temporary name beside OUT.pdf and renamed when whole.
// A conversion that takes longer than 60 s (BRTX_PDF_TIMEOUT_MS to change it) is stopped.
// Works without a display (the off-screen platform is taken when none is named) and as
// root (the engine's sandbox is then turned off, as it refuses to run otherwise).
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

// In sanitizer builds: the browser engine is a system library built without the sanitizer,
// and its page teardown frees an object through a base class of another size. That is not
// this program's fault, so this one check is off here; every other check stays on.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}
#endif

namespace {

int Fail(const char* text, const QString& detail = QString()) {
    std::fprintf(stderr, "brtx-pdf: %s%s%s\n", text, detail.isEmpty() ? "" : ": ",
                 qPrintable(detail));
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3 || argv[1][0] == '\0' || argv[2][0] == '\0') {
        std::fprintf(stderr, "Usage: brtx-pdf IN.html OUT.pdf\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // No GPU process: nothing is shown, and headless machines often have no usable GPU.
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --disable-logging");
    // The engine's start-up report is of no use to the caller.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES",
                "qt.webenginecontext.info=false;qt.webenginecontext.debug=false");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QGuiApplication app(argc, argv);

    const QString in = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString out = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    if (!QFileInfo(in).isFile())
        return Fail("cannot read", in);
    if (QFileInfo(out).isDir())
        return Fail("the output is a folder", out);
    const QString part = QFileInfo(out).absolutePath() + QStringLiteral("/.") +
                         QFileInfo(out).fileName() + QStringLiteral(".part");
    QFile::remove(part);

    bool ok = false;
    int timeoutMs = qEnvironmentVariableIntValue("BRTX_PDF_TIMEOUT_MS", &ok);
    if (!ok || timeoutMs <= 0)
        timeoutMs = 60000;

    QWebEnginePage page;
    // A report is static: no scripts, and no reaching out beyond the local files.
    page.settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    page.settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    page.settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);

    int status = 1;
    QObject::connect(&page, &QWebEnginePage::loadFinished, &app, [&](bool loaded) {
        if (!loaded) {
            Fail("cannot load", in);
            app.exit(1);
            return;
        }
        const QPageLayout layout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                 QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter);
        page.printToPdf(part, layout);
    });
    QObject::connect(&page, &QWebEnginePage::pdfPrintingFinished, &app,
                     [&](const QString&, bool printed) {
                         if (!printed) {
                             Fail("printing failed", out);
                             app.exit(1);
                             return;
                         }
                         // Replaces a file of that name only now that the new one is whole.
                         if (std::rename(QFile::encodeName(part).constData(),
                                         QFile::encodeName(out).constData()) != 0) {
                             Fail("cannot write", out);
                             app.exit(1);
                             return;
                         }
                         // The engine makes its files private; a report is an ordinary file.
                         const mode_t mask = ::umask(0);
                         ::umask(mask);
                         ::chmod(QFile::encodeName(out).constData(), 0666 & ~mask);
                         status = 0;
                         app.exit(0);
                     });
    QTimer::singleShot(timeoutMs, &app, [&] {
        Fail("did not finish in time");
        app.exit(1);
    });
    page.load(QUrl::fromLocalFile(in));
    app.exec();
    if (status != 0)
        QFile::remove(part);
    return status;
}
