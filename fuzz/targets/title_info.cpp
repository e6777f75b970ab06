// Title-information replies: 20 entries of (length, UTF-8 text, one skipped byte) after the
// group byte, bounded by the bytes that arrived.
#include "FuzzCheck.h"
#include "link/DeviceFrame.h"

#include <QByteArray>

using namespace DeviceFrame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char*>(data), qsizetype(size));
    TitleGroup group;
    const bool ok = ParseTitleInfo(reply, int(size), group);
    if (!ok) {
        FUZZ_CHECK(group.titles.isEmpty());
        return 0;
    }
    FUZZ_CHECK(size >= 16);
    FUZZ_CHECK(group.groupIndex == int(data[15]));
    FUZZ_CHECK(group.titles.size() == kTitleCount);
    qsizetype total = 0;
    for (const QString& title : group.titles) {
        const QByteArray utf8 = title.toUtf8();
        FUZZ_CHECK(utf8.size() <= kMaxTextBytes);
        total += utf8.size();
    }
    FUZZ_CHECK(total <= qsizetype(size));

    // A reply cut short by any number of bytes never reads what is not there.
    for (int cut = 1; cut <= 3 && cut < int(size); ++cut) {
        TitleGroup shorter;
        ParseTitleInfo(reply.left(reply.size() - cut), int(size) - cut, shorter);
        ParseTitleInfo(reply, int(size) - cut, shorter);
    }
    return 0;
}
