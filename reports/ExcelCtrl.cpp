#include "reports/ExcelCtrl.h"

#include "reports/Biff.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QVector>

const QString CExcelCtrl::kExcelSeparator = QStringLiteral(",;.?");
const QString CExcelCtrl::kBackupSheet = QStringLiteral("CSpreadSheetBackup");

namespace {

const QChar kQuote = QLatin1Char('"');

// A value's own copies of the separator are escaped in the joined row (and so are the escape
// character's own copies), so that splitting finds only the real separators: a value holding
// the separator never spills into the next column.
const QChar kEscape(0xE000); // a private-use character
const QChar kEscapedSeparator = QLatin1Char('s');

QString escapeValue(const QString& value, const QString& separator) {
    const bool hasSeparator = !separator.isEmpty() && value.contains(separator);
    if (!hasSeparator && !value.contains(kEscape))
        return value;
    QString out = value;
    out.replace(kEscape, QString(2, kEscape));
    if (hasSeparator)
        out.replace(separator, QString(kEscape) + kEscapedSeparator);
    return out;
}

QString unescapeValue(const QString& value, const QString& separator) {
    if (!value.contains(kEscape))
        return value;
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) == kEscape && i + 1 < value.size()) {
            if (value.at(i + 1) == kEscape) {
                out += kEscape;
                ++i;
                continue;
            }
            if (value.at(i + 1) == kEscapedSeparator) {
                out += separator;
                ++i;
                continue;
            }
        }
        out += value.at(i);
    }
    return out;
}

