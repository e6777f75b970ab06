// Record replies: header, L and w against the bytes received, the picture cut and the text
// block of one or more records.
#include "FuzzCheck.h"
#include "link/DeviceFrame.h"

#include <QByteArray>

using namespace DeviceFrame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char*>(data), qsizetype(size));
    const int received = int(size);
    RecordReply out;
    const RecordStatus status = ParseRecordReply(reply, received, out);
    if (status != RecordStatus::Ok) {
        FUZZ_CHECK(out.records.isEmpty() && out.picture.isEmpty());
        return 0;
    }
    // Everything taken lies inside the bytes that arrived.
    FUZZ_CHECK(out.textBytes >= 10);
    FUZZ_CHECK(out.pictureLength >= 0);
    FUZZ_CHECK(out.picture.size() == out.pictureLength);
    FUZZ_CHECK(int64_t(out.length) + 12 <= received);
    FUZZ_CHECK(int64_t(out.pictureLength) + out.textBytes + 8 == int64_t(out.length));
    FUZZ_CHECK(out.picture == reply.mid(18, out.pictureLength));
    FUZZ_CHECK(out.recordNo <= 0xFFFFFF);
    FUZZ_CHECK(!out.records.isEmpty());
    FUZZ_CHECK(out.records.size() <= out.textBytes);
    for (const ParsedRecord& rec : out.records) {
        FUZZ_CHECK(rec.fields.size() == kFieldCount);
        FUZZ_CHECK(rec.lengths.size() == kFieldCount);
        FUZZ_CHECK(rec.fields.at(0).toUtf8().size() <= 12);
        for (const QString& f : rec.fields)
            FUZZ_CHECK(f.toUtf8().size() <= kMaxFieldBytes);
    }

    // The same block parsed on its own gives the same records.
    const QList<ParsedRecord> again =
        ParseRecordText(reply.constData() + 10 + int(out.length) - out.textBytes, out.textBytes);
    FUZZ_CHECK(again.size() == out.records.size());

    // A reply that lost its last byte is never accepted with the same lengths.
    RecordReply shorter;
    if (ParseRecordReply(reply, int64_t(out.length) + 11 > 0 ? int(out.length) + 11 : 0, shorter) ==
        RecordStatus::Ok)
        FUZZ_CHECK(false);
    return 0;
}
