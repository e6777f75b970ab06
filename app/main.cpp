// Start-up: the Qt application runs the main window; the process ends when it closes.
//
//   brtx [--address ADDRESS] [Qt options]
//
// Without a display to show the window on, the program says so and ends with exit status 1
// instead of letting the platform plugin abort the process.
#include "app/window/BRTXApp.h"
#include "base/Paths.h"
#include "base/Version.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

const char* const kHelp =
    "Usage: brtx [--address ADDRESS]\n\n"
    "The window of the program: downloads the records of a breath-alcohol test instrument and\n"
    "lists, exports and seals them.\n\n"
    "  --address ADDRESS  type this Wi-Fi address (IPv4) of an instrument into the device page\n"
    "  --help             show this text\n\n"
    "The window needs a display (DISPLAY or WAYLAND_DISPLAY); brtx-cli does the same work\n"
    "without one. Data folder: BRTX_HOME when set; see brtx-cli --help.\n";

const char* const kNoDisplay =
    "brtx: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not set); start it "
    "in a desktop session, or use brtx-cli for the same work without a window";

// Whether the platform Qt will pick can show a window here. Only the cases known to fail are
// refused: the X11 and Wayland plugins without their display. Other platforms (offscreen, vnc,
// eglfs, ...) are the caller's choice.
bool HasDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (platform.isEmpty())
        return x11 || wayland;
    if (platform.startsWith("xcb"))
        return x11;
    if (platform.startsWith("wayland"))
        return wayland;
    return true;
}

// While the application object is made, a platform plugin that cannot start (a display that
// is set but cannot be reached) ends the program with Qt's reason and our line, exit status 1,
// rather than an abort and a core dump. Without XDG_RUNTIME_DIR (a root session) Qt says on
// every start that it uses a folder of its own instead, which is no warning to the operator;
// every other message goes on as before.
QtMessageHandler g_previous = nullptr;
bool g_starting = true;
void Messages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (type == QtFatalMsg && g_starting) {
        std::fprintf(stderr, "%s\n%s\n", qPrintable(message),
                     "brtx: the window cannot be shown here; use brtx-cli for the same work "
                     "without a window");
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (g_previous)
        g_previous(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char** argv) {
    // Everything the program, its libraries and the programs it runs (the PDF converter)
    // create is private to the user: records and pictures are personal data.
    ::umask(077);
    QString address;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    if (!HasDisplay(argc, argv)) {
        std::fprintf(stderr, "%s\n", kNoDisplay);
        return 1;
    }

    g_previous = qInstallMessageHandler(Messages);
    QApplication app(argc, argv);
    g_starting = false;
    QApplication::setApplicationName(QStringLiteral("brtx"));
    QApplication::setApplicationVersion(QStringLiteral(BRTX_VERSION));

    // Qt has taken its own options (-platform, -style, ...); what is left is ours.
    const QStringList args = QApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--address")) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "brtx: --address needs an address: brtx --address "
                                     "ADDRESS\n");
                return 2;
            }
            address = args[++i];
        } else if (a.startsWith(QLatin1String("--address="))) {
            address = a.mid(10);
        } else {
            std::fprintf(stderr, "brtx: %s is not an option; usage: brtx [--address ADDRESS]\n",
                         qPrintable(a));
            return 2;
        }
    }

    // An installed copy keeps its data in the user's data folder, made here. When it cannot be
    // used the window says so once and the program ends before anything is written.
    if (const QString problem = PrepareDataFolder(); !problem.isEmpty()) {
        std::fprintf(stderr, "brtx: %s\n", qPrintable(problem));
        QMessageBox::critical(nullptr, QStringLiteral("brtx"), problem);
        return 1;
    }
    CBRTXApp brtx(app);
    brtx.SetAddress(address);
    // What an earlier version left open to other users is closed, and said once.
    if (MakeDataFolderPrivate() > 0)
        brtx.SetStartStatus(QStringLiteral("DataFolderTightened"));
    brtx.InitInstance();
    return 0;
}
