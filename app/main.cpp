// Start-up: the Qt application runs the main window; the process ends when it closes.
#include "app/window/BRTXApp.h"
#include "base/Paths.h"
#include "base/Version.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <sys/stat.h>

int main(int argc, char** argv) {
    // Everything the program, its libraries and the programs it runs (the PDF converter)
    // create is private to the user: records and pictures are personal data.
    ::umask(077);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brtx"));
    QApplication::setApplicationVersion(QStringLiteral(BRTX_VERSION));
    // An installed copy keeps its data in the user's data folder, made here. When it cannot be
    // used the window says so once and the program ends before anything is written.
    if (const QString problem = PrepareDataFolder(); !problem.isEmpty()) {
        std::fprintf(stderr, "brtx: %s\n", qPrintable(problem));
        QMessageBox::critical(nullptr, QStringLiteral("brtx"), problem);
        return 1;
    }
    CBRTXApp brtx(app);
    // What an earlier version left open to other users is closed, and said once.
    if (MakeDataFolderPrivate() > 0)
        brtx.SetStartStatus(QStringLiteral("DataFolderTightened"));
    brtx.InitInstance();
    return 0;
}
