// The spreadsheet's joined rows: splitting any text, and join-then-split giving back exactly
// the values joined, also when a value holds the separator or quotes.
#include "FuzzCheck.h"
#include "reports/ExcelCtrl.h"

#include <QString>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static const char* const kSeparators[] = {",;.?", ",", "\t", ";", "", "\"", "\",\""};
    const QString sep = QString::fromLatin1(kSeparators[data[0] % 7]);
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    // Any text splits without fault into at least one value.
    const QStringList split = CExcelCtrl::SplitRow(text, sep);
    FUZZ_CHECK(!split.isEmpty());

    // The text read as values separated by '\x1f' (a character the separators never hold).
    const QStringList values = text.split(QChar(0x1F));
    if (!sep.isEmpty() && !sep.contains(QLatin1Char('"'))) {
        const QStringList back = CExcelCtrl::SplitRow(CExcelCtrl::JoinRow(values, sep), sep);
        FUZZ_CHECK(back == values);
    }
    return 0;
}
