#include "link/DeviceFrame.h"

#include "link/TCPClient.h"

#include <QStringDecoder>

#include <cstring>
#include <limits>
#include <mutex>

namespace DeviceFrame {

namespace {

const CommandInfo kInfo[] = {
    {0x01, 0x00, 0xFF, 256, 0x81, true},     // ReadDeviceInfo
    {0x01, 0x03, 0xFF, 10240, 0x81, true},   // ReadTitleInfo
    {0x01, 0x02, 0x10, 4194304, 0x81, true}, // ReadRecord
    {0x04, 0x01, 0xFF, 65, 0x84, false},     // SetClock
    {0x04, 0x02, 0xBB, 65, 0x84, false},     // SetDeviceNumber
    {0x04, 0x06, 0xAA, 65, 0x84, false},     // DeleteDeviceFiles
};

// After the declared bytes of a reply are in, a gap this long ends it when its trailing
// bytes are in doubt.
constexpr int kShortGapMs = 20;

uint8_t At(const QByteArray& b, int i) {
    return static_cast<uint8_t>(b.at(i));
}

// 68 a1..a6 68 C Llo Lhi ID0 ID1: the 13-byte head of every request.
QByteArray Head(const uint8_t addr[6], uint8_t control, int length, uint8_t id0, uint8_t id1) {
    QByteArray f;
    f.reserve(40);
    f.append(char(0x68));
    for (int i = 0; i < 6; ++i)
        f.append(char(addr[i]));
    f.append(char(0x68));
    f.append(char(control));
    f.append(char(length & 0xFF));
    f.append(char((length >> 8) & 0xFF));
    f.append(char(id0));
    f.append(char(id1));
    return f;
}

const uint8_t kAddr13[6] = {0x13, 0x13, 0x13, 0x13, 0x13, 0x13};
const uint8_t kAddrClock[6] = {0, 0, 0, 0, 0, 0};
const uint8_t kAddrNumber[6] = {0x12, 0x00, 0x12, 0x00, 0x12, 0x00};

// Length of a UTF-8 text cut to at most maxBytes without splitting a character.
int Utf8Cut(const char* data, int len, int maxBytes) {
    if (len <= maxBytes)
        return len;
    int cut = maxBytes;
    // Walk back over continuation bytes to the lead byte of the last character.
    int lead = cut - 1;
    int back = 0;
    while (lead >= 0 && back < 3 && (static_cast<uint8_t>(data[lead]) & 0xC0) == 0x80) {
        --lead;
        ++back;
    }
    if (lead < 0)
        return cut;
    const uint8_t c = static_cast<uint8_t>(data[lead]);
    int need = 1;
    if ((c & 0xE0) == 0xC0)
        need = 2;
    else if ((c & 0xF0) == 0xE0)
        need = 3;
    else if ((c & 0xF8) == 0xF0)
        need = 4;
    if (lead + need > cut)
        cut = lead; // the last character does not fit: drop it whole
    return cut;
}

uint32_t Le32(const QByteArray& b, int i) {
    return uint32_t(At(b, i)) | (uint32_t(At(b, i + 1)) << 8) | (uint32_t(At(b, i + 2)) << 16) |
           (uint32_t(At(b, i + 3)) << 24);
}

// The frame-aware completion rule of one command (see Exchange in the header).
int Completion(const CommandInfo& info, const char* buf, int got) {
    if (got < 9)
        return -1;
    const uint8_t control = static_cast<uint8_t>(buf[8]);
    if (control != info.replyControl)
        return -1; // not a reply we understand: plain 1-second rule
    if (!info.isRead)
        return got >= 13 ? kShortGapMs : -1;
    if (got < 13)
        return -1;
    const uint32_t length = uint32_t(uint8_t(buf[9])) | (uint32_t(uint8_t(buf[10])) << 8) |
                            (uint32_t(uint8_t(buf[11])) << 16) | (uint32_t(uint8_t(buf[12])) << 24);
    const int64_t declared = 13 + int64_t(length); // head + L bytes from the identifier on
    if (length < 2 || declared + 2 > info.replySize)
        return -1; // inconsistent length: plain 1-second rule
    // Where L counts from the identifier, check and end byte follow at 13+L and 14+L. The
    // record reply places its w field at 10+L..11+L, so its check and end byte sit one
    // earlier (12+L, 13+L). Both endings are recognised; anything else waits a short gap.
    if (got >= declared + 2)
        return 0;
    if (got >= declared + 1 && static_cast<uint8_t>(buf[declared]) == 0x16)
        return 0;
    if (got >= declared - 1)
        return kShortGapMs;
    return -1;
}

} // namespace

const CommandInfo& Info(Command cmd) {
    return kInfo[static_cast<int>(cmd)];
}

QByteArray BuildReadDeviceInfo() {
    QByteArray f = Head(kAddr13, 0x01, 2, 0x00, 0xFF);
    f.append(char(0x00));
    f.append(char(0x16));
    return f;
}

QByteArray BuildReadTitleInfo() {
    QByteArray f = Head(kAddr13, 0x01, 2, 0x03, 0xFF);
    f.append(char(0x00));
    f.append(char(0x16));
    return f;
}

QByteArray BuildDeleteDeviceFiles() {
    QByteArray f = Head(kAddr13, 0x04, 2, 0x06, 0xAA);
    f.append(char(0x00));
    f.append(char(0x16));
    return f;
}

QByteArray BuildReadRecord(uint32_t recordNo) {
    // The length field holds 4 although five bytes follow it up to the check byte.
    QByteArray f = Head(kAddr13, 0x01, 4, 0x02, 0x10);
    f.append(char(recordNo & 0xFF));
    f.append(char((recordNo >> 8) & 0xFF));
    f.append(char((recordNo >> 16) & 0xFF));
    f.append(char(0x00));
    f.append(char(0x16));
    return f;
}

QByteArray BuildSetClock(const QDateTime& localTime) {
    QByteArray f = Head(kAddrClock, 0x04, 0x15, 0x01, 0xFF);
    const QDate d = localTime.date();
    const QTime t = localTime.time();
    const QString text = QString::asprintf("%4d-%02d-%02d %02d-%02d-%02d", d.year(), d.month(),
                                           d.day(), t.hour(), t.minute(), t.second());
    for (QChar c : text)
        f.append(char(c.unicode() & 0xFF));
    // The check byte covers bytes 0..31 (the head and the 19 time characters).
    unsigned sum = 0;
    for (int i = 0; i < 32 && i < f.size(); ++i)
        sum += At(f, i);
    f.append(char(sum & 0xFF));
    f.append(char(0x16));
    return f;
}

QByteArray BuildSetClock() {
    return BuildSetClock(QDateTime::currentDateTime());
}

QByteArray BuildSetDeviceNumber(const QString& twelveDigits) {
    QByteArray f = Head(kAddrNumber, 0x04, 8, 0x02, 0xBB);
    f.append(EncodeDeviceNumber(twelveDigits));
    f.append(char(0x00));
    f.append(char(0x16));
    return f;
}

long LeadingDecimal(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const int digit = text[i].unicode() - '0';
        if (value > (std::numeric_limits<long>::max() - digit) / 10)
            return negative ? std::numeric_limits<long>::min() : std::numeric_limits<long>::max();
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

QByteArray EncodeDeviceNumber(const QString& text) {
    QByteArray out;
    for (int pair = 0; pair < 6; ++pair) {
        // The leading decimal value of the two characters, as atoi reads them, modulo 256.
        const long v = ((LeadingDecimal(QStringView(text).mid(pair * 2, 2)) % 256) + 256) % 256;
        out.append(char((((v / 10) << 4) | (v % 10)) & 0xFF));
    }
    return out;
}

QString DeviceNumberFromAddress(const QByteArray& addr, const QString& deviceType) {
    if (addr.size() < 6)
        return QStringLiteral(" ");
    QString text;
    bool leading = true;
    bool hasFF = false;
    for (int i = 0; i < 6; ++i) {
        const uint8_t b = At(addr, i);
        if (b == 0xFF)
            hasFF = true;
        if (b == 0x00 && leading)
            continue;
        text += QString::asprintf("%02x", b);
        leading = false;
    }
    if (deviceType == QLatin1String("15")) {
        text = text.toUpper();
        int z = 0;
        while (z < text.size() && text[z] == '0')
            ++z;
        text = text.mid(z);
    }
    if (hasFF)
        return QStringLiteral(" ");
    if (text.size() < 8)
        text = QString(8 - text.size(), '0') + text;
    return text;
}

QString DeviceNumberFromBcd(const QByteArray& addr) {
    QString text;
    for (int i = 0; i < 6; ++i) {
        const uint8_t b = i < addr.size() ? At(addr, i) : 0;
        text += QString::asprintf("%02d", (b >> 4) * 10 + (b & 0x0F));
    }
    return text;
}

QByteArray ReplyAddress(const QByteArray& reply, int received) {
    if (received < 7 || reply.size() < 7)
        return QByteArray();
    return reply.mid(1, 6);
}

bool AcceptReply(Command cmd, const QByteArray& reply, int received) {
    const CommandInfo& info = Info(cmd);
    const int n = std::min<qsizetype>(received, reply.size());
    const int echo = info.isRead ? 13 : 11;
    if (n < echo + 2)
        return false;
    return At(reply, 8) == info.replyControl && At(reply, echo) == info.id0 &&
           At(reply, echo + 1) == info.id1;
}

Reply Exchange(CTCPClient& client, Command cmd, const QByteArray& request) {
    Reply reply;
    const CommandInfo& info = Info(cmd);
    std::lock_guard<std::recursive_mutex> lock(client.ExchangeMutex());
    if (!client.IsConnected()) {
        reply.status = ExchangeStatus::NotConnected;
        return reply;
    }
    const bool strict = client.Options().strictTiming;
    if (!strict)
        client.DiscardPending(); // late bytes of an earlier reply are not this reply
    const int sent = client.Send(request.constData(), int(request.size()));
    if (sent < 0 || sent != request.size()) {
        reply.status = ExchangeStatus::SendFailed;
        return reply;
    }
    QByteArray buf(info.replySize, Qt::Uninitialized);
    int got = 0;
    CTCPClient::Completion done;
    if (!strict)
        done = [&info](const char* b, int n) { return Completion(info, b, n); };
    const int r = client.ReceiveFramed(buf.data(), info.replySize, &got, done);
    reply.received = got;
    if (r == 0) {
        reply.status = ExchangeStatus::NoReply;
        return reply;
    }
    reply.bytes = QByteArray(buf.constData(), got);
    reply.status =
        AcceptReply(cmd, reply.bytes, got) ? ExchangeStatus::Ok : ExchangeStatus::Rejected;
    return reply;
}

QString DecodeText(const char* data, int len) {
    if (len <= 0)
        return QString();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(data, len));
    if (decoder.hasError())
        return QString();
    return text;
}

bool ParseDeviceInfo(const QByteArray& reply, int received, DeviceInfo& out,
                     const QString& deviceType) {
    const int n = std::min<qsizetype>(received, reply.size());
    if (n < 18)
        return false;
    out.totalRecords =
        uint32_t(At(reply, 15)) | (uint32_t(At(reply, 16)) << 8) | (uint32_t(At(reply, 17)) << 16);
    out.address = reply.mid(1, 6);
    out.deviceNumber = DeviceNumberFromAddress(out.address, deviceType);
    return true;
}

bool ParseTitleInfo(const QByteArray& reply, int received, TitleGroup& out) {
    const int n = std::min<qsizetype>(received, reply.size());
    out = TitleGroup();
    if (n < 16)
        return false;
    const char* b = reply.constData();
    int pos = 15;
    const int group = At(reply, pos++);
    QStringList titles;
    for (int k = 0; k < kTitleCount; ++k) {
        // A short reply names fewer fields: the missing titles stay blank, so the link (and
        // every record of the instrument) stays usable.
        if (pos >= n || pos + 1 + At(reply, pos) > n) {
            while (titles.size() < kTitleCount)
                titles.append(QString());
            break;
        }
        const int len = At(reply, pos++);
        titles.append(DecodeText(b + pos, Utf8Cut(b + pos, len, kMaxTextBytes)));
        pos += len + 1; // the byte after each title is skipped
    }
    out.groupIndex = group;
    out.titles = titles;
    return true;
}

QList<ParsedRecord> ParseRecordText(const char* block, int len) {
    QList<ParsedRecord> records;
    int pos = 0;
    while (pos < len) {
        ParsedRecord rec;
        rec.fieldCount = static_cast<uint8_t>(block[pos++]);
        for (int f = 0; f < kFieldCount; ++f) {
            rec.fields.append(QString());
            rec.lengths.append(0);
        }
        for (int f = 0; f < kFieldCount && pos < len; ++f) {
            const int flen = static_cast<uint8_t>(block[pos++]);
            const int take = std::min(flen, len - pos);
            const char* text = block + pos;
            rec.lengths[f] = flen;
            if (f == 0 && take > 12) {
                // The device number keeps its last 12 bytes (no partial character first).
                int start = take - 12;
                while (start < take && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80)
                    ++start;
                rec.fields[f] = DecodeText(text + start, take - start);
            } else {
                rec.fields[f] = DecodeText(text, Utf8Cut(text, take, kMaxFieldBytes));
            }
            pos += take;
            if (pos < len)
                ++pos; // the byte after each field is skipped
        }
        records.append(rec);
    }
    return records;
}

RecordStatus ParseRecordReply(const QByteArray& reply, int received, RecordReply& out) {
    out = RecordReply();
    const int n = std::min<qsizetype>(received, reply.size());
    if (n < 13)
        return RecordStatus::Invalid;
    const uint32_t length = Le32(reply, 9);
    out.length = length;
    if (length == 2)
        return RecordStatus::NoRecord;
    // The w field ends at 11+L: every byte up to it must have arrived.
    if (12 + int64_t(length) > n)
        return RecordStatus::Invalid;
    if (length < 18) // w >= 10 and w <= L - 8 cannot both hold
        return RecordStatus::Invalid;
    const int w = int(At(reply, 10 + int(length))) | (int(At(reply, 11 + int(length))) << 8);
    if (w < 10 || int64_t(w) > int64_t(length) - 8)
        return RecordStatus::Invalid;
    out.recordNo =
        uint32_t(At(reply, 15)) | (uint32_t(At(reply, 16)) << 8) | (uint32_t(At(reply, 17)) << 16);
    out.textBytes = w;
    out.pictureOffset = 18;
    out.pictureLength = int(length) - w - 8;
    out.picture = reply.mid(18, out.pictureLength);
    out.records = ParseRecordText(reply.constData() + 10 + int(length) - w, w);
    return RecordStatus::Ok;
}

QString ToHex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace DeviceFrame
