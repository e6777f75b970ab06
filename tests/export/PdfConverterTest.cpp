// The converter choice (PdfConverter= in Language.ini) and brtx-pdf itself: a report and a
// combined report rendered headless, and what it does with bad arguments.
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"

#include "base/Language.h"
#include "reports/PdfReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace exporttest;

namespace {

QString brtxPdf() {
    return brtxtest::programDir() + "/brtx-pdf";
}

// The converter as installed in the program folder.
void InstallBrtxPdf(const brtxtest::TempHome& home) {
    QFile::link(brtxPdf(), home.file("brtx-pdf"));
}

void UseConverter(const brtxtest::TempHome& home, const QByteArray& name) {
    QByteArray ini = readFile(home.file("Language.ini"));
    ini.replace("[Global]\n", "[Global]\nPdfConverter=" + name + "\n");
    home.writeLanguage(ini);
}

ReportSource Source(const QString& record, const QString& time) {
    return {{"Machine No", "Record No", "Date", "Time", "Test Mode", "Test Result", "Unit", "Name"},
            {"000000000012", record, "2021-03-04", time, "Auto", "0.0" + record, "mg/L",
             "<b>&amp; \"x\"</b>"},
            QString("\\000000000012\\%1.jpg").arg(record)};
}

} // namespace

TEST(PdfConverter, ChosenByLanguageIni) {
    brtxtest::TempHome home;
    // Without the key: wkhtmltopdf when there is one (here a file in the program folder).
    writeFile(home.file("wkhtmltopdf"), "#!/bin/sh\n");
    QFile::setPermissions(home.file("wkhtmltopdf"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(CPdfReport::ConverterProgram(CLanguage()), home.file("wkhtmltopdf"));
    UseConverter(home, "brtx-pdf");
    if (QStandardPaths::findExecutable("brtx-pdf").isEmpty()) {
        EXPECT_EQ(CPdfReport::ConverterProgram(CLanguage()), QString()); // not installed
    }
    InstallBrtxPdf(home);
    EXPECT_EQ(CPdfReport::ConverterProgram(CLanguage()), home.file("brtx-pdf"));
    UseConverter(home, "wkhtmltopdf");
    EXPECT_EQ(CPdfReport::ConverterProgram(CLanguage()), home.file("wkhtmltopdf"));
}

TEST(PdfConverter, BrtxPdfRendersACombinedReportHeadless) {
    if (!QFile::exists(brtxPdf()))
        GTEST_SKIP() << "brtx-pdf is not built (no Qt WebEngine)";
    brtxtest::TempHome home;
    for (const char* f : {"bootstrap.min.css", "report.css", "logo.png"})
        QFile::copy(brtxtest::programDir() + "/" + f, home.file(f));
    QDir().mkpath(home.file("pic/000000000012"));
    for (const char* n : {"1", "2", "3"})
        QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg",
                    home.file(QString("pic/000000000012/%1.jpg").arg(n)));
    InstallBrtxPdf(home);
    UseConverter(home, "brtx-pdf");

    CPdfReport report;
    report.SetOpenWhenDone(false);
    ASSERT_EQ(report.StartCombined(
                  {Source("1", "08:00:00"), Source("2", "09:00:00"), Source("3", "10:00:00")}),
              CPdfReport::Started);
    ASSERT_TRUE(report.WaitFinished()) << report.ErrorText().toStdString();
    const QString pdf = report.PdfPath();
    EXPECT_TRUE(QFileInfo(pdf).fileName().startsWith("000000000012_1-3_"));
    bool ok = false;
    EXPECT_TRUE(QString::fromUtf8(run("pdfinfo", {pdf}, &ok))
                    .contains(QRegularExpression("Pages:\\s+3\\n")));
    const QStringList pages =
        QString::fromUtf8(run("pdftotext", {"-layout", pdf, "-"}, &ok)).split('\f');
    ASSERT_GE(pages.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(
            pages[i].contains(QString("2021-03-04 %1:00:00").arg(8 + i, 2, 10, QChar('0'))));
        EXPECT_TRUE(pages[i].contains("<b>&amp; \"x\"</b>")); // markup shown as text
    }
    // The photographs are on the pages (one image per page besides the logo).
    const QString images = QString::fromUtf8(run("pdfimages", {"-list", pdf}, &ok));
    EXPECT_GE(images.count(QRegularExpression("\\n\\s+\\d+\\s+\\d+\\s+image")), 6)
        << images.toStdString();
    EXPECT_TRUE(QDir(home.file("pdf")).entryList({".*"}, QDir::Files | QDir::Hidden).isEmpty());
}

TEST(PdfConverter, BrtxPdfBadArgumentsLeaveNoPdf) {
    if (!QFile::exists(brtxPdf()))
        GTEST_SKIP() << "brtx-pdf is not built (no Qt WebEngine)";
    brtxtest::TempHome home;
    writeFile(home.file("in.html"), "<html><body>x</body></html>");
    QDir().mkpath(home.file("folder.pdf"));
    struct Case {
        QStringList args;
        int code;
    };
    const Case cases[] = {
        {{}, 2},
        {{home.file("in.html")}, 2},
        {{home.file("missing.html"), home.file("a.pdf")}, 1},
        {{home.file("in.html"), home.file("folder.pdf")}, 1},
        {{home.file("in.html"), home.file("no/such/b.pdf")}, 1},
        {{home.file("in.html"), home.file("ok.pdf")}, 0},
    };
    for (const Case& c : cases) {
        QProcess p;
        p.start(brtxPdf(), c.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), c.code) << c.args.join(' ').toStdString();
    }
    EXPECT_EQ(QDir(home.path()).entryList({"*.pdf", ".*"}, QDir::Files | QDir::Hidden),
              QStringList({"ok.pdf"}));
    EXPECT_TRUE(readFile(home.file("ok.pdf")).startsWith("%PDF-"));
}
