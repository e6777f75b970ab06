#include "base/Paths.h"

#include "base/Profile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
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

namespace {

const char kLanguageFile[] = "Language.ini";

// The shipped folder and whether this is an installed copy, decided once: the executable's
// folder does not change while the program runs.
struct Layout {
    QString shipped;
    bool installed = false;
};

const Layout& ProgramLayout() {
    static const Layout layout = [] {
        Layout l;
        const QString exe = ExecutableFolder();
        const QString share = QDir::cleanPath(exe + QStringLiteral("/../share/brtx"));
        l.installed = !QFileInfo::exists(Join(exe, kLanguageFile)) &&
                      QFileInfo(Join(share, kLanguageFile)).isFile();
        l.shipped = l.installed ? share : exe;
        return l;
    }();
    return layout;
}

// The home folder: HOME, else the user's entry in the password database.
QString HomeFolder() {
    const QByteArray home = qgetenv("HOME");
    if (!home.isEmpty() && home.startsWith('/'))
        return QFile::decodeName(home);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return QFile::decodeName(pw->pw_dir);
    return QString();
}

// $XDG_DATA_HOME/brtx; a relative XDG_DATA_HOME is ignored, as the XDG rules ask.
QString UserDataFolder() {
    const QByteArray xdg = qgetenv("XDG_DATA_HOME");
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        return QDir::cleanPath(QFile::decodeName(xdg) + QStringLiteral("/brtx"));
    const QString home = HomeFolder();
    if (home.isEmpty())
        return QString();
    return QDir::cleanPath(home + QStringLiteral("/.local/share/brtx"));
}

QString HomeFromEnvironment() {
    const QByteArray home = qgetenv("BRTX_HOME");
    if (home.isEmpty())
        return QString();
    // Made absolute and clean: paths handed to child programs and shown to the user are
    // full ones, and no trailing separator doubles when names are joined.
    return QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(home)));
}

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Creates path and its missing parents. Empty when done, else the reason.
QString MakeFolders(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString at;
    for (const QString& part : parts) {
        at += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(at);
        if (::mkdir(name.constData(), kPrivateFolderMode) == 0)
            continue;
        const int error = errno;
        if (error == EEXIST && FolderExists(at))
            continue;
        if (error == EEXIST)
            return QStringLiteral("%1 is not a folder").arg(at);
        return QStringLiteral("%1: %2").arg(at, ErrnoText(error));
    }
    return QString();
}

// The texts of a Language.ini: the language [Global] names must have a section holding the
// window title, or every caption of the program would be a bare key.
QString CheckLanguageFile(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("The language file %1 cannot be read.").arg(path);
    const QByteArray bytes = file.readAll();
    const QString language = ReadProfileStringFromBytes(
        bytes, QStringLiteral("Global"), QStringLiteral("Language"), QStringLiteral("English"));
    if (ReadProfileStringFromBytes(bytes, language, QStringLiteral("Title"), QString()).isEmpty())
        return QStringLiteral("The language file %1 is damaged: it has no texts for the "
                              "language \"%2\". Repair it, or remove it to get the shipped "
                              "one back on the next start.")
            .arg(path, language);
    return QString();
}

} // namespace

QString GetAppFolder() {
    // BRTX_HOME is read on every call so that tests and --home can point the program at
    // another folder.
    const QString home = HomeFromEnvironment();
    if (!home.isEmpty())
        return home;
    if (ProgramLayout().installed)
        return UserDataFolder();
    return ExecutableFolder();
}

QString GetShippedFolder() {
    return ProgramLayout().shipped;
}

QString GetShippedFile(const QString& name) {
    return GetShippedFolder() + QLatin1Char('/') + name;
}

bool IsInstalledCopy() {
    return ProgramLayout().installed;
}