QStringList unescapeValues(QStringList values, const QString& separator) {
    for (QString& v : values)
        v = unescapeValue(v, separator);
    return values;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (f.write(bytes) != bytes.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

} // namespace

CExcelCtrl::CExcelCtrl(const QString& file, const QString& sheetOrSeparator, bool backup)
    : m_bBackup(backup), m_sFile(file) {
    m_bExcel = file.right(4).toLower() == QLatin1String(".xls");
    if (m_bExcel) {
        m_sSheetName = sheetOrSeparator;
        m_sSeparator = kExcelSeparator;
        GetExcelDriver();
        if (Open() && m_bBackup && m_bAppend) {
            // Copy what the sheet holds into the backup sheet of the same workbook.
            const QString sheet = m_sSheetName;
            m_sSheetName = kBackupSheet;
            m_bAppend = false;
            if (!Commit())
                m_bBackup = false;
            m_bAppend = true;
            m_sSheetName = sheet;
            m_dCurrentRow = 1;
        }
    } else {
        m_sSeparator = sheetOrSeparator;
        if (Open() && m_bBackup && m_bAppend) {
            const QString path = m_sFile;
            m_sFile = QStringLiteral("%1.bak").arg(path);
            if (!Commit())
                m_bBackup = false;
            m_sFile = path;
        }
    }
}

CExcelCtrl::~CExcelCtrl() = default;

void CExcelCtrl::GetExcelDriver() {
    // Workbooks are written by the program's own writer; there is no driver to look up.
    m_sExcelDriver = QStringLiteral("BIFF8 workbook writer");
}

QString CExcelCtrl::JoinRow(const QStringList& values, const QString& separator) {
    QString joined;
    qsizetype size = 0;
    for (const QString& v : values)
        size += v.size() + 2 + separator.size();
    joined.reserve(size);
    for (qsizetype i = 0; i < values.size(); ++i) {
        joined += kQuote;
        joined += escapeValue(values.at(i), separator);
        joined += kQuote;
        if (i + 1 < values.size())
            joined += separator;
    }
    return joined;
}

QStringList CExcelCtrl::SplitRow(const QString& joined, const QString& separator) {
    const QString quoted = kQuote + separator + kQuote;
    if (!separator.isEmpty() && joined.contains(quoted)) {
        QStringList values = joined.split(quoted);
        QString& first = values.first();
        if (first.startsWith(kQuote))
            first.remove(0, 1);
        QString& last = values.last();
        if (last.endsWith(kQuote))
            last.chop(1);
        return unescapeValues(values, separator);
    }
    if (!separator.isEmpty() && joined.contains(separator))
        return unescapeValues(joined.split(separator), separator);
    QString value = joined;
    if (value.size() >= 2 && value.startsWith(kQuote) && value.endsWith(kQuote))
        value = value.mid(1, value.size() - 2);
    return {unescapeValue(value, separator)};
}

QString CExcelCtrl::RowString(int row) const {
    if (row < 1 || row > m_aRows.size())
        return QString();
    return m_aRows.at(row - 1);
}

bool CExcelCtrl::AddHeaders(const QStringList& fieldNames, bool replace) {
    if (!m_bAppend) {
        m_dTotalColumns = static_cast<qint16>(fieldNames.size());
        if (!AddRow(fieldNames, 1, replace))
            return false;
        if (m_dTotalRows < 1)
            m_dTotalRows = 1;
        return true;
    }
    if (replace)
        return AddRow(fieldNames, 1, true);

    QStringList names;
    if (!ReadRow(names, 1))
        return false;
    if (m_bExcel) {
        for (const QString& name : fieldNames) {
            if (names.contains(name)) {
                m_sLastError = QStringLiteral("Duplicate header row field:%1\n").arg(name);
                return false;
            }
        }
    }
    names += fieldNames;
    if (!AddRow(names, 1, true)) {
        m_sLastError = QStringLiteral("Problems with adding headers\n");
        return false;
    }
    m_dTotalColumns = static_cast<qint16>(names.size());
    return true;
}

bool CExcelCtrl::AddRow(const QStringList& rowValues, int row, bool replace) {
    if (row < 0) {
        m_sLastError = QStringLiteral("Row number cannot be negative\n");
        return false;
    }
    if (row == 1) {
        if (m_bExcel) {
            for (qsizetype i = 0; i < rowValues.size(); ++i) {
                for (qsizetype j = i + 1; j < rowValues.size(); ++j) {
                    if (rowValues.at(i) == rowValues.at(j)) {
                        m_sLastError =
                            QStringLiteral("Duplicate header row field:%1\n").arg(rowValues.at(i));
                        return false;
                    }
                }
            }
            if (rowValues.size() < m_dTotalColumns) {
                m_sLastError =
                    QStringLiteral("Number of columns in new header row cannot be less than the "
                                   "number of columns in previous header row");
                return false;
            }
            m_dTotalColumns = static_cast<qint16>(rowValues.size());
        }
        m_aFieldNames = rowValues;
    } else if (m_bExcel) {
        if (m_aFieldNames.isEmpty()) {
            m_sLastError = QStringLiteral("No header row. Add header row first\n");
            return false;
        }
        if (rowValues.size() > m_aFieldNames.size()) {
            m_sLastError = QStringLiteral(
                "Number of columns to be added cannot be greater than the number of fields\n");
            return false;
        }
    }
    if (!m_bExcel && rowValues.size() > m_dTotalColumns)
        m_dTotalColumns = static_cast<qint16>(rowValues.size());

    const QString joined = JoinRow(rowValues, m_sSeparator);
    if (row == 0) {
        m_aRows.append(joined);
        ++m_dTotalRows;
    } else if (row > m_dTotalRows) {
        // Empty filler rows up to the one before, then the row itself.
        QStringList blanks;
        for (int c = 0; c < m_dTotalColumns; ++c)
            blanks.append(m_bExcel ? QStringLiteral(" ") : QString());
        const QString filler = JoinRow(blanks, m_sSeparator);
        while (m_aRows.size() < row - 1)
            m_aRows.append(filler);
        m_aRows.append(joined);
        m_dTotalRows = row;
    } else if (replace) {
        m_aRows[row - 1] = joined;
    } else {
        m_aRows.insert(row - 1, joined);
        ++m_dTotalRows;
    }
    if (!m_bTransaction)
        return Commit();
    return true;
}

bool CExcelCtrl::ReadRow(QStringList& rowValues, int row) {
    if (row > m_dTotalRows) {
        m_sLastError =
            QStringLiteral("Desired row is greater than total number of rows in spreadsheet\n");
        return false;
    }
    if (row < 0)
        return false;
    if (row == 0) {
        if (m_dCurrentRow > m_dTotalRows || m_dCurrentRow < 1)
            return false;
        row = m_dCurrentRow;
    } else {
        m_dCurrentRow = row;
    }
    rowValues = SplitRow(m_aRows.at(row - 1), m_sSeparator);
    ++m_dCurrentRow;
    return true;
}

bool CExcelCtrl::Commit() {
    return m_bExcel ? CommitExcel() : CommitText();
}

bool CExcelCtrl::Open() {
    return m_bExcel ? OpenExcel() : OpenText();
}

bool CExcelCtrl::OpenExcel() {
    // A workbook that does not exist yet is made by the first commit.
    if (!QFileInfo::exists(m_sFile))
        return false;
    QFile f(m_sFile);
    if (!f.open(QIODevice::ReadOnly)) {
        m_sLastError = QStringLiteral("Error in opening file\n");
        return false;
    }
    QVector<Biff::Sheet> sheets;
    QString reason;
    if (!Biff::ReadWorkbook(f.readAll(), &sheets, &reason)) {
        m_sLastError = QStringLiteral("Error in opening workbook: %1\n").arg(reason);
        return false;
    }
    const Biff::Sheet* sheet = nullptr;
    for (const Biff::Sheet& s : sheets)
        if (s.name.compare(m_sSheetName, Qt::CaseInsensitive) == 0)
            sheet = &s;
    if (!sheet)
        return false; // no such sheet

    qsizetype columns = 0;
    for (const QStringList& r : sheet->rows)
        columns = qMax(columns, r.size());
    if (columns != 0) {
        m_bAppend = true;
        m_aRows.clear();
        m_dTotalRows = 1;
        // The first row names the columns; an empty name reads as F1, F2, ...
        QStringList names = sheet->rows.first();
        while (names.size() < columns)
            names.append(QString());
        for (qsizetype c = 0; c < names.size(); ++c)
            if (names.at(c).isEmpty())
                names[c] = QStringLiteral("F%1").arg(c + 1);
        m_aFieldNames = names;
        m_dTotalColumns = static_cast<qint16>(columns);
        m_aRows.append(JoinRow(names, m_sSeparator));
        for (qsizetype r = 1; r < sheet->rows.size(); ++r) {
            QStringList values = sheet->rows.at(r);
            while (values.size() < columns)
                values.append(QString());
            ++m_dTotalRows;
            m_aRows.append(JoinRow(values, m_sSeparator));
        }
    }
    m_dCurrentRow = 1;
    return true;
}

bool CExcelCtrl::OpenText() {
    QFile f(m_sFile);
    if (!f.open(QIODevice::ReadOnly)) {
        m_sLastError = QStringLiteral("Error in opening file\n");
        return false;
    }
    const QString text = QString::fromUtf8(f.readAll());
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    m_aRows.clear();
    int columns = 0;
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        m_aRows.append(line);
        columns = qMax(columns, static_cast<int>(SplitRow(line, m_sSeparator).size()));
    }
    m_dTotalRows = static_cast<int>(m_aRows.size());
    m_dTotalColumns = static_cast<qint16>(columns);
    m_bAppend = columns != 0;
    m_dCurrentRow = 1;
    return true;
}

