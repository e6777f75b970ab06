// The output of "adb devices" as the tool printed it (any bytes, local 8-bit text).
#include "FuzzCheck.h"
#include "link/AdbBridge.h"

#include <QString>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bridge takes the output up to the first zero byte as local 8-bit text.
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString output = QString::fromLocal8Bit(
        bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0')));
    QStringList devices{QStringLiteral("left over")};
    const bool ok = ParseAdbDeviceList(output, devices);
    FUZZ_CHECK(ok == !devices.isEmpty());
    for (const QString& serial : devices) {
        // A serial is one trimmed line that goes on the forward command line.
        FUZZ_CHECK(!serial.isEmpty());
        FUZZ_CHECK(!serial.contains(QLatin1Char('\n')));
        FUZZ_CHECK(serial == serial.trimmed());
        FUZZ_CHECK(serial != QLatin1String("left over") || output.contains(serial));
    }
    return 0;
}
