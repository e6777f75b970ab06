#pragma once
// The export formats of the history list, each an IRowWriter: the .xls workbook (the same
// bytes as ExportListToXls), the .xlsx workbook (typed cells, written as the rows come) and
// CSV. Also the choice of format by file name and the column kinds of the list's columns.
#include "base/Language.h"
#include "history/core/HistoryQuery.h"
#include "history/core/RecordSource.h"
#include "reports/RowWriter.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

enum class ExportFormat { None, Xls, Xlsx, Csv };

// The format a file name asks for by its extension: exactly ".xls" or ".XLS" (the workbook
// rules of the list export), ".xlsx" or ".csv" in any case; anything else: None.
ExportFormat ExportFormatOf(const QString& path);
// "xls", "xlsx" or "csv" (empty for None).
QString ExportSuffix(ExportFormat format);

// The path to write for a name chosen in the save dialog with the given format chosen there:
// a name without "." gets that format's extension; a name with an extension keeps it and
// the extension picks the format (*format is updated). An unknown extension gives "".
QString ExportPathFor(const QString& chosenPath, ExportFormat* format);

// The list's columns for a writer: their headings, and as kind record number, day, hour and
// result for those fixed columns, text for the rest.
QVector<ExportColumn> ExportColumnsOf(const QVector<HistoryColumn>& columns);
// The same with the records' calibration state as the last column, so every other column
// keeps its place (texts: its heading).
QVector<ExportColumn> ExportColumnsOf(const QVector<HistoryColumn>& columns,
                                      const CLanguage& texts);
// A row's cells for those columns: the shown cells, then its calibration state (unknown
// when its store does not work it out, as the central one).
QStringList ExportCellsOf(const HistoryRow& row, const QString& unknown);

// The heading cells of the new formats: at most 60 characters, without full stops, a
// repeated heading numbered " (2)", " (3)" ... as in the .xls sheet. Empty headings stay
// empty (the column is kept, unlike in the .xls sheet).
QStringList ExportHeadings(const QVector<ExportColumn>& columns);

// A writer for the format into path (nullptr for None).
std::unique_ptr<IRowWriter> MakeRowWriter(ExportFormat format, const QString& path);

// Rows an .xlsx sheet holds under its heading row.
constexpr qint64 kXlsxMaxRows = 1048575;
// Rows an .xls sheet holds under its heading row.
constexpr qint64 kXlsMaxRows = 65535;

// .xls: keeps the rows and writes them with ExportListToXls at Finish.
class CXlsRowWriter : public IRowWriter {
public:
    explicit CXlsRowWriter(const QString& path) : m_path(path) {}
    bool Begin(const QVector<ExportColumn>& columns) override;
    bool Row(const QStringList& values) override;
    bool Finish() override;
    QString Error() const override { return m_error; }

private:
    QString m_path;
    QString m_error;
    QStringList m_headings;
    QVector<QStringList> m_rows;
};

// CSV (Csv.h): byte-order mark, the heading line, one line per row; written in blocks.
class CCsvRowWriter : public IRowWriter {
public:
    explicit CCsvRowWriter(const QString& path);
    ~CCsvRowWriter() override;
    bool Begin(const QVector<ExportColumn>& columns) override;
    bool Row(const QStringList& values) override;
    bool Finish() override;
    QString Error() const override { return m_error; }

private:
    bool Flush();
    struct File;
    std::unique_ptr<File> m_file;
    QString m_path;
    QString m_error;
    QByteArray m_buffer;
    int m_columns = 0;
};

// .xlsx through libxlsxwriter in its constant-memory mode: sheet "Value", a bold frozen
// heading row, an auto-filter over the used range and column widths that fit the texts.
class CXlsxRowWriter : public IRowWriter {
public:
    explicit CXlsxRowWriter(const QString& path);
    ~CXlsxRowWriter() override;
    bool Begin(const QVector<ExportColumn>& columns) override;
    bool Row(const QStringList& values) override;
    bool Finish() override;
    QString Error() const override { return m_error; }

private:
    struct Book;
    std::unique_ptr<Book> m_book;
    QString m_path;
    QString m_error;
};
