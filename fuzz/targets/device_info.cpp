// Device-information replies and the write replies: acceptance, the device number taken from
// the address bytes (both device types), and the BCD decoding after a device-number change.
#include "FuzzCheck.h"
#include "link/DeviceFrame.h"

#include <QByteArray>
#include <QString>

using namespace DeviceFrame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char*>(data), qsizetype(size));
    const int received = int(size);

    for (Command cmd : {Command::ReadDeviceInfo, Command::ReadTitleInfo, Command::ReadRecord,
                        Command::SetClock, Command::SetDeviceNumber, Command::DeleteDeviceFiles}) {
        const bool accepted = AcceptReply(cmd, reply, received);
        // Bytes that did not arrive never count, even when the buffer is larger.
        QByteArray padded = reply;
        padded.append(64, char(0));
        FUZZ_CHECK(AcceptReply(cmd, padded, received) == accepted);
        if (accepted)
            FUZZ_CHECK(uint8_t(reply.at(8)) == Info(cmd).replyControl);
    }

    for (const char* type : {"4Q", "15"}) {
        DeviceInfo info;
        const bool ok = ParseDeviceInfo(reply, received, info, QString::fromLatin1(type));
        FUZZ_CHECK(ok == (size >= 18));
        if (!ok)
            continue;
        FUZZ_CHECK(info.totalRecords <= 0xFFFFFF);
        FUZZ_CHECK(info.address.size() == 6);
        const QString& number = info.deviceNumber;
        if (info.address.contains(char(0xFF))) {
            FUZZ_CHECK(number == QLatin1String(" "));
        } else {
            // At least 8 characters, at most the 12 hex digits of six bytes, hex digits only.
            FUZZ_CHECK(number.size() >= 8 && number.size() <= 12);
            for (QChar c : number)
                FUZZ_CHECK(c.isDigit() || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
        }
    }

    const QByteArray addr = ReplyAddress(reply, received);
    FUZZ_CHECK(addr.isEmpty() == (size < 7));
    const QString bcd = DeviceNumberFromBcd(addr);
    FUZZ_CHECK(bcd.size() >= 12 && bcd.size() <= 18); // "%02d" of values up to 165
    for (QChar c : bcd)
        FUZZ_CHECK(c.isDigit());

    // The device number a user types goes back out through the encoder: any text is safe.
    const QString typed = QString::fromUtf8(reply.left(24));
    const QByteArray encoded = EncodeDeviceNumber(typed);
    FUZZ_CHECK(encoded.size() == 6);
    FUZZ_CHECK(BuildSetDeviceNumber(typed).size() == 21);
    return 0;
}
