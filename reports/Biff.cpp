#include "reports/Biff.h"

#include "reports/Cfb.h"

#include <QtEndian>
#include <cstring>

namespace Biff {

namespace {

constexpr int kMaxRecordData = 8224;

enum : quint16 {
    kBof = 0x0809,
    kEof = 0x000A,
    kInterfaceHdr = 0x00E1,
    kMms = 0x00C1,
    kInterfaceEnd = 0x00E2,
    kWriteAccess = 0x005C,
    kCodepage = 0x0042,
    kDsf = 0x0161,
    kTabId = 0x013D,
    kWindowProtect = 0x0019,
    kProtect = 0x0012,
    kPassword = 0x0013,
    kProt4Rev = 0x01AF,
    kProt4RevPass = 0x01BC,
    kBackup = 0x0040,
    kHideObj = 0x008D,
    kWindow1 = 0x003D,
    kDate1904 = 0x0022,
    kPrecision = 0x000E,
    kRefreshAll = 0x01B7,
    kBookBool = 0x00DA,
    kFont = 0x0031,
    kFormat = 0x041E,
    kXf = 0x00E0,
    kStyle = 0x0293,
    kUsesElfs = 0x0160,
    kBoundSheet = 0x0085,
    kCountry = 0x008C,
    kSst = 0x00FC,
    kContinue = 0x003C,
    kExtSst = 0x00FF,
    kWsBool = 0x0081,
    kDefColWidth = 0x0055,
    kColInfo = 0x007D,
    kDimensions = 0x0200,
    kLabelSst = 0x00FD,
    kLabel = 0x0204,
    kWindow2 = 0x023E,
};

// Appends little-endian values and records to a byte array.
class Out {
public:
    explicit Out(QByteArray& bytes) : b(bytes) {}
    void u8(quint8 v) { b.append(static_cast<char>(v)); }
    void u16(quint16 v) {
        char t[2];
        qToLittleEndian(v, t);
        b.append(t, 2);
    }
    void u32(quint32 v) {
        char t[4];
        qToLittleEndian(v, t);
        b.append(t, 4);
    }
    void bytes(const char* p, qsizetype n) { b.append(p, n); }
    qsizetype size() const { return b.size(); }
    // A record with its data given at once.
    void record(quint16 type, const QByteArray& data) {
        u16(type);
        u16(static_cast<quint16>(data.size()));
        b.append(data);
    }
    void record16(quint16 type, quint16 v) {
        u16(type);
        u16(2);
        u16(v);
    }
    // A record whose data follows; endRecord() fills in its size.
    qsizetype beginRecord(quint16 type) {
        const qsizetype at = b.size();
        u16(type);
        u16(0);
        return at;
    }
    void endRecord(qsizetype at) {
        qToLittleEndian(static_cast<quint16>(b.size() - at - 4), b.data() + at + 2);
    }
    void patch32(qsizetype at, quint32 v) { qToLittleEndian(v, b.data() + at); }

