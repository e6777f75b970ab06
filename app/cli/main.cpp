// brtx-cli: the device and history work of the program without its window.
//
//   brtx-cli [--home DIR] COMMAND [ARGS...]
//
// --home DIR names the data folder (what BRTX_HOME does); it is set before anything reads
// the folder. Exit codes: 0 success, 1 failure, 2 usage error, 130 interrupted.
#include "app/cli/Commands.h"
#include "base/Language.h"
#include "base/Paths.h"

#include <QApplication>
#include <QGuiApplication>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

void Print(FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
}

void PrintUsage(FILE* to) {
    std::fprintf(to, "Usage: brtx-cli [--home DIR] COMMAND [ARGS...]\n"
                     "       brtx-cli help [COMMAND]\n\n"
                     "  --home DIR   use DIR as the data folder (brtx.db, pic, pdf, adbcopy,\n"
                     "               Language.ini); the same as setting BRTX_HOME\n"
                     "  --help       show this text\n\n"
                     "Commands:\n");
    int width = 0;
    for (const CliCommand& c : CliCommands())
        width = std::max(width, int(std::strlen(c.name)));
    for (const CliCommand& c : CliCommands())
        Print(to, QStringLiteral("  %1  %2\n")
                      .arg(QLatin1String(c.name), -width)
                      .arg(QString::fromUtf8(c.summary)));
    std::fprintf(to, "\n`brtx-cli help COMMAND` (or `brtx-cli COMMAND --help`) shows a command's"
                     " synopsis, options\nand an example.\n");
    std::fprintf(to, "\nStatus texts are printed one per line. Exit status: 0 success, 1 failure,"
                     " 2 usage error,\n130 interrupted by SIGINT or SIGTERM (what was in flight"
                     " is canceled or aborted).\n");
    std::fprintf(to, "\nData folder: BRTX_HOME (or --home) when set; else the program folder when"
                     " it holds its own\nLanguage.ini; else (an installed copy)"
                     " $XDG_DATA_HOME/brtx, by default ~/.local/share/brtx.\n");
    std::fprintf(to, "Data folder in use: %s\n", qPrintable(DescribeDataFolder()));
}

// Diagnostic traces (adb runs, link details) stay out of the operator's way unless BRTX_DEBUG
// is set; warnings and errors still go to standard error. One notice is not a warning to the
// operator: without XDG_RUNTIME_DIR (a root shell, a service, a container) Qt says it uses a
// folder of its own instead, which is what it should do, on every run.
void CliMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    static const bool debug = qEnvironmentVariableIsSet("BRTX_DEBUG");
    if ((type == QtDebugMsg || type == QtInfoMsg) && !debug)
        return;
    if (type == QtWarningMsg && !debug &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// brtx-cli help [COMMAND | --man | --list]. --man and --list are read by the build (the man
// page) and by the bash completion.
int Help(const QList<QByteArray>& args) {
    if (args.isEmpty()) {
        PrintUsage(stdout);
        return kCliOk;
    }
    const QString what = QString::fromLocal8Bit(args.first());
    if (args.size() > 1)
        return CliUsageError(
            "help",
            QStringLiteral("unexpected word \"%1\"").arg(QString::fromLocal8Bit(args.at(1))));
    if (what == QLatin1String("--man")) {
        Print(stdout, CliManSections());
        return kCliOk;
    }
    if (what == QLatin1String("--list")) {
        Print(stdout, CliOptionList());
        return kCliOk;
    }
    const CliCommand* command = FindCliCommand(what);
    if (!command) {
        QStringList names;
        for (const CliCommand& c : CliCommands())
            names << QLatin1String(c.name);
        return CliUsageError("help", QStringLiteral("\"%1\" is no command; the commands are: %2")
                                         .arg(what, names.join(QStringLiteral(", "))));
    }
    Print(stdout, CliCommandHelp(*command));
    return kCliOk;
}

int RunHelpCommand(const CLanguage&, const QStringList&) {
    return kCliOk; // handled in main before the data folder is prepared
}

const CliRegistrar helpRegistrar({"help",
                                  "help [COMMAND]",
                                  RunHelpCommand,
                                  "show the commands, or one command's options and an example",
                                  {},
                                  "brtx-cli help history"});

} // namespace

