#pragma once
// A small writer of .xls workbooks (BIFF8 records in a compound file) holding text cells
// only, and a reader for the workbooks it writes.
//
// Strings go into the shared string table as UTF-16 (or as 8-bit text when every character
// fits), so any script works. A sheet holds at most 65,536 rows and 256 columns.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Biff {

constexpr int kMaxRows = 65536;
constexpr int kMaxColumns = 256;
constexpr int kMaxChars = 32767; // characters in one cell
constexpr int kMaxSheetName = 31;

// A key of the shared string table. It is hashed with FNV-1a from the table's seed: a large
// sheet interns over a million texts, and the default string hash costs several times more.
struct TextKey {
    QString text;
    friend bool operator==(const TextKey& a, const TextKey& b) { return a.text == b.text; }
};
inline size_t qHash(const TextKey& key, size_t seed = 0) noexcept {
    size_t h = size_t(14695981039346656037ull) ^ seed;
    for (const QChar c : key.text) {
        h ^= c.unicode();
        h *= size_t(1099511628211ull);
    }
    return h;
}

// A sheet as text: rows of cells, row 0 first. Missing cells read as empty text.
struct Sheet {
    QString name;
    QVector<QStringList> rows;
};

class WorkbookWriter {
public:
    // Adds an empty sheet and returns its index. The name is cut to 31 characters.
    int AddSheet(const QString& name);
    int SheetCount() const { return static_cast<int>(m_sheets.size()); }

    // Appends a row to the sheet. Empty texts leave their cell empty; texts longer than
    // 32,767 characters are cut. Returns false (and adds nothing) when the sheet already
    // has 65,536 rows or the row has more than 256 cells.
    bool AppendRow(int sheet, const QStringList& cells);
    int RowCount(int sheet) const { return m_sheets.at(sheet).rows; }

    // The "Workbook" stream: BIFF8 records of the globals and of every sheet.
    QByteArray WorkbookStream() const;
    // The whole .xls file.
    QByteArray FileBytes() const;

private:
    struct Cell {
        quint16 row;
        quint16 col;
        quint32 sst;
    };
    struct SheetData {
        QString name;
        int rows = 0;
        int cols = 0;
        QVector<Cell> cells;
        QVector<int> widths; // longest text per column, in characters
    };
    quint32 Intern(const QString& text);

    QVector<SheetData> m_sheets;
    QStringList m_strings; // the shared string table, in order of first use
    QHash<TextKey, quint32> m_index;
    quint32 m_references = 0;
};

// Reads the sheets of a workbook file (as written by WorkbookWriter; text cells only).
// Returns false with a reason in *error when the bytes are not such a workbook.
bool ReadWorkbook(const QByteArray& file, QVector<Sheet>* sheets, QString* error = nullptr);

} // namespace Biff
