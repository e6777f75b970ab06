// Start-up: the Qt application runs the main window; the process ends when it closes.
#include "app/window/BRTXApp.h"
#include "base/Version.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brtx"));
    QApplication::setApplicationVersion(QStringLiteral(BRTX_VERSION));
    CBRTXApp brtx(app);
    brtx.InitInstance();
    return 0;
}
