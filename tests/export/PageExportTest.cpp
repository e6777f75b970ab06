// The history page's two exports: the PDF report of the selected record (with the real
// converter and with stand-in converters) and the .xls file through the save dialog.
#include "common/StatusWindow.h"
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"
#include "history/HistoryDb.h"

#include "base/Language.h"
#include "history/page/History.h"
#include "reports/PdfReport.h"
#include "reports/Report.h"

#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTimer>
#include <gtest/gtest.h>

using brtxtest::GetText;

using historytest::Db;
using historytest::Record;
using namespace HistoryIds;
using namespace exporttest;

namespace {

const char* const kDevice = "000000000012";

class PageExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* f : {"bootstrap.min.css", "report.css", "logo.png"})
            QFile::copy(brtxtest::programDir() + "/" + f, home.file(f));
        QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", home.file("failer.jpg"));
    }

    // A device with three titles and two records; the page queried and row `row` selected.
    void Fill(CHistory& page, int row = 0) {
        Db db;
        db.Titles(kDevice, {"Name", "Plate No.", "Place"});
        db.Add(Record(kDevice, "5", "2020-12-23", "10:30:05", "Auto", "0.123"));
        db.Add(Record(kDevice, "4", "2020-12-22", "09:00:00", "Refuse", "0.000"));
        historytest::WritePicture(QString("\\%1\\00005.jpg").arg(kDevice), 320, 240, Qt::darkCyan);
        page.RefreshDeviceList();
        qobject_cast<QDateEdit*>(page.Control(kStartDate))->setDate(QDate(2020, 1, 1));
        qobject_cast<QDateEdit*>(page.Control(kEndDate))->setDate(QDate(2021, 1, 1));
        page.OnBnClickedQuery();
        ASSERT_EQ(page.ListRowCount(), 2);
        if (row >= 0) {
            auto* list = qobject_cast<QTableView*>(page.Control(kList));
            list->selectRow(row);
            page.WaitForList(); // the photograph comes from the worker
            ASSERT_EQ(page.SelectedRow(), row);
        }
    }
    QPushButton* PdfButton(CHistory& page) {
        return qobject_cast<QPushButton*>(page.Control(kExportPdf));
    }
    // A stand-in converter in the program folder: logs its arguments, then runs `body`.
    void FakeConverter(const QByteArray& body) {
        const QString path = home.file("wkhtmltopdf");
        writeFile(path, "#!/bin/sh\necho \"$PWD|$*\" >> \"" + home.file("calls.log").toUtf8() +
                            "\"\nfor a; do out=\"$a\"; done\n" + body + "\n");
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }
    QStringList Calls() {
        return QString::fromUtf8(readFile(home.file("calls.log"))).split('\n', Qt::SkipEmptyParts);
    }
    QString ReportBase() { return QString("%1_5_20201223_103005").arg(kDevice); }

    brtxtest::TempHome home;
    brtxtest::StatusWindow status; // the page's status texts, as the main window shows them
};

} // namespace

TEST_F(PageExportTest, PdfNeedsASelection) {
    CHistory page;
    status.Follow(&page);
    Fill(page, -1);
    page.OnBnClickedExportPdf();
    EXPECT_EQ(status.status(), GetText("ClickRecord"));
    EXPECT_TRUE(PdfButton(page)->isEnabled());
    EXPECT_FALSE(QDir(home.file("pdf")).exists());
}

TEST_F(PageExportTest, RealConversionGivesTheRecordsReport) {
    ASSERT_FALSE(CPdfReport::ConverterProgram(CLanguage()).isEmpty())
        << "wkhtmltopdf is not installed";
    CHistory page;
    status.Follow(&page);
    Fill(page);
    page.OnBnClickedExportPdf();
    // The window stays responsive while the converter runs; the button waits for it.
    EXPECT_FALSE(PdfButton(page)->isEnabled());
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 60000));
    EXPECT_EQ(status.status(), GetText("ExportPdfOK"));
    const QString pdf = home.file("pdf/" + ReportBase() + ".pdf");
    ASSERT_TRUE(QFile::exists(pdf));
    EXPECT_FALSE(QFile::exists(home.file(ReportBase() + ".html")));

    bool ok = false;
    const QString text = QString::fromUtf8(run("pdftotext", {"-layout", pdf, "-"}, &ok));
    ASSERT_TRUE(ok);
    for (const char* expected :
         {"Alcohol Test Report", "Sample information", kDevice, "2020-12-23 10:30:05", "0.123 mg/L",
          "Plate No", "F2-5", "5.5 5.25", "Test Picture"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected;
    bool info = false;
    EXPECT_TRUE(QString::fromUtf8(run("pdfinfo", {pdf}, &info))
                    .contains(QRegularExpression("Pages:\\s+1\\n")));
}

TEST_F(PageExportTest, SecondClickReusesThePdf) {
    FakeConverter("mkdir -p pdf; printf '%%PDF-1.4\\n1 0 obj\\nendobj\\n%%%%EOF\\n' > \"$out\"");
    CHistory page;
    status.Follow(&page);
    Fill(page);
    page.OnBnClickedExportPdf();
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 20000));
    EXPECT_EQ(status.status(), GetText("ExportPdfOK"));
    ASSERT_EQ(Calls().size(), 1);
    // Run without a shell in the program folder, with the HTML name and the output path.
    const QString call = Calls().first();
    EXPECT_TRUE(call.startsWith(QDir(home.path()).canonicalPath() + "|")) << call.toStdString();
    EXPECT_TRUE(call.endsWith(ReportBase() + ".html pdf/" + ReportBase() + ".pdf"))
        << call.toStdString();

    status.clearStatus();
    page.OnBnClickedExportPdf();
    EXPECT_TRUE(PdfButton(page)->isEnabled()); // at once, no converter
    EXPECT_EQ(status.status(), GetText("ExportPdfOK"));
    EXPECT_EQ(Calls().size(), 1);
}

