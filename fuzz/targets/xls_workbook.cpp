// .xls workbooks read back before an export appends to them: any bytes through the compound
// file reader and the BIFF8 reader; and what the writer makes is read back unchanged.
#include "FuzzCheck.h"
#include "reports/Biff.h"
#include "reports/Cfb.h"

#include <QByteArray>
#include <QString>
#include <QVector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    QByteArray stream;
    QString error;
    if (!Cfb::ReadStream(bytes, QStringLiteral("Workbook"), &stream, &error))
        FUZZ_CHECK(!error.isEmpty());
    QVector<Biff::Sheet> sheets;
    if (!Biff::ReadWorkbook(bytes, &sheets, &error))
        FUZZ_CHECK(!error.isEmpty());

    // Bytes as a small sheet of text cells: rows split at '\n', cells at '\t'.
    if (size > 0 && data[0] == 'W') {
        const QString text = QString::fromUtf8(bytes.mid(1, 4000));
        Biff::WorkbookWriter writer;
        const int s = writer.AddSheet(QStringLiteral("Value"));
        QVector<QStringList> rows;
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            const QStringList cells = line.split(QLatin1Char('\t'));
            if (writer.AppendRow(s, cells))
                rows.append(cells);
        }
        QVector<Biff::Sheet> back;
        FUZZ_CHECK(Biff::ReadWorkbook(writer.FileBytes(), &back, &error));
        FUZZ_CHECK(back.size() == 1);
        FUZZ_CHECK(back[0].rows.size() <= rows.size());
        for (int r = 0; r < back[0].rows.size(); ++r)
            for (int c = 0; c < rows[r].size(); ++c)
                FUZZ_CHECK(back[0].rows[r].value(c) == rows[r][c]);
    }
    return 0;
}
