#include "device/core/PictureStore.h"

#include "base/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Picture {

QString PlainName(quint32 number) {
    return QString::asprintf("%05u.jpg", number);
}

QString AlternativeName(quint32 number, const QString& suffix) {
    return QString::asprintf("%05u_", number) + suffix + QStringLiteral(".jpg");
}

QString DateTimeSuffix(const QString& date, const QString& time) {
    QString suffix =
        QString(date).remove(QLatin1Char('-')) + QString(time).remove(QLatin1Char(':'));
    for (QChar& c : suffix) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
            c.unicode() == 0x7F)
            c = QLatin1Char('_');
    }
    return suffix;
}

QString StoredPath(const QString& deviceId, const QString& fileName) {
    return QStringLiteral("\\") + deviceId + QStringLiteral("\\") + fileName;
}

bool IsUsableDeviceId(const QString& deviceId) {
    if (deviceId.isEmpty() || deviceId == QLatin1String(".") || deviceId == QLatin1String(".."))
        return false;
    for (QChar c : deviceId) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
            c.unicode() == 0x7F)
            return false;
    }
    return true;
}

QString DeviceFolder(const QString& picRoot, const QString& deviceId) {
    return picRoot + QLatin1Char('/') + deviceId;
}

void EnsureDeviceFolder(const QString& picRoot, const QString& deviceId) {
    if (!FolderExists(picRoot))
        CreateFolder(picRoot);
    const QString folder = DeviceFolder(picRoot, deviceId);
    if (!FolderExists(folder))
        CreateFolder(folder);
}

namespace {

bool writeAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Tells this process's temporary files from those of an earlier process that had its number.
const QByteArray& processToken() {
    static const QByteArray token =
        QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    return token;
}

// Creates a temporary file in the folder that no other writer uses, private to the user:
// dot-prefixed (hidden, and never equal to a picture name), named by this process (so a
// leftover can be told from a file in use) and otherwise unpredictable. Returns its
// descriptor, -1 (errno set) when it cannot be made.
int createTemporary(const QByteArray& folder, QByteArray& name) {
    name = folder + "/.brtx-" + QByteArray::number(static_cast<qint64>(::getpid())) + "-" +
           processToken() + "-XXXXXX.part";
    const int fd = ::mkstemps(name.data(), 5);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

} // namespace

int RemoveLeftoverParts(const QString& folder) {
    QDir dir(folder);
    if (!dir.exists())
        return 0;
    int removed = 0;
    const QStringList parts =
        dir.entryList({QStringLiteral(".brtx-*.part")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : parts) {
        // ".brtx-<pid>-<process token>-<random>.part". A file of this process's number is
        // this process's own only with its token (else a process before it had the number):
        // another instrument's download here may be writing it (a station serving two
        // instruments that report the same number links the second while the first writes).
        const QString rest = name.mid(6);
        bool ok = false;
        const qint64 pid = rest.section(QLatin1Char('-'), 0, 0).toLongLong(&ok);
        const bool alive = ok && pid > 0 &&
                           (pid == ::getpid() ? rest.section(QLatin1Char('-'), 1, 1) ==
                                                    QLatin1String(processToken())
                                              : (::kill(pid_t(pid), 0) == 0 || errno == EPERM));
        if (!alive && dir.remove(name))
            ++removed;
    }
    return removed;
}

namespace {

// Gives the written temporary file its final name only while that name is free, and removes
// the temporary name in every case.
SaveResult publish(const QByteArray& temp, const QByteArray& target) {
    struct stat st;
    // link() gives the final name only while it is free: an existing picture is never replaced,
    // even by a second program writing the same name at the same moment.
    if (::link(temp.constData(), target.constData()) == 0) {
        ::unlink(temp.constData());
        return SaveResult::Saved;
    }
    const int linkError = errno;
    if (linkError == EEXIST) {
        ::unlink(temp.constData());
        return SaveResult::Exists;
    }
    // File systems without hard links: test the name again and rename into place.
    if (::lstat(target.constData(), &st) == 0) {
        ::unlink(temp.constData());
        return SaveResult::Exists;
    }
    if (::rename(temp.constData(), target.constData()) == 0)
        return SaveResult::Saved;
    ::unlink(temp.constData());
    return SaveResult::CannotCreate;
}

// Writes bytes to a new temporary file in dir; flushes them to the disk when asked.
bool writeTemporary(const QByteArray& dir, const QByteArray& bytes, bool flush, QByteArray& temp) {
    const int fd = createTemporary(dir, temp); // mode 0600 whatever the umask
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes.constData(), bytes.size());
    if (ok && flush && ::fdatasync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

} // namespace

SaveResult SavePictureFile(const QString& folder, const QString& fileName,
                           const QByteArray& bytes) {
    const QByteArray dir = QFile::encodeName(folder);
    const QByteArray target = dir + "/" + QFile::encodeName(fileName);
    struct stat st;
    if (::lstat(target.constData(), &st) == 0)
        return SaveResult::Exists;
    // On the disk before its name appears: a record is committed only after its picture is
    // saved, and a power cut must not leave a committed record with an empty picture.
    QByteArray temp;
    if (!writeTemporary(dir, bytes, true, temp))
        return SaveResult::CannotCreate;
    return publish(temp, target);
}

bool WritePart(const QString& folder, const QByteArray& bytes, QByteArray* part) {
    return writeTemporary(QFile::encodeName(folder), bytes, true, *part);
}

SaveResult PublishPart(const QByteArray& part, const QString& folder, const QString& fileName) {
    const QByteArray target = QFile::encodeName(folder) + "/" + QFile::encodeName(fileName);
    struct stat st;
    if (::lstat(target.constData(), &st) == 0) {
        ::unlink(part.constData());
        return SaveResult::Exists;
    }
    return publish(part, target);
}

void DropPart(const QByteArray& part) {
    if (!part.isEmpty())
        ::unlink(part.constData());
}

bool SyncFolder(const QString& folder) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

namespace {

// depth bounds the walk should a folder named like the device hold itself (a link loop).
void walk(const QString& folder, const QString& deviceId, const QSet<QString>& savedNames,
          TreeNode& parent, int depth) {
    QDir dir(folder);
    if (depth > 8 || !dir.exists())
        return;
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (entry.isDir()) {
            if (name != deviceId)
                continue;
            TreeNode node{name, entry.filePath(), {}};
            walk(entry.filePath(), deviceId, savedNames, node, depth + 1);
            parent.children.append(std::move(node));
        } else if (depth > 0 && savedNames.contains(name)) {
            // Pictures live in the device folder; a stray file of the same name in the root
            // is not one of this download's pictures.
            parent.children.append(TreeNode{name, entry.filePath(), {}, false});
        }
    }
}

} // namespace

TreeNode BuildPictureTree(const QString& picRoot, const QString& deviceId,
                          const QStringList& savedNames) {
    TreeNode root{picRoot.right(3), QString(), {}};
    // A download of thousands of records names thousands of pictures: looked up by hash.
    const QSet<QString> saved(savedNames.begin(), savedNames.end());
    walk(picRoot, deviceId, saved, root, 0);
    return root;
}

} // namespace Picture
