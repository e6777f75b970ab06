#include "reports/Cfb.h"

#include <QVector>
#include <QtEndian>
#include <cstring>

namespace Cfb {

namespace {

constexpr quint32 kFreeSect = 0xFFFFFFFFu;
constexpr quint32 kEndOfChain = 0xFFFFFFFEu;
constexpr quint32 kFatSect = 0xFFFFFFFDu;
constexpr quint32 kDifSect = 0xFFFFFFFCu;
constexpr quint32 kNoStream = 0xFFFFFFFFu;
constexpr int kSector = 512;
constexpr int kIdsPerSector = kSector / 4;
constexpr int kHeaderFatSlots = 109;
constexpr int kMiniStreamCutoff = 4096;
const unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

void put16(char* p, quint16 v) {
    qToLittleEndian(v, p);
}
void put32(char* p, quint32 v) {
    qToLittleEndian(v, p);
}
void put64(char* p, quint64 v) {
    qToLittleEndian(v, p);
}
quint16 get16(const char* p) {
    return qFromLittleEndian<quint16>(p);
}
quint32 get32(const char* p) {
    return qFromLittleEndian<quint32>(p);
}
quint64 get64(const char* p) {
    return qFromLittleEndian<quint64>(p);
}

// One 128-byte directory entry.
void writeEntry(char* e, const QString& name, quint8 type, quint32 child, quint32 start,
                quint64 size) {
    std::memset(e, 0, 128);
    const int chars = static_cast<int>(qMin<qsizetype>(name.size(), 31));
    for (int i = 0; i < chars; ++i)
        put16(e + 2 * i, name.at(i).unicode());
    put16(e + 0x40, static_cast<quint16>(name.isEmpty() ? 0 : (chars + 1) * 2));
    e[0x42] = static_cast<char>(type);
    e[0x43] = type == 0 ? 0 : 1; // black; unused entries are all zero
    put32(e + 0x44, kNoStream);
    put32(e + 0x48, kNoStream);
    put32(e + 0x4C, child);
    put32(e + 0x74, start);
    put64(e + 0x78, size);
}

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

QByteArray WriteSingleStream(const QString& name, const QByteArray& stream) {
    const qint64 streamSize = qMax<qint64>(stream.size(), kMiniStreamCutoff);
    const qint64 nStream = (streamSize + kSector - 1) / kSector;
    const qint64 nDir = 1;
    // FAT and DIFAT sectors are counted in the FAT too: grow both until they cover all.
    qint64 nFat = 1;
    qint64 nDifat = 0;
    for (;;) {
        const qint64 total = nStream + nDir + nFat + nDifat;
        const qint64 needFat = (total + kIdsPerSector - 1) / kIdsPerSector;
        const qint64 needDifat =
            needFat > kHeaderFatSlots
                ? (needFat - kHeaderFatSlots + (kIdsPerSector - 1) - 1) / (kIdsPerSector - 1)
                : 0;
        if (needFat == nFat && needDifat == nDifat)
            break;
        nFat = qMax(nFat, needFat);
        nDifat = qMax(nDifat, needDifat);
    }
    const qint64 total = nStream + nDir + nFat + nDifat;
    const quint32 dirSector = static_cast<quint32>(nStream);
    const quint32 firstFat = dirSector + 1;
    const quint32 firstDifat = firstFat + static_cast<quint32>(nFat);

    QByteArray out(static_cast<qsizetype>((total + 1) * kSector), '\0');
    char* base = out.data();
    auto sector = [base](quint32 n) { return base + (static_cast<qint64>(n) + 1) * kSector; };

    // Header.
    std::memcpy(base, kSignature, 8);
    put16(base + 0x18, 0x003E);
    put16(base + 0x1A, 0x0003);
    put16(base + 0x1C, 0xFFFE);
    put16(base + 0x1E, 9);
    put16(base + 0x20, 6);
    put32(base + 0x2C, static_cast<quint32>(nFat));
    put32(base + 0x30, dirSector);
    put32(base + 0x38, kMiniStreamCutoff);
    put32(base + 0x3C, kEndOfChain);
    put32(base + 0x40, 0);
    put32(base + 0x44, nDifat > 0 ? firstDifat : kEndOfChain);
    put32(base + 0x48, static_cast<quint32>(nDifat));
    for (int i = 0; i < kHeaderFatSlots; ++i)
        put32(base + 0x4C + 4 * i, i < nFat ? firstFat + i : kFreeSect);

    // The stream, zero-padded to whole sectors (the buffer is already zeroed).
    if (!stream.isEmpty())
        std::memcpy(sector(0), stream.constData(), static_cast<size_t>(stream.size()));

    // Directory: root storage, the stream, two unused entries.
    char* dir = sector(dirSector);
    writeEntry(dir, QStringLiteral("Root Entry"), 5, 1, kEndOfChain, 0);
    writeEntry(dir + 128, name, 2, kNoStream, 0, static_cast<quint64>(streamSize));
    for (int i = 2; i < 4; ++i) {
        writeEntry(dir + 128 * i, QString(), 0, kNoStream, 0, 0);
        put32(dir + 128 * i + 0x74, 0);
    }

    // FAT.
    auto setFat = [&](qint64 index, quint32 value) {
        put32(sector(firstFat + static_cast<quint32>(index / kIdsPerSector)) +
                  4 * (index % kIdsPerSector),
              value);
    };
    for (qint64 i = 0; i < nFat * kIdsPerSector; ++i)
        setFat(i, kFreeSect);
    for (qint64 i = 0; i < nStream; ++i)
        setFat(i, i + 1 < nStream ? static_cast<quint32>(i + 1) : kEndOfChain);
    setFat(dirSector, kEndOfChain);
    for (qint64 i = 0; i < nFat; ++i)
        setFat(firstFat + i, kFatSect);
    for (qint64 i = 0; i < nDifat; ++i)
        setFat(firstDifat + i, kDifSect);

    // DIFAT sectors: 127 FAT sector ids each, then the next DIFAT sector.
    qint64 fatIndex = kHeaderFatSlots;
    for (qint64 d = 0; d < nDifat; ++d) {
        char* s = sector(firstDifat + static_cast<quint32>(d));
        for (int k = 0; k < kIdsPerSector - 1; ++k, ++fatIndex)
            put32(s + 4 * k,
                  fatIndex < nFat ? firstFat + static_cast<quint32>(fatIndex) : kFreeSect);
        put32(s + 4 * (kIdsPerSector - 1),
              d + 1 < nDifat ? firstDifat + static_cast<quint32>(d + 1) : kEndOfChain);
    }
    return out;
}

bool ReadStream(const QByteArray& file, const QString& name, QByteArray* stream, QString* error) {
    const char* base = file.constData();
    const qint64 fileSize = file.size();
    if (fileSize < 512 || std::memcmp(base, kSignature, 8) != 0)
        return fail(error, QStringLiteral("Not a compound file"));
    const int shift = get16(base + 0x1E);
    const int miniShift = get16(base + 0x20);
    if ((shift != 9 && shift != 12) || miniShift != 6)
        return fail(error, QStringLiteral("Unsupported sector size"));
    const qint64 ss = qint64(1) << shift;
    const int idsPerSector = static_cast<int>(ss / 4);
    const quint32 nFat = get32(base + 0x2C);
    const quint32 firstDir = get32(base + 0x30);
    const quint32 miniCutoff = get32(base + 0x38);
    const quint32 firstMiniFat = get32(base + 0x3C);
    const quint32 firstDifat = get32(base + 0x44);
    const qint64 sectorCount = (fileSize + ss - 1) / ss; // an upper bound on valid ids

    auto sectorPtr = [&](quint32 n) -> const char* {
        const qint64 off = (static_cast<qint64>(n) + 1) * ss;
        if (n >= kDifSect || off + ss > fileSize)
            return nullptr;
        return base + off;
    };

    // FAT sector ids: the header's slots, then the DIFAT chain.
    QVector<quint32> fatSectors;
    for (int i = 0; i < kHeaderFatSlots && static_cast<quint32>(fatSectors.size()) < nFat; ++i)
        fatSectors.append(get32(base + 0x4C + 4 * i));
    quint32 difat = firstDifat;
    qint64 guard = 0;
    while (static_cast<quint32>(fatSectors.size()) < nFat && difat < kDifSect) {
        const char* s = sectorPtr(difat);
        if (!s || ++guard > sectorCount)
            return fail(error, QStringLiteral("Broken DIFAT chain"));
        for (int k = 0; k < idsPerSector - 1 && static_cast<quint32>(fatSectors.size()) < nFat; ++k)
            fatSectors.append(get32(s + 4 * k));
        difat = get32(s + 4 * (idsPerSector - 1));
    }
    if (static_cast<quint32>(fatSectors.size()) < nFat)
        return fail(error, QStringLiteral("Missing FAT sectors"));

    QVector<quint32> fat;
    fat.reserve(static_cast<qsizetype>(fatSectors.size()) * idsPerSector);
    for (quint32 id : fatSectors) {
        const char* s = sectorPtr(id);
        if (!s)
            return fail(error, QStringLiteral("FAT sector outside the file"));
        for (int k = 0; k < idsPerSector; ++k)
            fat.append(get32(s + 4 * k));
    }

    // Reads a chain of regular sectors.
    auto readChain = [&](quint32 start, qint64 limit, QByteArray* out) -> bool {
        out->clear();
        quint32 n = start;
        qint64 steps = 0;
        while (n != kEndOfChain) {
            const char* s = sectorPtr(n);
            if (!s || n >= static_cast<quint32>(fat.size()) || ++steps > fat.size())
                return false;
            out->append(s, static_cast<qsizetype>(ss));
            if (limit >= 0 && out->size() >= limit)
                break;
            n = fat.at(n);
        }
        if (limit >= 0 && out->size() > limit)
            out->truncate(static_cast<qsizetype>(limit));
        return true;
    };

    QByteArray dir;
    if (!readChain(firstDir, -1, &dir))
        return fail(error, QStringLiteral("Broken directory chain"));
    const int entries = static_cast<int>(dir.size() / 128);
    if (entries < 1)
        return fail(error, QStringLiteral("Empty directory"));
    auto entryName = [&](int i) {
        const char* e = dir.constData() + 128 * i;
        const int bytes = qMin<int>(get16(e + 0x40), 64);
        QString n;
        for (int k = 0; k + 1 < bytes; k += 2) {
            const quint16 c = get16(e + k);
            if (c == 0)
                break;
            n.append(QChar(c));
        }
        return n;
    };
    auto entrySize = [&](int i) {
        quint64 size = get64(dir.constData() + 128 * i + 0x78);
        if (shift == 9)
            size &= 0xFFFFFFFFu; // version 3 files leave the high half undefined
        return static_cast<qint64>(size);
    };

    for (int i = 1; i < entries; ++i) {
        const char* e = dir.constData() + 128 * i;
        if (e[0x42] != 2 || entryName(i).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        const quint32 start = get32(e + 0x74);
        const qint64 size = entrySize(i);
        if (size > fileSize)
            return fail(error, QStringLiteral("Stream larger than the file"));
        if (size >= miniCutoff) {
            if (!readChain(start, size, stream) || stream->size() < size)
                return fail(error, QStringLiteral("Broken stream chain"));
            return true;
        }
        // Small stream: 64-byte sectors inside the root entry's stream.
        QByteArray ministream, minifatBytes;
        const quint32 rootStart = get32(dir.constData() + 0x74);
        if (!readChain(rootStart, entrySize(0), &ministream) ||
            !readChain(firstMiniFat, -1, &minifatBytes))
            return fail(error, QStringLiteral("Broken mini stream"));
        const qint64 miniIds = minifatBytes.size() / 4;
        stream->clear();
        quint32 n = start;
        qint64 steps = 0;
        while (stream->size() < size) {
            const qint64 off = static_cast<qint64>(n) * 64;
            if (n >= miniIds || off + 64 > ministream.size() || ++steps > miniIds)
                return fail(error, QStringLiteral("Broken mini stream chain"));
            stream->append(ministream.constData() + off, 64);
            n = get32(minifatBytes.constData() + 4 * n);
        }
        stream->truncate(static_cast<qsizetype>(size));
        return true;
    }
    return fail(error, QStringLiteral("No stream named %1").arg(name));
}

} // namespace Cfb
