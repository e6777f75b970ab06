#include "TestSupport.h"

#include "base/Language.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace brtxtest {

TempHome::TempHome(bool withLanguage, const QString& subName) {
    m_path = m_dir.path();
    if (!subName.isEmpty()) {
        QDir(m_path).mkpath(subName);
        m_path += "/" + subName;
    }
    m_hadHome = qEnvironmentVariableIsSet("BRTX_HOME");
    m_oldHome = qgetenv("BRTX_HOME");
    qputenv("BRTX_HOME", QFile::encodeName(m_path));
    if (withLanguage)
        QFile::copy(sourceDir() + "/assets/Language.ini", file("Language.ini"));
}

TempHome::~TempHome() {
    if (m_hadHome)
        qputenv("BRTX_HOME", m_oldHome);
    else
        qunsetenv("BRTX_HOME");
}

void TempHome::writeLanguage(const QByteArray& bytes) const {
    QFile f(file("Language.ini"));
    f.remove();
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

QString GetText(const QString& key) {
    return CLanguage().GetText(key);
}

QString GetTextNumber(const QString& key, qint64 number) {
    return CLanguage().GetTextNumber(key, number);
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

CliRun runCli(const QStringList& args, int timeoutMs) {
    QProcess p;
    p.setProgram(programDir() + "/brtx-cli");
    p.setArguments(args);
    p.start();
    CliRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "brtx-cli did not end: " << args.join(' ').toStdString();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString sourceDir() {
    return QStringLiteral(BRTX_SOURCE_DIR);
}
QString programDir() {
    return QStringLiteral(BRTX_PROGRAM_DIR);
}

} // namespace brtxtest
