// The export formats read back by independent readers (openpyxl, ssconvert, Python's csv
// module, LibreOffice when installed), the .xls writer against the list export, and what
// bad targets, full disks and cancelled exports leave behind.
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"

#include "reports/Csv.h"
#include "reports/ExcelExport.h"
#include "reports/ExportJob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace exporttest;

namespace {

const QVector<ExportColumn> kColumns = {
    {"Machine NO.", ColumnKind::Text}, {"Record No.", ColumnKind::RecordNo},
    {"Date", ColumnKind::Day},         {"Time", ColumnKind::Hour},
    {"Result", ColumnKind::Result},    {"Name", ColumnKind::Text},
    {"Name", ColumnKind::Text}, // a repeated title
};

// Texts a record may hold, each to arrive exactly as stored.
QVector<QStringList> HostileRows() {
    return {
        {"000000000012", "00007", "2024-03-05", "08:09:10", "0.050", "Plain", ""},
        {"000000000012", "8", "2024-02-29", "23:59:59", "-0.05", "=SUM(A1:A2)", "+1-2"},
        {"000000000012", "9", "1899-12-31", "24:00:00", "n/a", "a,b;c\"d\"", "line1\nline2\r\nx"},
        {"000000000012", "10", "2024-13-01", "", "1e-3", "<b>x</b>&amp;", "@cmd"},
        {"000000000012", "11", "", "7:00:00", "", QString(255, QChar(u'W')), "测试,中文"},
        {"000000000012", "12", "2024-03-05", "12:00:00", "12", "\tTab", "-"},
    };
}

ExportRequest Request(const QString& path, const QVector<QStringList>& rows) {
    ExportRequest r;
    r.path = path;
    r.format = ExportFormatOf(path);
    r.columns = kColumns;
    r.total = rows.size();
    r.rows = [rows](const ExportRowSink& sink, QString*) {
        for (const QStringList& row : rows)
            if (!sink(row))
                break;
        return true;
    };
    return r;
}

// Files in a folder other than the ones named.
QStringList Leftovers(const QString& folder, const QStringList& expected = {}) {
    QStringList names =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& e : expected)
        names.removeAll(e);
    return names;
}

// The text a spreadsheet cell must show for a stored text in CSV (the apostrophe rule).
QString CsvText(const QString& stored) {
    static const QString risky = QStringLiteral("=+-@\t\r");
    if (!stored.isEmpty() && risky.contains(stored.front()) && !Csv::IsPlainNumber(stored))
        return "'" + stored;
    return stored;
}

class RowWriterTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString file(const QString& name) const { return dir.filePath(name); }
};

} // namespace

TEST_F(RowWriterTest, XlsWriterGivesTheListExportsBytes) {
    const QVector<QStringList> rows = HostileRows();
    QStringList headings;
    for (const ExportColumn& c : kColumns)
        headings << c.heading;
    ASSERT_TRUE(ExportListToXls(file("list.xls"), headings, rows));
    const ExportResult r = RunExport(Request(file("rows.xls"), rows));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.rows, rows.size());
    const QByteArray expected = readFile(file("list.xls"));
    ASSERT_GT(expected.size(), 512);
    EXPECT_EQ(readFile(file("rows.xls")), expected);
}

