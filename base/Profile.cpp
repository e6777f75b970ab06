#include "base/Profile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringDecoder>

#include <memory>
#include <sys/stat.h>

namespace {

// A name that matches other names without regard to case. Hashing and comparing work on
// the characters in place, so a lookup makes no lower-case copy of the name.
struct Name {
    QString text;
};

bool operator==(const Name& a, const Name& b) {
    return a.text.compare(b.text, Qt::CaseInsensitive) == 0;
}

size_t qHash(const Name& name, size_t seed = 0) {
    size_t h = seed ^ 0x9E3779B9u;
    for (QChar c : name.text)
        h = h * 31 + c.toCaseFolded().unicode();
    return h;
}

// One parsed file: section name -> key name -> value. A key line without '=' is kept
// without a value: it matches (the first match wins) but gives the default, as the usual
// profile readers do.
struct Entry {
    QString value;
    bool hasValue = false;
};
using Section = QHash<Name, Entry>;
using Sections = QHash<Name, Section>;

QString DecodeBytes(const QByteArray& bytes) {
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder dec(QStringDecoder::Utf16LE);
        return dec(bytes.mid(2));
    }
    if (bytes.startsWith("\xFE\xFF")) {
        QStringDecoder dec(QStringDecoder::Utf16BE);
        return dec(bytes.mid(2));
    }
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    return QString::fromUtf8(bytes);
}

bool IsBlank(QChar c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

QStringView Trim(QStringView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

// A value in matching quotes, double or single, loses them.
QStringView Unquote(QStringView v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.mid(1, v.size() - 2);
    return v;
}

Sections Parse(const QByteArray& bytes) {
    Sections sections;
    const QString text = DecodeBytes(bytes);
    Section* current = nullptr;
    qsizetype pos = 0;
    const qsizetype n = text.size();
    while (pos < n) {
        qsizetype end = pos;
        while (end < n && text[end] != '\n' && text[end] != '\r')
            ++end;
        const QStringView line = Trim(QStringView(text).mid(pos, end - pos));
        pos = end;
        while (pos < n && (text[pos] == '\n' || text[pos] == '\r'))
            ++pos;

        if (line.isEmpty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            qsizetype close = line.indexOf(']');
            if (close < 0)
                close = line.size();
            const Name name{Trim(line.mid(1, close - 1)).toString()};
            // The first section of a name wins; later ones of the same name are not read.
            current = sections.contains(name) ? nullptr : &sections[name];
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf('=');
        Name key;
        Entry entry;
        if (eq < 0) {
            key.text = line.toString();
        } else {
            key.text = Trim(line.left(eq)).toString();
            entry.value = Unquote(Trim(line.mid(eq + 1))).toString();
            entry.hasValue = true;
        }
        if (!current->contains(key))
            current->insert(key, entry);
    }
    return sections;
}

QString Lookup(const Sections& sections, const QString& section, const QString& key,
               const QString& def, int maxChars) {
    QString result = def;
    const auto s = sections.constFind(Name{section.trimmed()});
    if (s != sections.constEnd()) {
        const auto k = s->constFind(Name{key.trimmed()});
        if (k != s->constEnd() && k->hasValue)
            result = k->value;
    }
    if (maxChars >= 0 && result.size() > maxChars) {
        result.truncate(maxChars);
        // Do not leave half of a surrogate pair behind.
        if (!result.isEmpty() && result.back().isHighSurrogate())
            result.chop(1);
    }
    return result;
}

// A parsed file is kept while its identity, size and times stay the same, so an edit of
// the file shows at the next lookup without reading and parsing the file for every text.
struct FileState {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime {};
    struct timespec ctime {};

    static FileState Of(const struct stat& st) {
        FileState s;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
        s.ctime = st.st_ctim;
        return s;
    }
    bool operator==(const FileState& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

struct CacheEntry {
    QByteArray native; // the path as the system takes it
    FileState state;
    std::shared_ptr<const Sections> sections;
};

QMutex g_cacheMutex;
QHash<QString, CacheEntry>& Cache() {
    static QHash<QString, CacheEntry> cache;
    return cache;
}

std::shared_ptr<const Sections> LoadFile(const QString& file) {
    if (file.isEmpty())
        return nullptr;
    QByteArray native;
    std::shared_ptr<const Sections> cached;
    FileState cachedState;
    {
        QMutexLocker lock(&g_cacheMutex);
        const auto it = Cache().constFind(file);
        if (it != Cache().constEnd()) {
            native = it->native;
            cached = it->sections;
            cachedState = it->state;
        }
    }
    if (native.isEmpty())
        native = QFile::encodeName(file);

    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (cached) {
            QMutexLocker lock(&g_cacheMutex);
            Cache().remove(file);
        }
        return nullptr;
    }
    const FileState before = FileState::Of(st);
    if (cached && before == cachedState)
        return cached;

    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray bytes = f.readAll();
    f.close();
    auto sections = std::make_shared<const Sections>(Parse(bytes));

    // Keep the result only when the file did not change while it was read.
    struct stat after;
    if (::stat(native.constData(), &after) == 0 && FileState::Of(after) == before &&
        after.st_size == qint64(bytes.size())) {
        QMutexLocker lock(&g_cacheMutex);
        Cache().insert(file, CacheEntry{native, before, sections});
    }
    return sections;
}

} // namespace

QString ReadProfileString(const QString& file, const QString& section, const QString& key,
                          const QString& def, int maxChars) {
    const auto sections = LoadFile(file);
    if (!sections)
        return Lookup(Sections(), section, key, def, maxChars);
    return Lookup(*sections, section, key, def, maxChars);
}

QString ReadProfileStringFromBytes(const QByteArray& bytes, const QString& section,
                                   const QString& key, const QString& def, int maxChars) {
    return Lookup(Parse(bytes), section, key, def, maxChars);
}
