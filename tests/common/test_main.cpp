// Entry point of every test program: an offscreen QApplication, then GoogleTest.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

namespace {

int ThreadCount() {
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// Worker threads that were joined may still be on their way out of the kernel when the program
// ends. The leak checker of the sanitizer build stops every thread at exit and can fail on one
// that is half gone, so the program first waits (briefly) until it is the only thread left.
void LetThreadsEnd() {
    QThreadPool::globalInstance()->waitForDone(5000);
    const QDeadlineTimer deadline(1000);
    while (ThreadCount() > 1 && !deadline.hasExpired())
        QThread::msleep(5);
    if (qEnvironmentVariableIsSet("BRTX_TEST_THREADS") && ThreadCount() > 1)
        fprintf(stderr, "threads left at exit: %d\n", ThreadCount());
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    LetThreadsEnd();
    return result;
}
