#include "base/Paths.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder of the running executable, read once: the link target of /proc/self/exe
// cut before its last '/'.
QString ExecutableFolder() {
    static const QString folder = [] {
        QByteArray buf(PATH_MAX + 1, '\0');
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), PATH_MAX);
        if (n <= 0)
            return QString(".");
        buf.truncate(int(n));
        const int slash = buf.lastIndexOf('/');
        if (slash < 0)
            return QString(".");
        if (slash == 0)
            return QString("/");
        return QFile::decodeName(buf.left(slash));
    }();
    return folder;
}

QString Join(const QString& folder, const char* name) {
    if (folder.endsWith('/'))
        return folder + QLatin1String(name);
    return folder + '/' + QLatin1String(name);
}

bool StatEntry(const QString& path, struct stat& st) {
    if (path.isEmpty())
        return false;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

QString GetAppFolder() {
    // BRTX_HOME is read on every call so that tests and read-only installs can point the
    // program at another folder.
    const QByteArray home = qgetenv("BRTX_HOME");
    if (!home.isEmpty()) {
        // Made absolute and clean: paths handed to child programs and shown to the user are
        // full ones, and no trailing separator doubles when names are joined.
        return QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(home)));
    }
    return ExecutableFolder();
}

QString GetPicFolder() {
    return Join(GetAppFolder(), "pic");
}
QString GetPdfFolder() {
    return Join(GetAppFolder(), "pdf");
}
QString GetAdbFolder() {
    return Join(GetAppFolder(), "adbcopy");
}
QString GetDatabasePath() {
    return Join(GetAppFolder(), "brtx.db");
}

bool FolderExists(const QString& path) {
    struct stat st;
    if (!StatEntry(path, st))
        return false;
    if (S_ISDIR(st.st_mode))
        return true;
    // A link to a folder counts as a folder.
    if (S_ISLNK(st.st_mode) && ::stat(QFile::encodeName(path).constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    return false;
}

bool FileExists(const QString& path) {
    struct stat st;
    return StatEntry(path, st);
}

bool CreateFolder(const QString& path) {
    if (path.isEmpty())
        return false;
    return ::mkdir(QFile::encodeName(path).constData(), 0777) == 0;
}
