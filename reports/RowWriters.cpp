#include "reports/RowWriters.h"

#include "history/core/CalibrationStates.h"
#include "reports/Csv.h"
#include "reports/ExcelExport.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>

// ---------------------------------------------------------------------------------------
// Format choice and columns

ExportFormat ExportFormatOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".xls")) || name.endsWith(QLatin1String(".XLS")))
        return ExportFormat::Xls;
    if (name.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive))
        return ExportFormat::Xlsx;
    if (name.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        return ExportFormat::Csv;
    return ExportFormat::None;
}

QString ExportSuffix(ExportFormat format) {
    switch (format) {
    case ExportFormat::Xls:
        return QStringLiteral("xls");
    case ExportFormat::Xlsx:
        return QStringLiteral("xlsx");
    case ExportFormat::Csv:
        return QStringLiteral("csv");
    case ExportFormat::None:
        break;
    }
    return QString();
}

QString ExportPathFor(const QString& chosenPath, ExportFormat* format) {
    const QString name = QFileInfo(chosenPath).fileName();
    if (chosenPath.isEmpty() || name.isEmpty())
        return QString();
    if (!name.contains(QLatin1Char('.'))) {
        const ExportFormat f =
            format && *format != ExportFormat::None ? *format : ExportFormat::Xls;
        if (format)
            *format = f;
        return chosenPath + QLatin1Char('.') + ExportSuffix(f);
    }
    const ExportFormat f = ExportFormatOf(chosenPath);
    if (format)
        *format = f;
    return f == ExportFormat::None ? QString() : chosenPath;
}

QVector<ExportColumn> ExportColumnsOf(const QVector<HistoryColumn>& columns) {
    QVector<ExportColumn> out;
    out.reserve(columns.size());
    for (qsizetype c = 0; c < columns.size(); ++c) {
        ExportColumn column{columns.at(c).heading, ColumnKind::Text};
        if (columns.at(c).kind == HistoryColumn::Fixed) {
            switch (columns.at(c).index) {
            case 1:
                column.kind = ColumnKind::RecordNo;
                break;
            case 2:
                column.kind = ColumnKind::Day;
                break;
            case 3:
                column.kind = ColumnKind::Hour;
                break;
            case 5:
                column.kind = ColumnKind::Result;
                break;
            default:
                break;
            }
        }
        out.append(column);
    }
    return out;
}

QStringList ExportHeadings(const QVector<ExportColumn>& columns) {
    QStringList names;
    for (const ExportColumn& column : columns) {
        QString text = column.heading.left(kXlsCellChars);
        text.remove(QLatin1Char('.'));
        if (!text.isEmpty() && names.contains(text)) {
            int n = 2;
            while (names.contains(QStringLiteral("%1 (%2)").arg(text).arg(n)))
                ++n;
            text = QStringLiteral("%1 (%2)").arg(text).arg(n);
        }
        names.append(text);
    }
    return names;
}