    QByteArray& b;
};

bool fitsLatin1(const QString& s) {
    for (QChar c : s)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

// Characters of a string: 8-bit when they all fit, else UTF-16LE.
void appendChars(Out& o, const QString& s, qsizetype from, qsizetype count, bool wide) {
    if (wide) {
        for (qsizetype i = from; i < from + count; ++i)
            o.u16(s.at(i).unicode());
    } else {
        QByteArray t(count, '\0');
        for (qsizetype i = 0; i < count; ++i)
            t[i] = static_cast<char>(s.at(from + i).unicode());
        o.bytes(t.constData(), count);
    }
}

// A short string (u8 count) as BOUNDSHEET and FONT use.
void shortString(Out& o, const QString& s) {
    const bool wide = !fitsLatin1(s);
    o.u8(static_cast<quint8>(s.size()));
    o.u8(wide ? 1 : 0);
    appendChars(o, s, 0, s.size(), wide);
}

// A string with a u16 count, as FORMAT and WRITEACCESS use.
void longString(Out& o, const QString& s) {
    const bool wide = !fitsLatin1(s);
    o.u16(static_cast<quint16>(s.size()));
    o.u8(wide ? 1 : 0);
    appendChars(o, s, 0, s.size(), wide);
}

void bof(Out& o, quint16 kind) {
    o.u16(kBof);
    o.u16(16);
    o.u16(0x0600);
    o.u16(kind);
    o.u16(0x0DBB);
    o.u16(0x07CC);
    o.u32(0);
    o.u32(0x00000006);
}

void xf(Out& o, bool style) {
    o.u16(kXf);
    o.u16(20);
    o.u16(0);                       // font
    o.u16(0);                       // number format: General
    o.u16(style ? 0xFFF5 : 0x0001); // style XF / cell XF, locked
    o.u8(0x20);                     // alignment: bottom
    o.u8(0);                        // rotation
    o.u8(0);                        // indent
    o.u8(0);                        // used attributes: all from the parent style
    o.u32(0);                       // borders
    o.u32(0);
    o.u16(0x20C0); // pattern colours: automatic
}

} // namespace

int WorkbookWriter::AddSheet(const QString& name) {
    SheetData s;
    s.name = name.left(kMaxSheetName);
    m_sheets.append(s);
    return static_cast<int>(m_sheets.size()) - 1;
}

quint32 WorkbookWriter::Intern(const QString& text) {
    ++m_references;
    // One look-up: a text seen for the first time gets its slot made here.
    const qsizetype known = m_index.size();
    quint32& id = m_index[TextKey{text}];
    if (m_index.size() != known) {
        id = static_cast<quint32>(m_strings.size());
        m_strings.append(text);
    }
    return id;
}

bool WorkbookWriter::AppendRow(int sheet, const QStringList& cells) {
    SheetData& s = m_sheets[sheet];
    if (s.rows >= kMaxRows || cells.size() > kMaxColumns)
        return false;
    const quint16 row = static_cast<quint16>(s.rows);
    if (s.widths.size() < cells.size())
        s.widths.resize(cells.size());
    for (qsizetype c = 0; c < cells.size(); ++c) {
        const QString& text = cells.at(c);
        if (text.isEmpty())
            continue;
        const QString cut = text.size() > kMaxChars ? text.left(kMaxChars) : text;
        s.cells.append(Cell{row, static_cast<quint16>(c), Intern(cut)});
        s.cols = qMax(s.cols, static_cast<int>(c) + 1);
        s.widths[c] = qMax(s.widths[c], static_cast<int>(qMin<qsizetype>(cut.size(), 255)));
    }
    ++s.rows;
    return true;
}

QByteArray WorkbookWriter::WorkbookStream() const {
    QByteArray bytes;
    qsizetype estimate = 4096 + m_strings.size() * 16;
    for (const SheetData& s : m_sheets)
        estimate += s.cells.size() * 14 + 512;
    bytes.reserve(estimate);
    Out o(bytes);

    // Workbook globals.
    bof(o, 0x0005);
    o.record16(kInterfaceHdr, 1200);
    o.record16(kMms, 0);
    o.record(kInterfaceEnd, QByteArray());
    {
        const qsizetype at = o.beginRecord(kWriteAccess);
        longString(o, QStringLiteral("brtx"));
        while (o.size() - at - 4 < 112)
            o.u8(0x20);
        o.endRecord(at);
    }
    o.record16(kCodepage, 1200);
    o.record16(kDsf, 0);
    {
        const qsizetype at = o.beginRecord(kTabId);
        for (int i = 0; i < m_sheets.size(); ++i)
            o.u16(static_cast<quint16>(i + 1));
        o.endRecord(at);
    }
    o.record16(kWindowProtect, 0);
    o.record16(kProtect, 0);
    o.record16(kPassword, 0);
    o.record16(kProt4Rev, 0);
    o.record16(kProt4RevPass, 0);
    o.record16(kBackup, 0);
    o.record16(kHideObj, 0);
    {
        o.u16(kWindow1);
        o.u16(18);
        o.u16(0x0168);
        o.u16(0x001E);
        o.u16(0x3A5C);
        o.u16(0x2328);
        o.u16(0x0038);
        o.u16(0); // active sheet
        o.u16(0); // first visible tab
        o.u16(1); // selected tabs
        o.u16(600);
    }
    o.record16(kDate1904, 0);
    o.record16(kPrecision, 1);
    o.record16(kRefreshAll, 0);
    o.record16(kBookBool, 0);
    for (int i = 0; i < 5; ++i) {
        const qsizetype at = o.beginRecord(kFont);
        o.u16(200);    // 10 points
        o.u16(0);      // attributes
        o.u16(0x7FFF); // automatic colour
        o.u16(i == 1 ? 700 : 400);
        o.u16(0); // super/subscript
        o.u8(0);  // underline
        o.u8(0);  // family
        o.u8(0);  // character set
        o.u8(0);
        shortString(o, QStringLiteral("Arial"));
        o.endRecord(at);
    }
    {
        static const struct {
            quint16 id;
            const char* code;
        } formats[] = {
            {5, "\"$\"#,##0_);\\(\"$\"#,##0\\)"},
            {6, "\"$\"#,##0_);[Red]\\(\"$\"#,##0\\)"},
            {7, "\"$\"#,##0.00_);\\(\"$\"#,##0.00\\)"},
            {8, "\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)"},
            {42, "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)"},
            {41, "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)"},
            {44, "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"},
            {43, "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)"},
        };
        for (const auto& f : formats) {
            const qsizetype at = o.beginRecord(kFormat);
            o.u16(f.id);
            longString(o, QString::fromLatin1(f.code));
            o.endRecord(at);
        }
    }
    for (int i = 0; i < 15; ++i)
        xf(o, true);
    xf(o, false); // XF 15: the cell format every label uses
    o.u16(kStyle);
    o.u16(4);
    o.u16(0x8000); // built-in style on XF 0
    o.u8(0);       // Normal
    o.u8(0xFF);
    o.record16(kUsesElfs, 1);

    QVector<qsizetype> sheetOffsetAt;
    for (const SheetData& s : m_sheets) {
        const qsizetype at = o.beginRecord(kBoundSheet);
        sheetOffsetAt.append(o.size());
        o.u32(0); // patched below
        o.u8(0);  // visible
        o.u8(0);  // worksheet
        shortString(o, s.name);
        o.endRecord(at);
    }
    o.u16(kCountry);
    o.u16(4);
    o.u16(1);
    o.u16(1);

    // Shared string table, continued in CONTINUE records; a string's header and first
    // character stay in one record, and a string split across records carries the
    // continuation's flag byte. EXTSST points at every bucket's first string.
    const int unique = static_cast<int>(m_strings.size());
    const int bucket = qMax(unique / 128 + 1, 8);
    struct Ext {
        quint32 streamPos;
        quint16 recordPos;
    };
    QVector<Ext> ext;
    {
        qsizetype rec = o.beginRecord(kSst);
        o.u32(m_references);
        o.u32(static_cast<quint32>(unique));
        auto room = [&]() { return kMaxRecordData - (o.size() - rec - 4); };
        auto next = [&]() {
            o.endRecord(rec);
            rec = o.beginRecord(kContinue);
        };
        for (int i = 0; i < unique; ++i) {
            const QString& s = m_strings.at(i);
            const bool wide = !fitsLatin1(s);
            const int charSize = wide ? 2 : 1;
            if (room() < 3 + charSize)
                next();
            if (i % bucket == 0)
                ext.append(
                    Ext{static_cast<quint32>(o.size()), static_cast<quint16>(o.size() - rec)});
            o.u16(static_cast<quint16>(s.size()));
            o.u8(wide ? 1 : 0);
            qsizetype pos = 0;
            while (pos < s.size()) {
                qsizetype n = qMin<qsizetype>(room() / charSize, s.size() - pos);
                // Never split a surrogate pair between two records.
                if (n > 0 && pos + n < s.size() && s.at(pos + n - 1).isHighSurrogate())
                    --n;
                if (n <= 0) {
                    next();
                    o.u8(wide ? 1 : 0);
                    continue;
                }
                appendChars(o, s, pos, n, wide);
                pos += n;
            }
        }
        o.endRecord(rec);
    }
    {
        const qsizetype at = o.beginRecord(kExtSst);
        o.u16(static_cast<quint16>(bucket));
        for (const Ext& e : ext) {
            o.u32(e.streamPos);
            o.u16(e.recordPos);
            o.u16(0);
        }
        o.endRecord(at);
    }
    o.record(kEof, QByteArray());

    // Worksheets.
    for (int si = 0; si < m_sheets.size(); ++si) {
        const SheetData& s = m_sheets.at(si);
        o.patch32(sheetOffsetAt.at(si), static_cast<quint32>(o.size()));
        bof(o, 0x0010);
        o.record16(kWsBool, 0x04C1);
        o.record16(kDefColWidth, 8);
        for (int c = 0; c < s.cols; ++c) {
            // Column width in 1/256 of a character: wide enough for the longest text.
            const int chars = qBound(8, s.widths.value(c) + 2, 60);
            o.u16(kColInfo);
            o.u16(12);
            o.u16(static_cast<quint16>(c));
            o.u16(static_cast<quint16>(c));
            o.u16(static_cast<quint16>(chars * 256));
            o.u16(15);
            o.u16(0);
            o.u16(0);
        }
        o.u16(kDimensions);
        o.u16(14);
        o.u32(0);
        o.u32(static_cast<quint32>(s.rows));
        o.u16(0);
        o.u16(static_cast<quint16>(s.cols));
        o.u16(0);
        // LABELSST records, 14 bytes each, written straight into the buffer.
        const qsizetype start = bytes.size();
        bytes.resize(start + s.cells.size() * 14);
        char* p = bytes.data() + start;
        for (const Cell& c : s.cells) {
            qToLittleEndian<quint16>(kLabelSst, p);
            qToLittleEndian<quint16>(10, p + 2);
            qToLittleEndian<quint16>(c.row, p + 4);
            qToLittleEndian<quint16>(c.col, p + 6);
            qToLittleEndian<quint16>(15, p + 8);
            qToLittleEndian<quint32>(c.sst, p + 10);
            p += 14;
        }
        o.u16(kWindow2);
        o.u16(18);
        o.u16(si == 0 ? 0x06B6 : 0x00B6);
        o.u16(0);
        o.u16(0);
        o.u16(0x40);
        o.u16(0);
        o.u16(0);
        o.u16(0);
        o.u32(0);
        o.record(kEof, QByteArray());
    }
    return bytes;
}

QByteArray WorkbookWriter::FileBytes() const {
    return Cfb::WriteSingleStream(QStringLiteral("Workbook"), WorkbookStream());
}

// ---------------------------------------------------------------------------------------
// Reading

namespace {

struct Record {
    quint16 type;
    const char* data;
    int size;
};

// Walks the records of a stream from a position.
class Records {
public:
    Records(const QByteArray& s, qsizetype pos) : m_s(s), m_pos(pos) {}
    bool next(Record* r) {
        if (m_pos + 4 > m_s.size())
            return false;
        const char* p = m_s.constData() + m_pos;
        r->type = qFromLittleEndian<quint16>(p);
        r->size = qFromLittleEndian<quint16>(p + 2);
        if (m_pos + 4 + r->size > m_s.size())
            return false;
        r->data = p + 4;
        m_pos += 4 + r->size;
        return true;
    }

private:
    const QByteArray& m_s;
    qsizetype m_pos;
};

// Reads the shared string table from the SST record and its CONTINUE records.
class SstReader {
public:
    void add(const Record& r) { m_parts.append(r); }
    bool read(QStringList* strings) {
        if (m_parts.isEmpty())
            return true;
        m_part = 0;
        m_off = 0;
        quint32 total = 0, unique = 0;
        if (!u32(&total) || !u32(&unique))
            return false;
        strings->reserve(qMin<quint32>(unique, 65536));
        for (quint32 i = 0; i < unique; ++i) {
            quint16 count = 0;
            quint8 flags = 0;
            if (!u16(&count) || !u8(&flags))
                return false;
            quint16 runs = 0;
            quint32 extSize = 0;
            if ((flags & 0x08) && !u16(&runs))
                return false;
            if ((flags & 0x04) && !u32(&extSize))
                return false;
            QString s;
            s.reserve(count);
            bool wide = flags & 0x01;
            int left = count;
            while (left > 0) {
                if (m_off >= m_parts.at(m_part).size) {
                    // The characters go on in the next record after its flag byte.
                    if (++m_part >= m_parts.size())
                        return false;
                    m_off = 0;
                    quint8 f = 0;
                    if (!u8(&f))
                        return false;
                    wide = f & 0x01;
                    continue;
                }
                const Record& r = m_parts.at(m_part);
                const int avail = (r.size - m_off) / (wide ? 2 : 1);
                const int n = qMin(avail, left);
                if (n <= 0)
                    return false;
                const char* p = r.data + m_off;
                for (int k = 0; k < n; ++k)
                    s.append(wide ? QChar(qFromLittleEndian<quint16>(p + 2 * k))
                                  : QChar(static_cast<uchar>(p[k])));
                m_off += n * (wide ? 2 : 1);
                left -= n;
            }
            if (!skip(4 * runs) || !skip(extSize))
                return false;
            strings->append(s);
        }
        return true;
    }

private:
    bool byte(quint8* v) {
        while (m_part < m_parts.size() && m_off >= m_parts.at(m_part).size) {
            ++m_part;
            m_off = 0;
        }
        if (m_part >= m_parts.size())
            return false;
        *v = static_cast<quint8>(m_parts.at(m_part).data[m_off++]);
        return true;
    }
    bool u8(quint8* v) { return byte(v); }
    bool u16(quint16* v) {
        quint8 a, b;
        if (!byte(&a) || !byte(&b))
            return false;
        *v = static_cast<quint16>(a | (b << 8));
        return true;
    }
    bool u32(quint32* v) {
        quint16 a, b;
        if (!u16(&a) || !u16(&b))
            return false;
        *v = a | (static_cast<quint32>(b) << 16);
        return true;
    }
    bool skip(quint32 n) {
        quint8 t;
        for (quint32 i = 0; i < n; ++i)
            if (!byte(&t))
                return false;
        return true;
    }

