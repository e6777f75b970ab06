#include "central/CentralConfig.h"

#include "base/Language.h"
#include "base/Paths.h"

#include <QFile>
#include <QSysInfo>

#include <libpq-fe.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Central {

namespace {

constexpr qint64 kMaxFileSize = 64 * 1024;

std::mutex g_warningLock;
QString g_warning;     // given out once by TakeCentralUrlWarning
bool g_warned = false; // the warning was made (printed and kept for the page)

QString Errno(const QString& path, const char* what) {
    return QStringLiteral("%1 %2: %3")
        .arg(path, QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool HoldsPassword(const QString& conninfo) {
    char* err = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.toUtf8().constData(), &err);
    if (err)
        PQfreemem(err);
    bool found = false;
    for (PQconninfoOption* o = parsed; o && o->keyword; ++o)
        if (o->val && *o->val && std::strcmp(o->keyword, "password") == 0)
            found = true;
    if (parsed)
        PQconninfoFree(parsed);
    return found || !parsed; // a malformed line may hold one too
}

} // namespace

QString CentralConfPath() {
    return GetAppFolder() + QStringLiteral("/central.conf");
}

bool ReadConnectionFile(const QString& path, QString& line, QString* problem) {
    line.clear();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        if (problem)
            *problem = Errno(path, "cannot be read");
        return false;
    }
    QString why;
    QByteArray bytes;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = QStringLiteral("%1 is not a regular file").arg(path);
    } else if (st.st_uid != ::geteuid()) {
        why = QStringLiteral("%1 belongs to another user").arg(path);
    } else if ((st.st_mode & 077) != 0) {
        why = QStringLiteral("%1 can be read or changed by other users (mode %2; it holds a "
                             "password: chmod 600 %1)")
                  .arg(path)
                  .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
    } else if (st.st_size > kMaxFileSize) {
        why = QStringLiteral("%1 is too long for a connection line").arg(path);
    } else {
        bytes.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        bytes.resize(got);
    }
    ::close(fd);
    if (!why.isEmpty()) {
        if (problem)
            *problem = why;
        return false;
    }
    for (const QByteArray& raw : bytes.split('\n')) {
        const QString text = QString::fromUtf8(raw).trimmed();
        if (!text.isEmpty() && !text.startsWith(QLatin1Char('#'))) {
            line = text;
            break;
        }
    }
    return true;
}

bool WriteConnectionFile(const QString& path, const QString& line, QString* problem) {
    const QString temp = path + QStringLiteral(".new");
    const QByteArray tempName = QFile::encodeName(temp);
    ::unlink(tempName.constData()); // a leftover of a write that was cut short
    const int fd =
        ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (problem)
            *problem = Errno(temp, "cannot be written");
        return false;
    }
    ::fchmod(fd, 0600);
    const QByteArray bytes = line.trimmed().toUtf8() + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool written = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
    // rename() replaces a link itself, never the file it points at.
    if (!written || ::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        if (problem)
            *problem = Errno(path, "cannot be written");
        ::unlink(tempName.constData());
        return false;
    }
    return true;
}

QString CentralUrl(const CLanguage& texts, QString* problem) {
    QString line;
    QString why;
    if (!ReadConnectionFile(CentralConfPath(), line, &why)) {
        if (problem)
            *problem = why;
        return QString();
    }
    if (!line.isEmpty())
        return line;
    line = texts.ReadGlobal(QStringLiteral("CentralUrl")).trimmed();
    if (!line.isEmpty() && HoldsPassword(line)) {
        const std::lock_guard<std::mutex> lock(g_warningLock);
        if (!g_warned) {
            g_warned = true;
            g_warning = QStringLiteral("CentralUrl in Language.ini holds a password that other "
                                       "users of this computer can read: move the connection "
                                       "line to %1 (mode 0600) and remove it from Language.ini")
                            .arg(CentralConfPath());
            std::fprintf(stderr, "brtx: %s\n", qPrintable(g_warning));
        }
    }
    return line;
}

QString TakeCentralUrlWarning() {
    const std::lock_guard<std::mutex> lock(g_warningLock);
    QString out = g_warning;
    g_warning.clear();
    return out;
}

bool HasCentral(const CLanguage& texts) {
    QString problem;
    return !CentralUrl(texts, &problem).isEmpty() || !problem.isEmpty();
}

QString StationName(const CLanguage& texts) {
    const QString station = texts.ReadGlobal(QStringLiteral("Station")).trimmed();
    if (!station.isEmpty())
        return station;
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("desk") : host;
}

} // namespace Central