std::unique_ptr<IRowWriter> MakeRowWriter(ExportFormat format, const QString& path) {
    switch (format) {
    case ExportFormat::Xls:
        return std::make_unique<CXlsRowWriter>(path);
    case ExportFormat::Xlsx:
        return std::make_unique<CXlsxRowWriter>(path);
    case ExportFormat::Csv:
        return std::make_unique<CCsvRowWriter>(path);
    case ExportFormat::None:
        break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// .xls

bool CXlsRowWriter::Begin(const QVector<ExportColumn>& columns) {
    m_headings.clear();
    for (const ExportColumn& column : columns)
        m_headings.append(column.heading);
    m_rows.clear();
    return true;
}

bool CXlsRowWriter::Row(const QStringList& values) {
    if (m_rows.size() >= kXlsMaxRows) {
        m_error = QStringLiteral("an .xls sheet holds at most %1 rows").arg(kXlsMaxRows);
        return false;
    }
    m_rows.append(values);
    return true;
}

bool CXlsRowWriter::Finish() {
    QString error;
    const bool ok = ExportListToXls(m_path, m_headings, m_rows, &error);
    m_rows.clear();
    if (!ok)
        m_error = error.trimmed().isEmpty() ? QStringLiteral("the workbook could not be written")
                                            : error.trimmed();
    return ok;
}

// ---------------------------------------------------------------------------------------
// CSV

struct CCsvRowWriter::File {
    QFile file;
};

CCsvRowWriter::CCsvRowWriter(const QString& path) : m_file(new File), m_path(path) {}

CCsvRowWriter::~CCsvRowWriter() = default;

bool CCsvRowWriter::Begin(const QVector<ExportColumn>& columns) {
    m_file->file.setFileName(m_path);
    if (!m_file->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = m_file->file.errorString();
        return false;
    }
    m_columns = static_cast<int>(columns.size());
    m_buffer.reserve(1 << 20);
    m_buffer.append(Csv::kBom);
    m_buffer.append(Csv::Line(ExportHeadings(columns)));
    return true;
}

// Appends a field that needs neither quotes nor the apostrophe and is plain ASCII as it is;
// false (nothing appended) for any other field.
static bool AppendPlainField(QByteArray& buffer, const QString& text) {
    const char16_t* data = reinterpret_cast<const char16_t*>(text.constData());
    const qsizetype size = text.size();
    if (size == 0)
        return true;
    const char16_t first = data[0];
    if (first == u'=' || first == u'+' || first == u'-' || first == u'@' || first == u'\t' ||
        first == u'\r')
        return false;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = data[i];
        if (c >= 0x80 || c == u',' || c == u'"' || c == u'\r' || c == u'\n')
            return false;
    }
    const qsizetype at = buffer.size();
    buffer.resize(at + size);
    char* out = buffer.data() + at;
    for (qsizetype i = 0; i < size; ++i)
        out[i] = static_cast<char>(data[i]);
    return true;
}

bool CCsvRowWriter::Row(const QStringList& values) {
    for (int c = 0; c < m_columns; ++c) {
        if (c > 0)
            m_buffer.append(',');
        if (c < values.size() && !AppendPlainField(m_buffer, values.at(c)))
            m_buffer.append(Csv::Field(values.at(c)));
    }
    m_buffer.append("\r\n", 2);
    return m_buffer.size() < (1 << 20) || Flush();
}

bool CCsvRowWriter::Flush() {
    if (m_buffer.isEmpty())
        return true;
    if (m_file->file.write(m_buffer) != m_buffer.size()) {
        m_error = m_file->file.errorString();
        return false;
    }
    m_buffer.clear();
    return true;
}

bool CCsvRowWriter::Finish() {
    if (!m_file->file.isOpen())
        return false;
    bool ok = Flush() && m_file->file.flush();
    if (!ok && m_error.isEmpty())
        m_error = m_file->file.errorString();
    // Data still in the system's buffers must reach the disk before the file is renamed
    // into place, or a crash could leave a short file under the final name.
    ok = ok && m_file->file.handle() >= 0 && ::fsync(m_file->file.handle()) == 0;
    if (!ok && m_error.isEmpty())
        m_error = QStringLiteral("the file could not be written to the disk");
    m_file->file.close();
    return ok;
}

// ---------------------------------------------------------------------------------------
// .xlsx

namespace {

// Width of a text in the sheet's character units: East Asian characters take two.
int TextWidth(const QString& text) {
    int width = 0;
    for (QChar c : text)
        width += c.unicode() >= 0x1100 && !c.isLowSurrogate() ? 2 : 1;
    return width;
}

// The digits after the decimal point of a plain number without exponent; -1 with one.
int Decimals(const QString& number) {
    if (number.contains(QLatin1Char('e')) || number.contains(QLatin1Char('E')))
        return -1;
    const qsizetype dot = number.indexOf(QLatin1Char('.'));
    return dot < 0 ? 0 : static_cast<int>(number.size() - dot - 1);
}

int Digits(const QString& s, int from, int count) {
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = s.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

} // namespace

// In constant-memory mode the rows go to a temporary file whose write errors (a full disk)
// the library does not report: look at the file's error flag ourselves.
static bool SheetFileFailed(lxw_worksheet* sheet) {
    return (sheet->optimize_tmpfile && ferror(sheet->optimize_tmpfile)) ||
           (sheet->file && ferror(sheet->file));
}

struct CXlsxRowWriter::Book {
    lxw_workbook* workbook = nullptr;
    lxw_worksheet* sheet = nullptr;
    lxw_format* bold = nullptr;
    lxw_format* day = nullptr;
    lxw_format* hour = nullptr;
    lxw_format* numbers[11] = {};
    QVector<ColumnKind> kinds;
    QVector<int> widths;
    lxw_row_t row = 0; // the last row written
    QByteArray utf8;
};

CXlsxRowWriter::CXlsxRowWriter(const QString& path) : m_book(new Book), m_path(path) {}

CXlsxRowWriter::~CXlsxRowWriter() {
    // Not finished (an error or a cancelled export): close to free the library's memory and
    // temporary files; the caller removes the file.
    if (m_book->workbook)
        workbook_close(m_book->workbook);
}

bool CXlsxRowWriter::Begin(const QVector<ExportColumn>& columns) {
    if (columns.isEmpty() || columns.size() > LXW_COL_MAX) {
        m_error = QStringLiteral("a sheet holds 1 to %1 columns").arg(LXW_COL_MAX);
        return false;
    }
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    const QByteArray path = QFile::encodeName(m_path);
    Book& b = *m_book;
    b.workbook = workbook_new_opt(path.constData(), &options);
    if (!b.workbook) {
        m_error = QStringLiteral("the workbook could not be made");
        return false;
    }
    b.sheet = workbook_add_worksheet(b.workbook, "Value");
    b.bold = workbook_add_format(b.workbook);
    format_set_bold(b.bold);
    b.day = workbook_add_format(b.workbook);
    format_set_num_format(b.day, "yyyy-mm-dd");
    b.hour = workbook_add_format(b.workbook);
    format_set_num_format(b.hour, "hh:mm:ss");
    for (int d = 0; d < 11; ++d) {
        b.numbers[d] = workbook_add_format(b.workbook);
        const QByteArray pattern = d == 0 ? QByteArray("0") : "0." + QByteArray(d, '0');
        format_set_num_format(b.numbers[d], pattern.constData());
    }
    if (!b.sheet) {
        m_error = QStringLiteral("the sheet could not be made");
        return false;
    }

    const QStringList headings = ExportHeadings(columns);
    b.kinds.clear();
    b.widths.clear();
    for (qsizetype c = 0; c < columns.size(); ++c) {
        b.kinds.append(columns.at(c).kind);
        // Bold text needs a little more room; the filter button needs two more characters.
        b.widths.append(TextWidth(headings.at(c)) + 3);
        b.utf8 = headings.at(c).toUtf8();
        const lxw_error e = worksheet_write_string(b.sheet, 0, static_cast<lxw_col_t>(c),
                                                   b.utf8.constData(), b.bold);
        if (e != LXW_NO_ERROR) {
            m_error = QString::fromUtf8(lxw_strerror(e));
            return false;
        }
    }
    b.row = 0;
    return true;
}

bool CXlsxRowWriter::Row(const QStringList& values) {
    Book& b = *m_book;
    if (!b.sheet)
        return false;
    if (b.row >= kXlsxMaxRows) {
        m_error = QStringLiteral("an .xlsx sheet holds at most %L1 rows").arg(kXlsxMaxRows);
        return false;
    }
    const lxw_row_t r = ++b.row;
    const int count = static_cast<int>(qMin<qsizetype>(values.size(), b.kinds.size()));
    for (int c = 0; c < count; ++c) {
        const QString& text = values.at(c);
        if (text.isEmpty())
            continue;
        const lxw_col_t col = static_cast<lxw_col_t>(c);
        lxw_error e = LXW_NO_ERROR;
        bool written = false;
        int width = 0;
        switch (b.kinds.at(c)) {
        case ColumnKind::Result:
            if (Csv::IsPlainNumber(text)) {
                bool ok = false;
                const double value = text.toDouble(&ok);
                const int decimals = Decimals(text);
                if (ok) {
                    e = worksheet_write_number(b.sheet, r, col, value,
                                               decimals >= 0 && decimals <= 10 ? b.numbers[decimals]
                                                                               : nullptr);
                    written = true;
                    width = static_cast<int>(text.size());
                }
            }
            break;
        case ColumnKind::Day:
            if (text.size() == 10 && text.at(4) == u'-' && text.at(7) == u'-') {
                const int y = Digits(text, 0, 4), m = Digits(text, 5, 2), d = Digits(text, 8, 2);
                // Sheets count days from 1900; an earlier day stays text.
                if (y >= 1900 && QDate::isValid(y, m, d)) {
                    lxw_datetime dt{y, m, d, 0, 0, 0.0};
                    e = worksheet_write_datetime(b.sheet, r, col, &dt, b.day);
                    written = true;
                    width = 10;
                }
            }
            break;
        case ColumnKind::Hour:
            if (text.size() == 8 && text.at(2) == u':' && text.at(5) == u':') {
                const int h = Digits(text, 0, 2), m = Digits(text, 3, 2), s = Digits(text, 6, 2);
                if (h >= 0 && h < 24 && m >= 0 && m < 60 && s >= 0 && s < 60) {
                    e = worksheet_write_number(b.sheet, r, col, (h * 3600 + m * 60 + s) / 86400.0,
                                               b.hour);
                    written = true;
                    width = 8;
                }
            }
            break;
        case ColumnKind::RecordNo:
        case ColumnKind::Text:
            break;
        }
        if (!written) {
            b.utf8 = text.toUtf8();
            e = worksheet_write_string(b.sheet, r, col, b.utf8.constData(), nullptr);
            width = TextWidth(text);
        }
        if (e != LXW_NO_ERROR) {
            m_error = QString::fromUtf8(lxw_strerror(e));
            return false;
        }
        // A little room between a cell's text and the next column's.
        if (width + 2 > b.widths.at(c))
            b.widths[c] = width + 2;
    }
    if ((r & 1023) == 0 && SheetFileFailed(b.sheet)) {
        m_error = QStringLiteral("the rows could not be written (is the disk full?)");
        return false;
    }
    return true;
}

bool CXlsxRowWriter::Finish() {
    Book& b = *m_book;
    if (!b.workbook)
        return false;
    for (qsizetype c = 0; c < b.widths.size(); ++c)
        // Character counts in the sheet's unit (the width of a digit): proportional fonts
        // and bold headings need a little more.
        worksheet_set_column(b.sheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                             std::min(b.widths.at(c) * 1.15, 90.0), nullptr);
    if ((b.sheet->optimize_tmpfile && fflush(b.sheet->optimize_tmpfile) != 0) ||
        SheetFileFailed(b.sheet)) {
        m_error = QStringLiteral("the rows could not be written (is the disk full?)");
        return false;
    }
    worksheet_freeze_panes(b.sheet, 1, 0);
    worksheet_autofilter(b.sheet, 0, 0, b.row, static_cast<lxw_col_t>(b.kinds.size() - 1));
    const lxw_error e = workbook_close(b.workbook);
    b.workbook = nullptr;
    b.sheet = nullptr;
    if (e != LXW_NO_ERROR) {
        m_error = QString::fromUtf8(lxw_strerror(e));
        return false;
    }
    // The library closes its file without syncing: make the data durable before the rename.
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || ::fsync(file.handle()) != 0) {
        m_error = QStringLiteral("the workbook could not be written to the disk");
        return false;
    }
    return true;
}

QVector<ExportColumn> ExportColumnsOf(const QVector<HistoryColumn>& columns,
                                      const CLanguage& texts) {
    QVector<ExportColumn> out = ExportColumnsOf(columns);
    out.append({CCalibrationStates::Heading(texts), ColumnKind::Text});
    return out;
}

QStringList ExportCellsOf(const HistoryRow& row, const QString& unknown) {
    QStringList cells = row.cells;
    cells.append(row.calibration.isEmpty() ? unknown : row.calibration);
    return cells;
}
