#include "link/AdbBridge.h"

#include "base/Paths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {
constexpr int kWaitMs = 5000;
constexpr int kReadBytes = 20480;
} // namespace

QString AdbToolPath() {
    const QString local =
        (IsInstalledCopy() ? QCoreApplication::applicationDirPath() + QStringLiteral("/adbcopy")
                           : GetAdbFolder()) +
        QStringLiteral("/adb");
    const QFileInfo info(local);
    if (info.exists() && info.isFile())
        return local;
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("adb"));
    return onPath.isEmpty() ? QStringLiteral("adb") : onPath;
}

bool RunAdbCommand(const QString& commandLine, QString& output, const std::atomic<bool>* cancel) {
    const QString tool = AdbToolPath();
    QStringList args = commandLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!args.isEmpty())
        args.removeFirst(); // "adb": the customary program name only

    QProcess process;
    process.setProgram(tool);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(kWaitMs)) {
        qDebug() << "adb: could not start" << tool << process.errorString();
        return false;
    }
    qDebug() << "adb: started" << tool << args;

    // Waited for in short slices so a cancel is seen at once.
    QElapsedTimer waited;
    waited.start();
    bool ended = false;
    while (!ended && waited.elapsed() < kWaitMs && !(cancel && cancel->load()))
        ended = process.waitForFinished(50) || process.state() == QProcess::NotRunning;
    if (!ended) {
        // Still running after the wait (or lost, or canceled): end it and reap it.
        qDebug() << "adb: no end within" << waited.elapsed() << "ms, killed";
        process.kill();
        process.waitForFinished(kWaitMs);
        return false;
    }

    if (output == QLatin1String("no"))
        return true;

    QByteArray bytes = process.readAllStandardOutput().left(kReadBytes);
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString text = QString::fromLocal8Bit(bytes);
    if (text.isEmpty()) {
        qDebug() << "adb: the pipe read was empty";
        return false;
    }
    output = text;
    return true;
}

bool ParseAdbDeviceList(const QString& output, QStringList& devices) {
    devices.clear();
    QString rest = output;
    rest.remove(QStringLiteral("List of devices attached"));
    const QString word = QStringLiteral("device");
    auto take = [&](QString line) {
        if (!line.isEmpty() && line.contains(word)) {
            line.remove(word);
            line = line.trimmed();
            if (!line.isEmpty())
                devices.append(line);
        }
    };
    for (;;) {
        const qsizetype p = rest.indexOf(QLatin1Char('\n'));
        if (p < 0)
            break;
        if (p != 1) // a lone CR (the empty line of a CR LF listing) is passed over
            take(rest.left(p));
        rest = rest.mid(p + 1);
    }
    // A final line without a line end gets the same test as the others, so a device in
    // another state (or "SERIAL<TAB>device" itself) is never taken for a serial number.
    take(rest);
    return !devices.isEmpty();
}

bool AdbListDevices(QStringList& devices, const std::atomic<bool>* cancel) {
    devices.clear();
    QString output;
    if (!RunAdbCommand(QStringLiteral("adb devices"), output, cancel)) {
        output.clear();
        if ((cancel && cancel->load()) ||
            !RunAdbCommand(QStringLiteral("adb devices"), output, cancel))
            return false;
    }
    return ParseAdbDeviceList(output, devices);
}

bool AdbForward(const QString& serial, const std::atomic<bool>* cancel) {
    QString output = QStringLiteral("no");
    return RunAdbCommand(QStringLiteral("adb -s %1 forward tcp:7575 tcp:7575").arg(serial), output,
                         cancel);
}

bool AdbForwardFreePort(const QString& serial, quint16* port, const std::atomic<bool>* cancel) {
    // A serial is one word of the tool's command line: one holding a blank would be split
    // into other arguments.
    if (serial.isEmpty() || serial.contains(QLatin1Char(' ')))
        return false;
    QString output;
    if (!RunAdbCommand(QStringLiteral("adb -s %1 forward tcp:0 tcp:7575").arg(serial), output,
                       cancel))
        return false;
    bool ok = false;
    const uint value = output.trimmed().toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

void AdbRemoveForward(const QString& serial, quint16 port) {
    if (serial.isEmpty() || serial.contains(QLatin1Char(' ')) || port == 0)
        return;
    QString output = QStringLiteral("no");
    RunAdbCommand(QStringLiteral("adb -s %1 forward --remove tcp:%2").arg(serial).arg(port),
                  output);
}