TEST_F(PageExportTest, FailingConverterLeavesNothing) {
    CHistory page;
    status.Follow(&page);
    Fill(page);
    // Writes half a PDF and fails: no report, and neither the PDF nor the page (which holds
    // the record) is left behind, so nothing is reused.
    FakeConverter("mkdir -p pdf; printf '%%PDF-1.4 partial' > \"$out\"; exit 2");
    page.OnBnClickedExportPdf();
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 20000));
    EXPECT_EQ(status.status(), GetText("ExportPdfFail"));
    EXPECT_FALSE(QFile::exists(home.file(ReportBase() + ".html")));
    EXPECT_FALSE(QFile::exists(home.file("pdf/" + ReportBase() + ".pdf")));

    // A converter that cannot run at all.
    FakeConverter("exit 0");
    QFile::setPermissions(home.file("wkhtmltopdf"), QFileDevice::ReadOwner);
    status.clearStatus();
    page.OnBnClickedExportPdf();
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 20000));
    EXPECT_EQ(status.status(), GetText("ExportPdfFail"));
}

TEST_F(PageExportTest, UnwritableHtmlFails) {
    CHistory page;
    status.Follow(&page);
    Fill(page);
    FakeConverter("exit 0");
    QDir().mkpath(home.file(ReportBase() + ".html/x")); // a folder where the file should go
    page.OnBnClickedExportPdf();
    EXPECT_TRUE(PdfButton(page)->isEnabled());
    EXPECT_EQ(status.status(), GetText("ExportPdfFail"));
    EXPECT_TRUE(Calls().isEmpty());
}

TEST_F(PageExportTest, ChineseReportIsGbk) {
    QByteArray ini = readFile(home.file("Language.ini"));
    ini.replace("Language=English", "Language=Chinese");
    home.writeLanguage(ini);
    CHistory page;
    status.Follow(&page);
    Fill(page);
    FakeConverter("for a; do [ \"$a\" != \"$out\" ] && page=\"$a\"; done; cp \"$page\" seen.html; "
                  "exit 1"); // a copy of the page it was given
    page.OnBnClickedExportPdf();
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 20000));
    const QByteArray html = readFile(home.file("seen.html"));
    EXPECT_TRUE(html.contains("<meta charset=\"gbk\">"));
    // The test mode column shows the Chinese text of "TestModeAuto", written as GBK.
    const QString mode = GetText("TestModeAuto");
    ASSERT_FALSE(mode.isEmpty());
    EXPECT_TRUE(html.contains(ReportBytes(mode, "gbk")));
    EXPECT_FALSE(html.contains(mode.toUtf8()));
}

