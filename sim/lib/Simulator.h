#pragma once
// An instrument simulator: plays the instrument side of every link command on a TCP port, for
// tests, demos and benchmarks. It listens on a caller-given address (default 127.0.0.1) at
// port 7575, serves one client at a time and any number of requests per connection, on its
// own thread. All public members are thread-safe.
//
// Content is deterministic. Record n (1-based) has 40 fields:
//   0 device number text as the program derives it from the address bytes ("%02x" of the
//     BCD bytes after leading zero bytes, left-padded with '0' to 8), 1 "n",
//   2 date "yyyy-MM-dd" (first date + (n-1) days), 3 time "HH:mm:ss" (08:00:00 + n*37 s),
//   4 test mode cycling "Auto", "Manual", "Refuse", "Discontinued", 5 result ("0.000" style,
//   empty for "Refuse"), 6 unit "mg/L", 7..10 "R1-n".."R4-n", 11 group "1", 12 select "0",
//   13, 14 "R5-n", "R6-n", 15..34 "F<k>-n" (k = 1..20), 35 "", 36 latitude, 37 longitude,
//   38, 39 "".
// and a JPEG photograph (record number and date drawn on it) padded to the configured size.
//
// Reply layouts (check byte = sum of all preceding bytes mod 256, then 0x16):
//   read:   68 a1..a6 68 81 L(4, LE) ID0 ID1 payload CS 16, L = 2 + payload length
//   record: 68 a1..a6 68 81 L ID0 ID1 n0 n1 n2 picture text w(2, LE) CS 16, L = 8 + pic + w
//           (w sits at 10+L..11+L, so the whole reply is 14 + L bytes); a missing record is
//           68 a1..a6 68 81 02 00 00 00 02 10 CS 16
//   write:  68 a1..a6 68 84 02 00 ID0 ID1 CS 16
#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace brtxsim {

enum class SimCommand {
    Any,
    ReadDeviceInfo,
    ReadTitleInfo,
    ReadRecord,
    SetClock,
    SetDeviceNumber,
    DeleteDeviceFiles,
};

enum class FaultKind {
    None,
    Delay,           // wait `amount` ms before the reply
    PauseMidReply,   // send half, wait `amount` ms (default 1500), send the rest
    CloseMidReply,   // send half, then close the connection
    WrongControl,    // reply control byte 0x82 / 0x85 instead of 0x81 / 0x84
    WrongIdentifier, // identifier echo's second byte changed
    WrongCheck,      // check byte off by one (the program must still accept the reply)
    Truncate,        // leave out the last `amount` bytes (default: everything after byte 17)
    NoReply,         // send nothing at all
    OversizedW,      // record reply: w field := L - 8 + amount (default 1)
    SmallW,          // record reply: w field := amount (default 9)
    OversizedL,      // read reply: L field := L + amount (default 100)
    OversizedTitle,  // title reply: title 1 has `amount` bytes (default 230)
    OversizedField,  // record reply: field 15 has `amount` bytes (default 230)
    ExtraRecords,    // record reply: `amount` more records (n+1, n+2, ...) in the text block
    TrailingBytes,   // append `amount` bytes (default 3) of 0xEE after the end byte
    OtherDevice,     // record reply: field 0 of the requested record names another device
                     // (its last digit changed), as an instrument answering with a record of
                     // another one would; the address bytes stay this instrument's
    Unplug,          // record reply: send half, close, and from then on drop every new
                     // connection at once, as an instrument whose cable was pulled
};

struct Fault {
    FaultKind kind = FaultKind::None;
    SimCommand command = SimCommand::Any; // which command it applies to
    int record = 0;                       // ReadRecord only: the record number; 0: any
    int amount = -1;                      // ms / bytes / count; -1: the kind's default
    int times = -1;                       // how many replies it affects; -1: all
};

// Parses "kind[:record[:amount[:times]]]" as the command line takes it ("pause:3:1500").
// Kinds: delay, pause, close, control, ident, check, truncate, noreply, bigw, smallw, bigl,
// bigtitle, bigfield, extra, trailing, otherdevice, unplug. Record faults apply to ReadRecord;
// "delay", "pause", "close", "control", "ident", "check", "truncate", "noreply", "bigl", "trailing"
// with record 0 apply to every command. Returns false on a bad text.
bool ParseFault(const QString& text, Fault& out, QString* error = nullptr);

struct SimConfig {
    QString address = QStringLiteral("127.0.0.1");
    uint16_t port = 7575;
    int recordCount = 10;
    int photoBytes = 20000; // picture size in bytes (a real JPEG, padded); 0: no picture
    QString deviceNumber = QStringLiteral("000123456789"); // 12 digits
    int titleGroup = 1;
    QStringList titles; // 20 titles; empty: DefaultTitles()
    QDate firstDate = QDate(2024, 1, 1);
    QString requestLogFile; // when set, each request is appended as one hex line
};

// Title sets: "default" (names with two blanks and one repeated name), "chinese", "blank"
// (all single spaces), "duplicate" (every title "Name"), "plain" (Title1..Title20).
QStringList TitlePreset(const QString& name, bool* ok = nullptr);
QStringList DefaultTitles();

class CSimulator {
public:
    explicit CSimulator(const SimConfig& config = SimConfig());
    ~CSimulator(); // Stop()

    CSimulator(const CSimulator&) = delete;
    CSimulator& operator=(const CSimulator&) = delete;

    // Binds address:port and starts serving on its own thread. False (with *error) when the
    // address cannot be bound.
    bool Start(QString* error = nullptr);
    // Closes the listening socket and any client, joins the thread. Safe to call twice.
    void Stop();
    bool IsRunning() const;

    // ---- Settings (take effect with the next reply) ----
    void SetRecordCount(int count);
    int RecordCount() const;
    void SetPhotoBytes(int bytes);
    void SetDeviceNumber(const QString& twelveDigits);
    QString DeviceNumber() const;     // 12 digits
    QByteArray AddressBytes() const;  // the six packed-BCD bytes
    QString DeviceNumberText() const; // as the program derives it (field 0 of records)
    void SetTitles(const QStringList& titles, int group = 1);
    QStringList Titles() const;

    // ---- Fault injection ----
    void AddFault(const Fault& fault);
    void ClearFaults();

    // ---- What happened ----
    QList<QByteArray> Requests() const; // every complete request received, in order
    QStringList RequestLog() const;     // the same as upper-case hex "68 13 ..." lines
    void ClearRequests();
    QString ClockText() const;   // the 19 characters of the last SetClock, "" if none
    int ConnectionCount() const; // connections accepted so far
    int DeleteCount() const;     // DeleteDeviceFiles requests served

    // ---- Content (exactly what the replies carry) ----
    QStringList RecordFields(int recordNo) const; // 40 fields
    QByteArray Photo(int recordNo) const;         // the picture bytes
    // The whole reply to a request (no faults applied); empty for an unknown request.
    QByteArray ReplyFor(const QByteArray& request) const;

    QString Address() const;
    uint16_t Port() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace brtxsim
