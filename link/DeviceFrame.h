#pragma once
// Frames of the instrument link: request building for the six commands, one request/reply
// exchange on a CTCPClient, and bounds-checked parsers for the replies.
//
// Request layout: 68 a1..a6 68 C Llo Lhi ID0 ID1 payload CS 16 (little-endian numbers).
// Read reply:  68 a1..a6 68 81 L(4 bytes, LE) ID0 ID1 payload ... CS 16
// Write reply: 68 a1..a6 68 84 xx xx ID0 ID1 ... CS 16
// a1..a6 of a reply carry the instrument's 12-digit device number as packed BCD.
// Every parser takes the number of bytes actually received and never reads past it.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

class CTCPClient;

namespace DeviceFrame {

enum class Command {
    ReadDeviceInfo,
    ReadTitleInfo,
    ReadRecord,
    SetClock,
    SetDeviceNumber,
    DeleteDeviceFiles,
};

// The fixed facts of one command.
struct CommandInfo {
    uint8_t control;      // request control byte: 0x01 read, 0x04 write
    uint8_t id0, id1;     // data identifier
    int replySize;        // reply buffer size in bytes
    uint8_t replyControl; // expected reply control byte: 0x81 read, 0x84 write
    bool isRead;          // read reply (identifier echo at 13..14) or write reply (11..12)
};
const CommandInfo& Info(Command cmd);

// ---- Request building (byte for byte as the instrument expects) ----

QByteArray BuildReadDeviceInfo();    // 68 13x6 68 01 02 00 00 FF 00 16
QByteArray BuildReadTitleInfo();     // 68 13x6 68 01 02 00 03 FF 00 16
QByteArray BuildDeleteDeviceFiles(); // 68 13x6 68 04 02 00 06 AA 00 16
// 18 bytes: 68 13x6 68 01 04 00 02 10 n0 n1 n2 00 16 (record number, low 24 bits, LE).
QByteArray BuildReadRecord(uint32_t recordNo);
// 34 bytes: 68 00x6 68 04 15 00 01 FF, 19 characters "%4d-%02d-%02d %02d-%02d-%02d" of the
// given local time (one byte each: the low byte of the character), the sum of bytes 0..31
// modulo 256, 16.
QByteArray BuildSetClock(const QDateTime& localTime);
// The same for the local time now.
QByteArray BuildSetClock();
// 21 bytes: 68 12 00 12 00 12 00 68 04 08 00 02 BB b1..b6 00 16 with b = EncodeDeviceNumber(text).
QByteArray BuildSetDeviceNumber(const QString& twelveDigits);

// The leading decimal value of a text as the C conversion (atoi/strtol) reads it: blanks
// (' ', '\t' .. '\r') skipped, an optional sign, then digits up to the first other
// character; 0 when there are none. Values beyond the range of long saturate.
long LeadingDecimal(QStringView text);

// SetDeviceNumber payload: 6 bytes. The text is taken two characters at a time from the left;
// each pair's leading decimal value v (what strtol/atoi gives: leading blanks and a sign
// allowed, stops at the first non-digit, 0 when none) modulo 256 becomes ((v/10)<<4)|(v%10).
// Pairs beyond the end of a shorter text give 0.
QByteArray EncodeDeviceNumber(const QString& text);

// ---- Device number decodings ----

// Text after ReadDeviceInfo from the six address bytes (a1..a6): leading 0x00 bytes skipped,
// the rest as "%02x" each; with deviceType "15" upper-cased and leading '0's stripped; any
// 0xFF byte gives " "; otherwise left-padded with '0' to at least 8 characters.
// addr must hold at least 6 bytes (fewer gives " ").
QString DeviceNumberFromAddress(const QByteArray& addr, const QString& deviceType);
// Text after SetDeviceNumber: each byte as high nibble*10 + low nibble, "%02d" x 6.
QString DeviceNumberFromBcd(const QByteArray& addr);
// The six address bytes a1..a6 of a reply (empty when fewer than 7 bytes were received).
QByteArray ReplyAddress(const QByteArray& reply, int received);

// ---- Exchange ----

enum class ExchangeStatus {
    Ok,           // reply received and its control byte and identifier echo match
    NotConnected, // no connected socket: nothing sent
    SendFailed,   // the send returned -1: nothing read
    NoReply,      // nothing arrived within 1 s, or the peer closed / the connection broke
    Rejected,     // bytes arrived but the control byte or the identifier echo is wrong
};

struct Reply {
    ExchangeStatus status = ExchangeStatus::NoReply;
    QByteArray bytes; // the received bytes only (bytes.size() == received)
    int received = 0; // how many bytes arrived
    bool ok() const { return status == ExchangeStatus::Ok; }
};

// True when the reply's control byte and identifier echo are those of cmd (the only bytes
// checked; the check byte is never examined). Bytes beyond `received` count as absent.
bool AcceptReply(Command cmd, const QByteArray& reply, int received);

// One exchange on the client: sends the whole request once, then receives into a zeroed
// buffer of the command's reply size and accepts or rejects it. Only one exchange runs at a
// time on a client (its exchange mutex is held for send and receive), so the window thread
// and download workers can share the connection. The reply ends either when the frame says it
// is complete (its declared length plus check and end byte have arrived; a short gap where the
// trailing bytes are in doubt) or, when the frame is inconsistent, after 1 s of silence. With
// the client's LinkOptions::strictTiming every reply ends only on a full buffer or 1 s of
// silence.
Reply Exchange(CTCPClient& client, Command cmd, const QByteArray& request);

// ---- Reply parsing (all bounded by `received`) ----

// Texts from the instrument are UTF-8; a text that does not decode becomes "". A text cut to
// its byte limit is cut on a character boundary (an incomplete trailing sequence is dropped).
QString DecodeText(const char* data, int len);

// ReadDeviceInfo reply: total records at 15..17 (24-bit LE), device number from a1..a6.
struct DeviceInfo {
    uint32_t totalRecords = 0;
    QString deviceNumber;
    QByteArray address; // a1..a6
};
// False when fewer than 18 bytes were received. deviceType: see LinkOptions (empty: default).
bool ParseDeviceInfo(const QByteArray& reply, int received, DeviceInfo& out,
                     const QString& deviceType = QString());

// ReadTitleInfo reply: group index at 15, then 20 entries (length n, n bytes UTF-8, 1 byte
// skipped). A title longer than 200 bytes keeps its first 200 bytes. An entry whose length
// byte or text lies beyond the received bytes ends the list: it and the entries after it are
// blank (""). Fails only when the group index itself is missing.
constexpr int kTitleCount = 20;
constexpr int kMaxTextBytes = 200;
// A record field is kept whole: its length byte allows at most 255 bytes.
constexpr int kMaxFieldBytes = 255;
struct TitleGroup {
    int groupIndex = 0;
    QStringList titles; // exactly 20 on success
};
bool ParseTitleInfo(const QByteArray& reply, int received, TitleGroup& out);

// One record of a record reply's text block.
constexpr int kFieldCount = 40;
struct ParsedRecord {
    int fieldCount = 0; // the count byte as sent (not used to bound parsing)
    QStringList fields; // always 40 entries; fields not sent are ""
    QList<int> lengths; // 40 entries: each field's length byte as sent (0 when not sent)
};

enum class RecordStatus {
    Ok,
    NoRecord, // L = 2: the instrument has no such record
    Invalid,  // reply too short for its header, w < 10, w > L - 8, or 12 + L > received
};

// ReadRecord reply. Layout: L at 9..12, record number at 15..17, picture at 18 .. 9+L-w
// (L-w-8 bytes), text block of w bytes at 10+L-w .. 9+L, w (16-bit LE) at 10+L..11+L.
struct RecordReply {
    uint32_t length = 0;   // L
    uint32_t recordNo = 0; // the reply's record number (names the picture file)
    int textBytes = 0;     // w
    int pictureOffset = 18;
    int pictureLength = 0; // L - w - 8
    QByteArray picture;    // copy of the picture bytes
    QList<ParsedRecord> records;
};
// Parses the text block into records: each a field count byte, then up to 40 fields of
// (length byte, text, one skipped byte); a record ends after 40 fields or at the block's end,
// and remaining bytes start another record. A field is kept whole (up to the 255 bytes its
// length byte allows); a field running past the block's end is cut at the end. Field 0 keeps its
// last 12 bytes.
RecordStatus ParseRecordReply(const QByteArray& reply, int received, RecordReply& out);
// Just the text block (exposed for tests and tools).
QList<ParsedRecord> ParseRecordText(const char* block, int len);

// Debug helper: bytes as upper-case hex pairs separated by spaces.
QString ToHex(const QByteArray& bytes);

} // namespace DeviceFrame
