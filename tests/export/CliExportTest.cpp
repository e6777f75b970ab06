// brtx-cli export-xls and export-pdf against a database written by the test.
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"
#include "history/HistoryDb.h"

#include "base/Language.h"
#include "history/core/HistoryQuery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

using brtxtest::GetText;

using historytest::Db;
using historytest::Record;
using namespace exporttest;

namespace {

struct CliResult {
    int code = -1;
    QString out;
    QString err;
};

class CliExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFile::exists(cli())) << "build brtx-cli first";
        for (const char* f : {"bootstrap.min.css", "report.css", "logo.png"})
            QFile::copy(brtxtest::programDir() + "/" + f, home.file(f));
        Db db;
        db.Titles("000000000077", {"Name", "Plate"});
        db.Add(Record("000000000077", "1", "2021-05-01", "08:00:00", "Auto", "0.050"));
        db.Add(Record("000000000077", "2", "2021-05-02", "09:15:30", "Manual", "0.210"));
        db.Add(Record("000000000077", "3", "2021-06-01", "10:00:00", "Auto", "0.000"));
    }
    static QString cli() { return brtxtest::programDir() + "/brtx-cli"; }
    CliResult Run(const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(home.path());
        p.start(cli(), QStringList{"--home", home.path()} + args);
        CliResult r;
        if (!p.waitForFinished(90000))
            return r;
        r.code = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    brtxtest::TempHome home;
};

} // namespace

