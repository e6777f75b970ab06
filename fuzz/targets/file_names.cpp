// File names and report text made from the instrument's texts: whatever a record's date, time,
// device number or cells hold, a picture name and a report name stay one plain name inside
// their folder, a stored picture Path never leads out of the picture root, and escaped report
// text holds no markup.
#include "FuzzCheck.h"
#include "base/Paths.h"
#include "device/core/PictureStore.h"
#include "reports/Report.h"

#include <QString>
#include <QStringList>

namespace {

bool plainName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..") && !name.contains(QChar(0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    // Up to four texts separated by '\x1f': date, time, and two more cells.
    QStringList parts = text.split(QChar(0x1F));
    while (parts.size() < 4)
        parts.append(QString());

    const QString suffix = Picture::DateTimeSuffix(parts[0], parts[1]);
    FUZZ_CHECK(!suffix.contains(QLatin1Char('/')) && !suffix.contains(QLatin1Char('\\')));
    FUZZ_CHECK(plainName(Picture::AlternativeName(7, suffix)));
    FUZZ_CHECK(plainName(Picture::PlainName(quint32(size) * 2654435761u)));

    // A device identity that passes names exactly one folder level.
    if (Picture::IsUsableDeviceId(parts[2]))
        FUZZ_CHECK(plainName(parts[2]) && !parts[2].contains(QLatin1Char('\\')));

    // A stored Path resolves inside the root or not at all.
    const QString root = QStringLiteral("/home/brtx/pic");
    const QString resolved = ResolvePicturePath(root, text);
    if (!resolved.isEmpty()) {
        FUZZ_CHECK(resolved.startsWith(root + QLatin1Char('/')));
        for (const QString& part : resolved.mid(root.size()).split(QLatin1Char('/')))
            FUZZ_CHECK(part != QLatin1String(".."));
    }

    // The report name of a row: one plain file name (the ".html"/".pdf" go after it).
    const QString name = ReportName(parts);
    FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    for (QChar c : name)
        FUZZ_CHECK(c.unicode() >= 0x20);

    // Escaped text adds no markup.
    const QString escaped = HtmlEscape(text);
    FUZZ_CHECK(!escaped.contains(QLatin1Char('<')) && !escaped.contains(QLatin1Char('>')) &&
               !escaped.contains(QLatin1Char('"')));
    const QString encoded = HtmlEncode(escaped);
    FUZZ_CHECK(!encoded.contains(QLatin1Char('<')) && !encoded.contains(QLatin1Char('>')));
    return 0;
}