TEST(PdfReportCore, SlowConverterIsStoppedAtTheTimeLimit) {
    brtxtest::TempHome home;
    const QString path = home.file("wkhtmltopdf");
    writeFile(path, "#!/bin/sh\nfor a; do out=\"$a\"; done\nmkdir -p pdf\n"
                    "printf '%%PDF-1.4' > \"$out\"\nexec sleep 30\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    CPdfReport report;
    report.SetOpenWhenDone(false);
    report.SetTimeoutMs(300);
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(report.Start({{"A", "B"}, {"D", "1", "2020-01-01", "00:00:00"}, "\\D\\1.jpg"}),
              CPdfReport::Started);
    EXPECT_FALSE(report.WaitFinished());
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_FALSE(QFile::exists(report.PdfPath())); // the partial output is gone
    EXPECT_FALSE(QFile::exists(report.HtmlPath()));
    EXPECT_TRUE(report.ErrorText().contains("did not finish"));
}

TEST_F(PageExportTest, ExcelThroughTheSaveDialog) {
    CHistory page;
    status.Follow(&page);
    // Before any query the page has nothing to export: no dialog.
    bool dialogShown = false;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            dialogShown = true;
            d->reject();
        }
    });
    guard.start(20);
    page.OnBnClickedExportExcel();
    EXPECT_FALSE(dialogShown);
    guard.stop();

    Fill(page, -1);
    // Answers the next save dialog with a file name and a file type, then waits for the
    // export (on its worker thread) to report in the status line.
    auto exportTo = [&](const QString& name, const QString& type = QString()) {
        QTimer::singleShot(0, [name, type] {
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 10000) {
                if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                    EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
                    EXPECT_TRUE(d->nameFilters().first().contains("*.xls"));
                    for (const QString& f : d->nameFilters())
                        if (!type.isEmpty() && f.contains(type))
                            d->selectNameFilter(f);
                    d->selectFile(name);
                    static_cast<QDialog*>(d)->accept();
                    return;
                }
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            }
        });
        status.clearStatus();
        page.OnBnClickedExportExcel();
        EXPECT_TRUE(brtxtest::waitFor([&] { return !status.status().isEmpty(); }, 20000));
        return status.status();
    };

    EXPECT_EQ(exportTo(home.file("list")),
              GetText("ExportExcelOK") + " " + QDir::toNativeSeparators(home.file("list.xls")));
    ASSERT_TRUE(QFile::exists(home.file("list.xls")));
    const QJsonDocument doc = readWithXlrd(home.file("list.xls"));
    ASSERT_FALSE(doc.isNull());
    const QJsonArray rows = doc.array().at(0).toObject().value("rows").toArray();
    ASSERT_EQ(rows.size(), 3);
    QStringList header;
    for (const QJsonValue& v : rows.at(0).toArray())
        header << v.toString();
    QStringList shown;
    for (int c = 0; c < page.ListColumnCount(); ++c)
        shown << page.ListHeading(c).remove('.');
    EXPECT_EQ(header, shown);
    EXPECT_TRUE(header.contains("Plate No"));
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < page.ListColumnCount(); ++c)
            EXPECT_EQ(rows.at(r + 1).toArray().at(c).toString(), page.ListCell(r, c)) << r << c;

    // A mixed-case .xls extension or an unknown one: no file, a failure with the name.
    EXPECT_TRUE(exportTo(home.file("other.Xls")).startsWith(GetText("ExportExcelFail")));
    EXPECT_FALSE(QFile::exists(home.file("other.Xls")));
    EXPECT_TRUE(exportTo(home.file("upper.XLS")).startsWith(GetText("ExportExcelOK")));
    EXPECT_TRUE(QFile::exists(home.file("upper.XLS")));

    // The dialog's type gives the extension; a typed extension picks the format itself.
    EXPECT_TRUE(exportTo(home.file("typed"), "*.xlsx").startsWith(GetText("ExportExcelOK")));
    const QJsonObject book = readWithOpenpyxl(home.file("typed.xlsx")).object();
    ASSERT_EQ(book.value("rows").toArray().size(), 3);
    EXPECT_EQ(book.value("rows").toArray().at(1).toArray().at(4).toArray().at(1).toString(),
              page.ListCell(0, 4));
    EXPECT_TRUE(exportTo(home.file("list.csv"), "*.xlsx").startsWith(GetText("ExportExcelOK")));
    const QVector<QStringList> csv = readCsvWithPython(home.file("list.csv"));
    ASSERT_EQ(csv.size(), 3);
    EXPECT_EQ(csv[1][1], page.ListCell(0, 1));

    // Nothing left under a temporary name.
    EXPECT_TRUE(QDir(home.path()).entryList({".*part*"}, QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(PageExportTest, SeveralRowsGiveOneCombinedReport) {
    ASSERT_FALSE(CPdfReport::ConverterProgram(CLanguage()).isEmpty())
        << "no PDF converter installed";
    CHistory page;
    status.Follow(&page);
    Fill(page, -1);
    auto* list = qobject_cast<QTableView*>(page.Control(kList));
    list->selectAll();
    ASSERT_EQ(page.SelectedRows(), QVector<int>({0, 1}));
    page.OnBnClickedExportPdf();
    EXPECT_FALSE(PdfButton(page)->isEnabled());
    ASSERT_TRUE(brtxtest::waitFor([&] { return PdfButton(page)->isEnabled(); }, 60000));
    const QString prefix = GetText("ExportPdfOK") + " ";
    ASSERT_TRUE(status.status().startsWith(prefix)) << status.status().toStdString();
    const QString pdf = status.status().mid(prefix.size());
    EXPECT_TRUE(QFileInfo(pdf).fileName().startsWith(QString("%1_5-4_").arg(kDevice)));
    EXPECT_EQ(QFileInfo(pdf).absolutePath(), QDir(home.file("pdf")).absolutePath());
    bool ok = false;
    const QString info = QString::fromUtf8(run("pdfinfo", {pdf}, &ok));
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+2\\n"))) << info.toStdString();
    // One page per record in list order.
    const QString text = QString::fromUtf8(run("pdftotext", {"-layout", pdf, "-"}, &ok));
    const QStringList pages = text.split('\f', Qt::SkipEmptyParts);
    ASSERT_GE(pages.size(), 2);
    EXPECT_TRUE(pages[0].contains("2020-12-23 10:30:05"));
    EXPECT_TRUE(pages[1].contains("2020-12-22 09:00:00"));
    EXPECT_TRUE(QDir(home.file("pdf")).entryList({".*"}, QDir::Files | QDir::Hidden).isEmpty());
}