TEST_F(RowWriterTest, XlsxHasTypedCellsAndTheStoredTexts) {
    const QVector<QStringList> rows = HostileRows();
    const ExportResult r = RunExport(Request(file("rows.xlsx"), rows));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(Leftovers(dir.path(), {"rows.xlsx"}), QStringList());

    const QJsonObject book = readWithOpenpyxl(file("rows.xlsx")).object();
    ASSERT_FALSE(book.isEmpty());
    EXPECT_EQ(book.value("sheet").toString(), "Value");
    EXPECT_EQ(book.value("freeze").toString(), "A2");
    EXPECT_EQ(book.value("filter").toString(), "A1:G7");
    EXPECT_TRUE(book.value("bold").toBool());
    const QJsonArray out = book.value("rows").toArray();
    ASSERT_EQ(out.size(), 1 + rows.size());
    auto cell = [&](int r, int c) {
        const QJsonArray v = out.at(r).toArray().at(c).toArray();
        return std::make_pair(v.at(0).toString(), v.at(1).toString());
    };
    const QStringList headings = {"Machine NO", "Record No", "Date",    "Time",
                                  "Result",     "Name",      "Name (2)"};
    for (int c = 0; c < headings.size(); ++c)
        EXPECT_EQ(cell(0, c), std::make_pair(QString("s"), headings[c]));
    // Widths fit the texts: the 255-character column is wide, none is left at the default.
    const QJsonArray widths = book.value("widths").toArray();
    EXPECT_GT(widths.at(5).toDouble(), 50);
    EXPECT_GE(widths.at(2).toDouble(), 10);

    using P = std::pair<QString, QString>;
    struct Expect {
        int row, col;
        P value;
    };
    const Expect typed[] = {
        {1, 1, {"s", "00007"}},   {1, 2, {"d", "2024-03-05"}}, {1, 3, {"t", "08:09:10"}},
        {1, 4, {"n", "0.05"}},    {2, 2, {"d", "2024-02-29"}}, {2, 3, {"t", "23:59:59"}},
        {2, 4, {"n", "-0.05"}},   {3, 2, {"s", "1899-12-31"}}, {3, 3, {"s", "24:00:00"}},
        {3, 4, {"s", "n/a"}},     {4, 2, {"s", "2024-13-01"}}, {4, 4, {"n", "0.001"}},
        {5, 3, {"s", "7:00:00"}}, {6, 4, {"n", "12.0"}},       {1, 6, {"", ""}},
    };
    for (const Expect& e : typed)
        EXPECT_EQ(cell(e.row, e.col), e.value) << e.row << "," << e.col;
    // Text columns arrive exactly as stored, formulas included as plain text.
    for (int r = 0; r < rows.size(); ++r)
        for (int c : {0, 5, 6})
            if (!rows[r][c].isEmpty()) {
                // A CR is kept in the file as the escape "_x000D_" (XML would turn a raw
                // CR into LF), which spreadsheet programs read as CR; openpyxl shows it.
                const QString text = QString(rows[r][c]).replace("\r", "_x000D_");
                EXPECT_EQ(cell(r + 1, c), P("s", text)) << r << "," << c;
            }

    // Gnumeric reads the same workbook.
    const QVector<QStringList> gnumeric = readWithSsconvert(file("rows.xlsx"));
    ASSERT_EQ(gnumeric.size(), 1 + rows.size());
    EXPECT_EQ(gnumeric[1][5], "Plain");
    EXPECT_EQ(gnumeric[2][5], "=SUM(A1:A2)");
    EXPECT_EQ(gnumeric[5][5], QString(255, QChar(u'W')));
    EXPECT_EQ(gnumeric[5][6], "测试,中文");
}

TEST_F(RowWriterTest, CsvReadsBackAsStoredWithTheApostropheRule) {
    const QVector<QStringList> rows = HostileRows();
    const ExportResult r = RunExport(Request(file("rows.csv"), rows));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const QByteArray bytes = readFile(file("rows.csv"));
    EXPECT_TRUE(
        bytes.startsWith("\xEF\xBB\xBFMachine NO,Record No,Date,Time,Result,Name,Name (2)\r\n"));
    EXPECT_TRUE(bytes.endsWith("\r\n"));

    const QVector<QStringList> back = readCsvWithPython(file("rows.csv"));
    ASSERT_EQ(back.size(), 1 + rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        QStringList expected;
        for (const QString& v : rows[i])
            expected << CsvText(v);
        EXPECT_EQ(back[i + 1], expected) << i;
    }
    EXPECT_EQ(back[2][4], "-0.05"); // a plain number keeps its sign
    EXPECT_EQ(back[2][5], "'=SUM(A1:A2)");

    bool haveSoffice = false;
    const QVector<QStringList> office = readWithSoffice(file("rows.csv"), &haveSoffice);
    if (haveSoffice) {
        ASSERT_EQ(office.size(), 1 + rows.size());
        EXPECT_EQ(office[3][5], "a,b;c\"d\"");
        EXPECT_EQ(office[5][6], "测试,中文");
    }
}

TEST_F(RowWriterTest, XlsxOpensInLibreOffice) {
    bool haveSoffice = false;
    ASSERT_TRUE(RunExport(Request(file("rows.xlsx"), HostileRows())).ok);
    const QVector<QStringList> office = readWithSoffice(file("rows.xlsx"), &haveSoffice);
    if (!haveSoffice)
        GTEST_SKIP() << "LibreOffice is not installed";
    ASSERT_EQ(office.size(), 7);
    EXPECT_EQ(office[0][6], "Name (2)");
    EXPECT_EQ(office[1][2], "2024-03-05");
    EXPECT_EQ(office[1][3], "08:09:10");
    EXPECT_EQ(office[2][5], "=SUM(A1:A2)");
}

