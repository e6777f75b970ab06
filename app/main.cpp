// Start-up: the Qt application runs the main window; the process ends when it closes.
#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}
