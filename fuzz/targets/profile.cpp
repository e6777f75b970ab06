// Language.ini as the user may have edited it: any bytes, any encoding, read through the
// profile reader. The first bytes choose the section, key and limit asked for.
#include "base/Profile.h"
#include "FuzzCheck.h"

#include <QByteArray>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static const char* const kSections[] = {"Global", "English", "Chinese", "", "global ", "["};
    static const char* const kKeys[] = {"Language", "DeviceType", "StrictTiming", "=", "", "a"};
    const QString section = QString::fromLatin1(kSections[data[0] % 6]);
    const QString key = QString::fromLatin1(kKeys[(data[0] / 6) % 6]);
    const int maxChars = data[1] % 64 == 0 ? 1023 : data[1] % 64;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    const QString def = QStringLiteral("default");
    const QString value = ReadProfileStringFromBytes(bytes, section, key, def, maxChars);
    FUZZ_CHECK(value.size() <= std::max<qsizetype>(maxChars, def.size()));
    FUZZ_CHECK(!value.contains(QLatin1Char('\n')));
    // The same bytes give the same answer (the reader keeps no state between calls).
    FUZZ_CHECK(ReadProfileStringFromBytes(bytes, section, key, def, maxChars) == value);
    return 0;
}