// Every format, every bad target: a clear error, no partial file, an existing file intact.
TEST_F(RowWriterTest, BadTargetsLeaveNothingBehind) {
    QDir().mkpath(file("folder.csv"));
    for (const char* ext : {"xls", "xlsx", "csv"}) {
        SCOPED_TRACE(ext);
        const QString keep = file(QString("keep.%1").arg(ext));
        ASSERT_TRUE(writeFile(keep, "old contents"));
        struct Case {
            QString path;
            const char* error;
        };
        const Case cases[] = {
            {file("folder.csv"), "is a folder"},
            {file(QString("missing/x.%1").arg(ext)), "does not exist"},
            {QString("/proc/x.%1").arg(ext), "cannot write"},
            {file("x.txt"), ".xls, .xlsx or .csv"},
        };
        for (const Case& c : cases) {
            ExportRequest req = Request(c.path, HostileRows());
            if (ExportFormatOf(c.path) == ExportFormat::None)
                req.format = ExportFormat::None;
            else if (!c.path.endsWith(ext))
                req.format = ExportFormatOf(QString("x.") + ext);
            const ExportResult r = RunExport(req);
            EXPECT_FALSE(r.ok) << c.path.toStdString();
            EXPECT_TRUE(r.error.contains(c.error)) << r.error.toStdString();
        }

        // Cancelled midway: the existing file keeps its contents.
        std::atomic<bool> cancel{false};
        ExportRequest req = Request(keep, HostileRows());
        req.rows = [&](const ExportRowSink& sink, QString*) {
            for (int i = 0; i < 5000; ++i) {
                if (i == 100)
                    cancel = true;
                if (!sink(HostileRows()[i % 6]))
                    break;
            }
            return true;
        };
        ExportResult r = RunExport(req, {}, &cancel);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.cancelled);
        EXPECT_EQ(r.rows, 100);
        EXPECT_EQ(readFile(keep), "old contents");

        // A row source that fails: the same.
        req.rows = [](const ExportRowSink& sink, QString* error) {
            sink(HostileRows()[0]);
            *error = "the database went away";
            return false;
        };
        r = RunExport(req);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "the database went away");
        EXPECT_EQ(readFile(keep), "old contents");
    }
    EXPECT_EQ(Leftovers(dir.path(), {"keep.xls", "keep.xlsx", "keep.csv"}), QStringList());
}

// A full disk (a file size limit gives the same write error): no partial file remains.
TEST_F(RowWriterTest, FullDiskFailsCleanly) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    for (const char* name : {"big.csv", "big.xlsx"}) {
        SCOPED_TRACE(name);
        ExportRequest req = Request(file(name), {});
        req.rows = [](const ExportRowSink& sink, QString*) {
            QStringList row = HostileRows()[0];
            for (int i = 0; i < 200000; ++i) {
                row[1] = QString::number(i);
                row[5] = QString::number(quint64(i) * 2654435761u, 36);
                if (!sink(row))
                    break;
            }
            return true;
        };
        rlimit small = old;
        small.rlim_cur = 64 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
        const ExportResult r = RunExport(req);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_FALSE(r.ok) << QFileInfo(file(name)).size();
        EXPECT_FALSE(r.error.isEmpty());
    }
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(Leftovers(dir.path()), QStringList());
}

TEST(ExportFormat, ChosenByExtensionOrDialogType) {
    struct Case {
        const char* chosen;
        ExportFormat dialog;
        const char* path;
        ExportFormat format;
    };
    const Case cases[] = {
        {"/t/list", ExportFormat::Xls, "/t/list.xls", ExportFormat::Xls},
        {"/t/list", ExportFormat::Xlsx, "/t/list.xlsx", ExportFormat::Xlsx},
        {"/t/list", ExportFormat::Csv, "/t/list.csv", ExportFormat::Csv},
        {"/t/list.csv", ExportFormat::Xls, "/t/list.csv", ExportFormat::Csv},
        {"/t/list.XLSX", ExportFormat::Csv, "/t/list.XLSX", ExportFormat::Xlsx},
        {"/t/list.XLS", ExportFormat::Xlsx, "/t/list.XLS", ExportFormat::Xls},
        {"/t/list.Xls", ExportFormat::Xls, "", ExportFormat::None},
        {"/t/list.txt", ExportFormat::Csv, "", ExportFormat::None},
        {"/t.d/list", ExportFormat::Csv, "/t.d/list.csv", ExportFormat::Csv},
    };
    for (const Case& c : cases) {
        ExportFormat f = c.dialog;
        EXPECT_EQ(ExportPathFor(c.chosen, &f), QString(c.path)) << c.chosen;
        if (*c.path) {
            EXPECT_EQ(f, c.format) << c.chosen;
        }
    }
}