int main(int argc, char** argv) {
    // Everything this program, its libraries and the programs it runs create is private to
    // the user: records and pictures are personal data.
    ::umask(077);
    qInstallMessageHandler(CliMessages);
    // Take the global options out of the raw arguments first: BRTX_HOME must be set before any
    // part of the program asks for the program folder.
    QList<QByteArray> raw;
    for (int i = 1; i < argc; ++i)
        raw.append(QByteArray(argv[i]));
    bool help = false;
    QList<QByteArray> rest;
    for (int i = 0; i < raw.size(); ++i) {
        const QByteArray& a = raw[i];
        if (a == "--home") {
            if (i + 1 >= raw.size()) {
                std::fprintf(stderr, "brtx-cli: --home needs a folder: brtx-cli --home DIR "
                                     "COMMAND [ARGS...]\n");
                return kCliUsage;
            }
            qputenv("BRTX_HOME", raw[++i]);
        } else if (a.startsWith("--home=")) {
            qputenv("BRTX_HOME", a.mid(7));
        } else if (rest.isEmpty() && (a == "--help" || a == "-h")) {
            help = true;
        } else {
            rest.append(a);
        }
    }

    // No window is ever shown; pictures and reports still need a GUI application object, and
    // charts (instrument chart) a widget application.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool charts = !help && rest.size() >= 2 && rest[0] == "instrument" && rest[1] == "chart";
    std::unique_ptr<QGuiApplication> app;
    if (charts)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QGuiApplication>(argc, argv);

    if (help) {
        PrintUsage(stdout);
        return kCliOk;
    }
    if (rest.isEmpty()) {
        PrintUsage(stderr);
        return kCliUsage;
    }
    const QString name = QString::fromLocal8Bit(rest.takeFirst());
    if (name == QLatin1String("help"))
        return Help(rest);
    const CliCommand* command = FindCliCommand(name);
    if (!command) {
        std::fprintf(stderr, "brtx-cli: \"%s\" is no command; `brtx-cli --help` lists them\n",
                     qPrintable(name));
        return kCliUsage;
    }
    QStringList args;
    for (const QByteArray& a : rest)
        args.append(QString::fromLocal8Bit(a));
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        Print(stdout, CliCommandHelp(*command));
        return kCliOk;
    }
    // An installed copy's data folder is made (and its Language.ini copied) before any
    // command runs; when that is impossible nothing is written anywhere else.
    if (const QString problem = PrepareDataFolder(); !problem.isEmpty()) {
        std::fprintf(stderr, "brtx-cli: %s\n", qPrintable(problem));
        return kCliFailed;
    }
    const CLanguage texts; // the program's texts, read once the folder is known
    // What an earlier version left open to other users is closed, and said once (on standard
    // error: standard output carries the command's own answer). Commands that only read
    // (evidence copies are checked with them) change nothing, modes included.
    static const QStringList kReading{QStringLiteral("verify"), QStringLiteral("audit"),
                                      QStringLiteral("discovery"), QStringLiteral("history")};
    const QString sub = args.value(0);
    const bool reading =
        kReading.contains(name) ||
        (name == QLatin1String("instrument") &&
         (sub == QLatin1String("list") || sub == QLatin1String("show") ||
          sub == QLatin1String("chart") ||
          (sub == QLatin1String("log") && !args.contains(QStringLiteral("--add")))));
    if (!reading && MakeDataFolderPrivate() > 0) {
        const QString text = texts.GetText(QStringLiteral("DataFolderTightened"));
        // A data folder without Language.ini still gets a sentence, never the bare key.
        std::fprintf(stderr, "brtx-cli: %s\n",
                     qPrintable(text.isEmpty() ? QStringLiteral("The data folder was open to other "
                                                                "users; it and its files are now "
                                                                "private to you.")
                                               : text));
    }
    return command->run(texts, args);
}
