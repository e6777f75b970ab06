// brtx-cli's usage errors, one wrong invocation per command: exit 2, nothing on standard output,
// and standard error names the command, what was wrong and the right form. And nothing but the
// program's own lines reaches the terminal, also without XDG_RUNTIME_DIR (a root shell).
#include "common/TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

namespace {

struct CliOutcome {
    int code = -1;
    QString out;
    QString err;
};

CliOutcome RunCli(const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(brtxtest::programDir() + "/brtx-cli", args);
    CliOutcome r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "brtx-cli did not end: " << args.join(' ').toStdString();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QProcessEnvironment WithoutRuntimeDir() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    env.remove("QT_QPA_PLATFORM");
    env.remove("BRTX_DEBUG");
    return env;
}

} // namespace

TEST(CliUsageTest, EveryCommandNamesItselfTheFaultAndTheRightForm) {
    const brtxtest::TempHome home;
    struct Case {
        QStringList args;
        const char* says; // a part of the reason
    };
    const Case cases[] = {
        {{"devices", "x"}, "unexpected word \"x\""},
        {{"info"}, "give --wifi ADDRESS or --usb [SERIAL]"},
        {{"set-time", "--wifi"}, "--wifi needs an address"},
        {{"set-id", "--wifi", "127.0.6.9"}, "12 digits"},
        {{"delete-files", "--usb", "A", "B"}, "unexpected word \"B\""},
        {{"download", "--wifi", "127.0.52.9", "--single"}, "--single needs one record number"},
        {{"history", "--device", "D", "--mode", "fast"}, "--mode wants auto, manual"},
        {{"export", "--device", "D", "out.txt"}, "FILE must end in"},
        {{"export-xls", "file.xls"}, "--device ID is required"},
        {{"export-pdf", "--device", "D", "--bogus"}, "--bogus is not an option of export-pdf"},
        {{"verify", "--bogus"}, "--bogus is not an option of verify"},
        {{"seal", "--device"}, "--device needs a value"},
        {{"audit", "--since"}, "--since needs a value"},
        {{"sync", "--batch", "0"}, "--batch wants a number"},
        {{"help", "nothing"}, "\"nothing\" is no command"},
    };
    for (const Case& c : cases) {
        const QString command = c.args.first();
        const CliOutcome r =
            RunCli(QStringList{"--home", home.path()} + c.args, WithoutRuntimeDir());
        const std::string what = c.args.join(' ').toStdString();
        EXPECT_EQ(r.code, 2) << what;
        EXPECT_TRUE(r.out.isEmpty()) << what << ": " << r.out.toStdString();
        const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), 2) << what << ": " << r.err.toStdString();
        EXPECT_TRUE(lines[0].startsWith("brtx-cli " + command + ": ")) << r.err.toStdString();
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8(c.says))) << r.err.toStdString();
        EXPECT_TRUE(lines[1].startsWith("Usage: brtx-cli [--home DIR] " + command))
            << r.err.toStdString();
    }
}

TEST(CliUsageTest, HelpWithoutRuntimeDirPrintsOnlyItsOwnLines) {
    for (const QStringList& args :
         {QStringList{"--help"}, QStringList{"help", "history"}, QStringList{"verify", "--help"}}) {
        const CliOutcome r = RunCli(args, WithoutRuntimeDir());
        EXPECT_EQ(r.code, 0) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith("Usage: brtx-cli [--home DIR] ")) << r.out.toStdString();
    }
}