QString PrepareDataFolder() {
    if (!IsInstalledCopy())
        return QString();
    const QString folder = GetAppFolder();
    if (folder.isEmpty())
        return QStringLiteral("No data folder: neither XDG_DATA_HOME nor HOME names a folder, "
                              "and BRTX_HOME is not set.");
    if (const QString why = MakeFolders(folder); !why.isEmpty())
        return QStringLiteral("Cannot create the data folder %1 (%2).").arg(folder, why);
    {
        // Written to for real: access() says yes to root on a read-only file system.
        QTemporaryFile probe(folder + QStringLiteral("/.brtx-probe-XXXXXX"));
        if (!probe.open())
            return QStringLiteral("Cannot write in the data folder %1 (%2).")
                .arg(folder, probe.errorString());
    }
    const QString language = Join(folder, kLanguageFile);
    if (!FileExists(language)) {
        const QString shipped = GetShippedFile(QLatin1String(kLanguageFile));
        // Another start (window and brtx-cli at once) may have made it in the meantime.
        if (!QFile::copy(shipped, language) && !FileExists(language))
            return QStringLiteral("Cannot copy %1 to %2.").arg(shipped, language);
        // The user edits this copy; the shipped file may be read-only.
        QFile::setPermissions(language, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }
    return CheckLanguageFile(language);
}

namespace {

// Takes the group and other bits off one entry (fd-relative, never through a link). Returns
// 1 when it was changed.
int tightenAt(int dirFd, const char* name, const struct stat& st) {
    if ((st.st_mode & 077) == 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
        return 0;
    return ::fchmodat(dirFd, name, st.st_mode & 07700, 0) == 0 ? 1 : 0;
}

// Walks the folder open as fd: every sub-folder is checked (and walked when it was open, or
// when force says the whole tree must be), files are tightened when force is set.
int tightenTree(int fd, bool force, int depth) {
    if (depth > 16)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    int changed = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (!force && e->d_type != DT_DIR && e->d_type != DT_UNKNOWN)
            continue; // a file of a private folder: nobody else reaches it
        struct stat st;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            const bool open = (st.st_mode & 077) != 0;
            changed += tightenAt(::dirfd(dir), e->d_name, st);
            const int sub =
                ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                changed += tightenTree(sub, force || open, depth + 1);
        } else if (force) {
            changed += tightenAt(::dirfd(dir), e->d_name, st);
        }
    }
    ::closedir(dir);
    return changed;
}

} // namespace

int MakeDataFolderPrivate() {
    const QString folder = GetAppFolder();
    if (folder.isEmpty())
        return -1;
    const int top =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        return -1;
    int changed = 0;
    struct stat st;
    // A folder nobody may write to (a protected copy) is left exactly as it is.
    if (::fstat(top, &st) != 0 || (st.st_mode & 0222) == 0 ||
        ::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
        ::close(top);
        return 0;
    }
    const bool open = (st.st_mode & 077) != 0;
    if (open && ::fchmod(top, st.st_mode & 07700) == 0)
        ++changed;
    // The folder's own files: only the program's personal ones (a program folder also holds
    // the programs, Language.ini and the report's style sheets, which stay as they are). The
    // desk key is not among them: a key others could read may have been copied, so it stays
    // as it is and is refused for signing until its owner deals with it.
    static const char* const kFiles[] = {"brtx.db", "brtx.db-wal", "brtx.db-shm", "brtx.db-journal",
                                         "brtx-view.ini"};
    for (const char* name : kFiles)
        if (::fstatat(top, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            changed += tightenAt(top, name, st);
    if (DIR* dir = open ? ::fdopendir(::dup(top)) : nullptr) {
        while (const dirent* e = ::readdir(dir)) {
            const size_t n = std::strlen(e->d_name);
            if (n > 5 && std::strcmp(e->d_name + n - 5, ".html") == 0 &&
                ::fstatat(top, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                changed += tightenAt(top, e->d_name, st);
        }
        ::closedir(dir);
    }
    for (const char* name : {"pic", "pdf"}) {
        if (::fstatat(top, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const bool wide = (st.st_mode & 077) != 0;
        changed += tightenAt(top, name, st);
        const int sub = ::openat(top, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
            changed += tightenTree(sub, open || wide, 0);
    }
    ::close(top);
    return changed;
}

QString DescribeDataFolder() {
    const QString folder = GetAppFolder();
    QString why;
    if (!HomeFromEnvironment().isEmpty())
        why = QStringLiteral("BRTX_HOME or --home");
    else if (IsInstalledCopy())
        why = QStringLiteral("installed copy: $XDG_DATA_HOME/brtx, by default ~/.local/share/brtx");
    else
        why = QStringLiteral("the program folder, which holds its own Language.ini");
    return QStringLiteral("%1 (%2)").arg(folder.isEmpty() ? QStringLiteral("none") : folder, why);
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

QString DevicePicturePath(const QString& device, const QString& storedPath) {
    if (storedPath.isEmpty() ||
        (storedPath[0] != QLatin1Char('\\') && storedPath[0] != QLatin1Char('/')))
        return QString();
    QString normal = storedPath.mid(1);
    normal.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = normal.split(QLatin1Char('/'));
    if (parts.size() != 2 || parts[0] != device)
        return QString();
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QLatin1Char(':')))
            return QString();
        for (const QChar c : part)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return QString();
    }
    return storedPath;
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
    return ::mkdir(QFile::encodeName(path).constData(), kPrivateFolderMode) == 0;
}

QString ResolvePicturePath(const QString& picRoot, const QString& storedPath) {
    QString normal = storedPath;
    normal.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = normal.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return QString();
    QString out = picRoot;
    for (const QString& part : parts) {
        if (part == QLatin1String("..") || part.contains(QChar(0)))
            return QString();
        if (part == QLatin1String("."))
            continue;
        out += QLatin1Char('/') + part;
    }
    if (out == picRoot)
        return QString(); // "." and the like name the root itself, no picture
    return out;
}