bool CExcelCtrl::CommitExcel() {
    if (m_aFieldNames.isEmpty()) {
        m_sLastError = QStringLiteral("No header row. Add header row first\n");
        return false;
    }
    if (m_aFieldNames.size() > Biff::kMaxColumns) {
        m_sLastError =
            QStringLiteral("Too many columns for a sheet (at most %1)\n").arg(Biff::kMaxColumns);
        return false;
    }

    // The other sheets of an existing workbook are kept as they are.
    QVector<Biff::Sheet> existing;
    if (QFileInfo::exists(m_sFile)) {
        QFile f(m_sFile);
        QString reason;
        if (!f.open(QIODevice::ReadOnly)) {
            m_sLastError = QStringLiteral("Error in opening file\n");
            return false;
        }
        if (!Biff::ReadWorkbook(f.readAll(), &existing, &reason)) {
            m_sLastError = QStringLiteral("Error in opening workbook: %1\n").arg(reason);
            return false;
        }
    }
    int ours = -1;
    for (int i = 0; i < existing.size(); ++i)
        if (existing.at(i).name.compare(m_sSheetName, Qt::CaseInsensitive) == 0)
            ours = i;
    if (ours >= 0 && !m_bAppend) {
        m_sLastError = QStringLiteral("Table '%1' already exists.\n").arg(m_sSheetName);
        return false;
    }

    Biff::WorkbookWriter book;
    bool full = false;
    auto writeOurs = [&]() {
        const int s = book.AddSheet(m_sSheetName);
        book.AppendRow(s, m_aFieldNames);
        QStringList values;
        for (int i = 1; i < m_dTotalRows; ++i) {
            if (!ReadRow(values, i + 1))
                break;
            if (values.size() > m_aFieldNames.size())
                values = values.mid(0, m_aFieldNames.size());
            if (!book.AppendRow(s, values)) {
                full = true;
                break;
            }
        }
    };
    for (int i = 0; i < existing.size(); ++i) {
        if (i == ours) {
            writeOurs();
            continue;
        }
        const int s = book.AddSheet(existing.at(i).name);
        for (const QStringList& r : existing.at(i).rows)
            book.AppendRow(s, r);
    }
    if (ours < 0)
        writeOurs();

    if (!writeFile(m_sFile, book.FileBytes())) {
        m_sLastError = QStringLiteral("Error writing file\n");
        return false;
    }
    if (!m_bAppend) {
        m_dTotalColumns = static_cast<qint16>(m_aFieldNames.size());
        m_bAppend = true;
    }
    m_bTransaction = false;
    if (full) {
        m_sLastError = QStringLiteral("The sheet holds at most %1 rows; the rows after row %1 "
                                      "were not written\n")
                           .arg(Biff::kMaxRows);
        return false;
    }
    return true;
}

bool CExcelCtrl::CommitText() {
    QByteArray bytes;
    for (const QString& row : m_aRows) {
        bytes += row.toUtf8();
        bytes += "\r\n";
    }
    if (!writeFile(m_sFile, bytes)) {
        m_sLastError = QStringLiteral("Error writing file\n");
        return false;
    }
    return true;
}