    QVector<Record> m_parts;
    int m_part = 0;
    int m_off = 0;
};

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// A string with a u8 (shortCount) or u16 count and a flag byte, inside one record.
bool recordString(const char* p, int size, bool shortCount, QString* out) {
    const int head = shortCount ? 2 : 3;
    if (size < head)
        return false;
    const int count = shortCount ? static_cast<uchar>(p[0]) : qFromLittleEndian<quint16>(p);
    const bool wide = p[head - 1] & 0x01;
    if (head + count * (wide ? 2 : 1) > size)
        return false;
    out->clear();
    for (int k = 0; k < count; ++k)
        out->append(wide ? QChar(qFromLittleEndian<quint16>(p + head + 2 * k))
                         : QChar(static_cast<uchar>(p[head + k])));
    return true;
}

void setCell(Sheet& sheet, int row, int col, const QString& text) {
    if (col >= kMaxColumns)
        return; // beyond what a sheet can hold
    if (sheet.rows.size() <= row)
        sheet.rows.resize(row + 1);
    QStringList& r = sheet.rows[row];
    while (r.size() <= col)
        r.append(QString());
    r[col] = text;
}

} // namespace

bool ReadWorkbook(const QByteArray& file, QVector<Sheet>* sheets, QString* error) {
    QByteArray stream;
    if (!Cfb::ReadStream(file, QStringLiteral("Workbook"), &stream, error))
        return false;
    Records globals(stream, 0);
    Record r;
    if (!globals.next(&r) || r.type != kBof || r.size < 4 ||
        qFromLittleEndian<quint16>(r.data) != 0x0600)
        return fail(error, QStringLiteral("Not a BIFF8 workbook"));

    QVector<quint32> offsets;
    QVector<Sheet> result;
    SstReader sst;
    bool inSst = false;
    bool ended = false;
    while (globals.next(&r)) {
        if (r.type == kEof) {
            ended = true;
            break;
        }
        if (r.type == kBoundSheet && r.size >= 8) {
            Sheet s;
            if (!recordString(r.data + 6, r.size - 6, true, &s.name))
                return fail(error, QStringLiteral("Bad sheet name"));
            offsets.append(qFromLittleEndian<quint32>(r.data));
            result.append(s);
        } else if (r.type == kSst) {
            sst.add(r);
            inSst = true;
            continue;
        } else if (r.type == kContinue && inSst) {
            sst.add(r);
            continue;
        }
        inSst = false;
    }
    if (!ended)
        return fail(error, QStringLiteral("Workbook globals without end"));
    QStringList strings;
    if (!sst.read(&strings))
        return fail(error, QStringLiteral("Bad shared string table"));

    for (int i = 0; i < result.size(); ++i) {
        Records sheet(stream, offsets.at(i));
        if (!sheet.next(&r) || r.type != kBof)
            return fail(error, QStringLiteral("Sheet %1 not found").arg(result.at(i).name));
        bool done = false;
        while (sheet.next(&r)) {
            if (r.type == kEof) {
                done = true;
                break;
            }
            if (r.type == kLabelSst && r.size >= 10) {
                const int row = qFromLittleEndian<quint16>(r.data);
                const int col = qFromLittleEndian<quint16>(r.data + 2);
                const quint32 idx = qFromLittleEndian<quint32>(r.data + 6);
                if (idx >= static_cast<quint32>(strings.size()))
                    return fail(error, QStringLiteral("Bad string index"));
                setCell(result[i], row, col, strings.at(idx));
            } else if (r.type == kLabel && r.size >= 8) {
                QString text;
                if (!recordString(r.data + 6, r.size - 6, false, &text))
                    return fail(error, QStringLiteral("Bad label"));
                setCell(result[i], qFromLittleEndian<quint16>(r.data),
                        qFromLittleEndian<quint16>(r.data + 2), text);
            }
        }
        if (!done)
            return fail(error, QStringLiteral("Sheet %1 without end").arg(result.at(i).name));
    }
    *sheets = result;
    return true;
}

} // namespace Biff
