#include "app/base/Profile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringDecoder>

#include <memory>
#include <sys/stat.h>

namespace {

// One parsed file: section name (lower case) -> key name (lower case) -> value.
// A key line without '=' is kept with a null value: it matches (first match wins) but
// gives the default, as the usual profile readers do.
struct Entry {
    QString value;
    bool hasValue = false;
};
using Section = QHash<QString, Entry>;
using Sections = QHash<QString, Section>;

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
            const QString name = Trim(line.mid(1, close - 1)).toString().toLower();
            // The first section of a name wins; later ones of the same name are not read.
            if (sections.contains(name)) {
                current = nullptr;
            } else {
                current = &sections[name];
            }
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf('=');
        QString key;
        Entry entry;
        if (eq < 0) {
            key = line.toString().toLower();
        } else {
            key = Trim(line.left(eq)).toString().toLower();
            QStringView v = Trim(line.mid(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.mid(1, v.size() - 2);
            entry.value = v.toString();
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
    const auto s = sections.constFind(section.trimmed().toLower());
    if (s != sections.constEnd()) {
        const auto k = s->constFind(key.trimmed().toLower());
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
// the file shows at the next lookup without reading the file for every text.
struct CacheEntry {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime {};
    struct timespec ctime {};
    std::shared_ptr<const Sections> sections;
};

bool SameStat(const CacheEntry& e, const struct stat& st) {
    return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size &&
           e.mtime.tv_sec == st.st_mtim.tv_sec && e.mtime.tv_nsec == st.st_mtim.tv_nsec &&
           e.ctime.tv_sec == st.st_ctim.tv_sec && e.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

std::shared_ptr<const Sections> LoadFile(const QString& file) {
    static QMutex mutex;
    static QHash<QString, CacheEntry> cache;

    const QByteArray native = QFile::encodeName(file);
    struct stat st;
    if (file.isEmpty() || ::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        QMutexLocker lock(&mutex);
        cache.remove(file);
        return nullptr;
    }
    {
        QMutexLocker lock(&mutex);
        const auto it = cache.constFind(file);
        if (it != cache.constEnd() && SameStat(*it, st))
            return it->sections;
    }
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray bytes = f.readAll();
    f.close();
    auto sections = std::make_shared<const Sections>(Parse(bytes));

    // Keep the result only if the file did not change while it was read.
    struct stat after;
    if (::stat(native.constData(), &after) == 0 && after.st_size == qint64(bytes.size())) {
        CacheEntry e;
        e.dev = after.st_dev;
        e.ino = after.st_ino;
        e.size = after.st_size;
        e.mtime = after.st_mtim;
        e.ctime = after.st_ctim;
        e.sections = sections;
        if (SameStat(e, st)) {
            QMutexLocker lock(&mutex);
            cache.insert(file, e);
        }
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