TEST_F(CliExportTest, ExportXlsWritesTheListedRows) {
    CliResult r = Run({"export-xls", "--device", "000000000077", "--end", "2021-05-31", "may"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QJsonDocument doc = readWithXlrd(home.file("may.xls"));
    ASSERT_FALSE(doc.isNull());
    const QJsonArray rows = doc.array().at(0).toObject().value("rows").toArray();
    // The same headings and rows the page lists for the same query.
    const HistoryList list = QueryHistoryList(CLanguage(), "000000000077", EarliestQueryDate(),
                                              "2021-05-31", GetDatabasePath());
    ASSERT_EQ(rows.size(), 1 + list.rows.size());
    ASSERT_EQ(list.rows.size(), 2);
    for (int c = 0; c < list.headings.size(); ++c)
        EXPECT_EQ(rows.at(0).toArray().at(c).toString(), QString(list.headings.at(c)).remove('.'));
    for (int r2 = 0; r2 < list.rows.size(); ++r2)
        for (int c = 0; c < list.headings.size(); ++c)
            EXPECT_EQ(rows.at(r2 + 1).toArray().at(c).toString(), list.rows.at(r2).at(c));

    r = Run({"export-xls", "--device", "000000000077", "x.Xls"});
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(QFile::exists(home.file("x.Xls")));
    r = Run({"export-xls", "--device", "000000000099", "none.xls"});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(QFile::exists(home.file("none.xls")));
    EXPECT_EQ(Run({"export-xls", "file.xls"}).code, 2);
}

TEST_F(CliExportTest, ExportPdfOfOneRecord) {
    // A stand-in converter keeps this test quick; the real one is tested with the page.
    const QString conv = home.file("wkhtmltopdf");
    writeFile(conv, "#!/bin/sh\nfor a; do out=\"$a\"; done\nmkdir -p pdf\n"
                    "printf '%%PDF-1.4\\n1 0 obj\\nendobj\\n%%%%EOF\\n' > \"$out\"\n");
    QFile::setPermissions(conv, QFile::permissions(conv) | QFileDevice::ExeOwner);

    CliResult r = Run({"export-pdf", "--device", "000000000077", "--record", "2"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString pdf = home.file("pdf/000000000077_2_20210502_091530.pdf");
    EXPECT_EQ(r.out.split('\n', Qt::SkipEmptyParts), QStringList({GetText("ExportPdfOK"), pdf}));
    EXPECT_TRUE(QFile::exists(pdf));
    EXPECT_FALSE(QFile::exists(home.file("000000000077_2_20210502_091530.html")));

    r = Run({"export-pdf", "--device", "000000000077", "--record", "9"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(Run({"export-pdf", "--device", "000000000077"}).code, 2);

    // A failing converter: failure status, exit 1, and the page (which holds the record) is
    // not left behind.
    writeFile(conv, "#!/bin/sh\nexit 3\n");
    r = Run({"export-pdf", "--device", "000000000077", "--record", "1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains(GetText("ExportPdfFail")));
    EXPECT_FALSE(QFile::exists(home.file("000000000077_1_20210501_080000.html")));
}

TEST_F(CliExportTest, ExportPdfBringsTheReportFilesIntoAnotherProgramFolder) {
    // A program folder made elsewhere holds the database and Language.ini but not the
    // report's style sheets and logo: the report still gets the installed ones.
    for (const char* f : {"bootstrap.min.css", "report.css", "logo.png"})
        ASSERT_TRUE(QFile::remove(home.file(f))) << f;
    const QString conv = home.file("wkhtmltopdf");
    writeFile(conv, "#!/bin/sh\nfor a; do out=\"$a\"; done\n"
                    "[ -s report.css ] && [ -s logo.png ] && [ -s bootstrap.min.css ] || exit 4\n"
                    "printf '%%PDF-1.4\\n1 0 obj\\nendobj\\n%%%%EOF\\n' > \"$out\"\n");
    QFile::setPermissions(conv, QFile::permissions(conv) | QFileDevice::ExeOwner);

    const CliResult r = Run({"export-pdf", "--device", "000000000077", "--record", "3"});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    for (const char* f : {"bootstrap.min.css", "report.css", "logo.png"})
        EXPECT_EQ(readFile(home.file(f)), readFile(brtxtest::programDir() + "/" + f)) << f;
}

TEST_F(CliExportTest, ExportPicksTheFormatFromTheName) {
    struct Case {
        const char* file;
        int code;
    };
    const Case cases[] = {{"all.xls", 0}, {"all.xlsx", 0}, {"all.CSV", 0},
                          {"all.txt", 2}, {"all", 2},      {"missing/all.csv", 1}};
    for (const Case& c : cases) {
        const CliResult r =
            Run({"export", "--device", "000000000077", "--end", "2021-05-31", c.file});
        EXPECT_EQ(r.code, c.code) << c.file << r.err.toStdString();
        EXPECT_EQ(QFile::exists(home.file(c.file)), c.code == 0) << c.file;
        if (c.code == 0)
            EXPECT_TRUE(r.out.contains(GetText("ExportExcelOK") + " " + home.file(c.file)));
        else
            EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(readWithXlrd(home.file("all.xls")).array().at(0).toObject().value("nrows").toInt(),
              3);
    const QJsonArray rows =
        readWithOpenpyxl(home.file("all.xlsx")).object().value("rows").toArray();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.at(2).toArray().at(5).toArray().at(0).toString(), "n"); // 0.050 as a number
    const QVector<QStringList> csv = readCsvWithPython(home.file("all.CSV"));
    ASSERT_EQ(csv.size(), 3);
    EXPECT_EQ(csv[2].mid(0, 6), QStringList({"000000000077", "1", "2021-05-01", "08:00:00",
                                             GetText("TestModeAuto"), "0.050"}));
    EXPECT_EQ(Run({"export", "all.csv"}).code, 2); // no device
}

TEST_F(CliExportTest, ExportPdfOfSeveralRecords) {
    // A stand-in converter that writes one PDF "page" per record page in the HTML.
    const QString conv = home.file("wkhtmltopdf");
    writeFile(conv, "#!/bin/sh\nfor a; do prev=\"$in\"; in=\"$out\"; out=\"$a\"; done\n"
                    "n=$(grep -o 'Alcohol Test Report</P>' \"$in\" | wc -l)\n"
                    "printf '%%PDF-1.4\\npages %s\\n%%%%EOF\\n' \"$n\" > \"$out\"\n");
    QFile::setPermissions(conv, QFile::permissions(conv) | QFileDevice::ExeOwner);

    CliResult r = Run({"export-pdf", "--device", "000000000077", "--record", "3,1"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList out = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(out.size(), 4);
    EXPECT_EQ(out[1], home.file("pdf/000000000077_3_20210601_100000.pdf"));
    EXPECT_EQ(out[3], home.file("pdf/000000000077_1_20210501_080000.pdf"));

    r = Run({"export-pdf", "--device", "000000000077", "--record", "3,1,2", "--combined"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(QFileInfo(lines[1]).fileName().startsWith("000000000077_3-2_"));
    EXPECT_TRUE(readFile(lines[1]).contains("pages 3"));
    EXPECT_EQ(QDir(home.file("pdf")).entryList(QDir::Files | QDir::Hidden).size(), 3);

    EXPECT_EQ(Run({"export-pdf", "--device", "000000000077", "--record", "1,,2"}).code, 2);
    EXPECT_EQ(Run({"export-pdf", "--device", "000000000077", "--record", "1,9", "--combined"}).code,
              1);
}
