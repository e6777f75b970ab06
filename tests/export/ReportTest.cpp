// The report HTML: character references, templates for one-field and two-field rows,
// escaping of instrument data, report name, character set and bytes.
#include "common/TestSupport.h"
#include "export/ExportTestSupport.h"

#include "reports/Report.h"

#include <gtest/gtest.h>

using namespace exporttest;

namespace {

QStringList fixedHeadings() {
    return {"Machine No", "Record No", "Date", "Time", "Test Mode", "Test Result", "Unit"};
}
QStringList fixedCells() {
    return {"000000000012", "5", "2020-12-23", "10:30:05", "Auto", "0.123", "mg/L"};
}
QString expected(const char* name) {
    return QString::fromUtf8(readFile(brtxtest::sourceDir() + "/tests/export/data/" + name));
}

} // namespace

TEST(Report, HtmlEncodeReplacesExactlyTheTable) {
    EXPECT_EQ(HtmlEncode(QString()), QString());
    const QList<std::pair<char16_t, const char*>> specials = {
        {0x2030, "&#8240;"},  {0x20AC, "&#8364;"},  {0x2122, "&#8482;"},  {0x221A, "&#8730;"},
        {0x2105, "&#x2105;"}, {0x03C0, "&#x03C0;"}, {0x2022, "&#x2022;"}, {0xFF0C, "&#65292;"}};
    for (const auto& [c, ref] : specials)
        EXPECT_EQ(HtmlEncode(QString(QChar(c))), QString::fromLatin1(ref)) << int(c);
    for (int c = 161; c <= 383; ++c) {
        const QString in(QChar(static_cast<char16_t>(c)));
        if (c == 168 || c == 173 || c == 180 || c == 184)
            EXPECT_EQ(HtmlEncode(in), in) << c;
        else
            EXPECT_EQ(HtmlEncode(in), QString("&#%1;").arg(c)) << c;
    }
    // Every other character of the basic plane stays as it is: 227 replacements in all.
    int replaced = 0;
    for (int c = 1; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const QString in(QChar(static_cast<char16_t>(c)));
        if (HtmlEncode(in) != in)
            ++replaced;
    }
    EXPECT_EQ(replaced, 227);
    EXPECT_EQ(HtmlEncode("a&<>\"\u00A0é€"), "a&<>\"\u00A0&#233;&#8364;");
}

TEST(Report, ReportName) {
    // Usual keys keep the names earlier versions gave; any other is escaped and marked.
    EXPECT_EQ(ReportName(fixedCells()), "000000000012_5_20201223_103005");
    EXPECT_EQ(ReportName({}), "____%");
    // A value from the instrument cannot lead the file out of the report folder.
    EXPECT_EQ(ReportName({"../x", "a\\b", "2020-01-02", "1:2"}), "..%2Fx_a%5Cb_2020-01-02_1%3A2_%");
    // Keys that earlier versions gave one name to get two.
    const QList<QPair<QStringList, QStringList>> pairs = {
        {{"D", "12", "2024-01-02", "08:00:00"}, {"D", "12", "20240102", "08:00:00"}},
        {{"D", "12", "2024-01-02", "08:00:00"}, {"D", "12", "2024-01-02", "080000"}},
        {{"A_B", "1", "2024-01-02", "08:00:00"}, {"A", "B_1", "2024-01-02", "08:00:00"}},
        {{"A/B", "1", "2024-01-02", "08:00:00"}, {"A_B", "1", "2024-01-02", "08:00:00"}},
        {{"A\x01", "1", "2024-01-02", "08:00:00"}, {"A\x02", "1", "2024-01-02", "08:00:00"}},
        {{"A%5F", "1", "2024-01-02", "08:00:00"}, {"A_", "1", "2024-01-02", "08:00:00"}},
    };
    for (const auto& [a, b] : pairs)
        EXPECT_NE(ReportName(a), ReportName(b)) << ReportName(a).toStdString();
}

TEST(Report, HtmlWithOneFieldRow) {
    // X = 1: the seven fixed columns and GPS; a cell with markup and Latin-1 text.
    const QString html =
        BuildReportHtml(fixedHeadings() << "GPS",
                        fixedCells() << QString::fromUtf8("Café <b> N 39.9 & \"E\" 116.4"),
                        "\\000000000012\\00005.jpg", "utf-8");
    EXPECT_EQ(html, expected("report_x1.html"));
}

TEST(Report, HtmlWithTwoFieldRows) {
    // X = 13: twelve fields and GPS give seven two-field rows, the last with two empty cells.
    QStringList headings = fixedHeadings();
    headings << "Name"
             << "ID No."
             << "Plate"
             << "Place"
             << "Officer";
    for (int i = 6; i <= 12; ++i)
        headings << QString("Note %1").arg(i);
    headings << "GPS";
    QStringList cells = fixedCells();
    cells << QString::fromUtf8("Zoë Ångström") << "110101"
          << "A12345"
          << "Main St. 1" << QString::fromUtf8("Li €5");
    for (int i = 6; i <= 11; ++i)
        cells << QString("v%1").arg(i);
    cells << QString::fromUtf8("™ v12") << "N 1 E 2";
    const QString html =
        BuildReportHtml(headings, cells, "\\000000000012\\00005_20201223103005.jpg", "utf-8");
    EXPECT_EQ(html, expected("report_x13.html"));
    EXPECT_EQ(html.count("<tr class=\"tr25\">"), 7);
    EXPECT_TRUE(html.contains("<td>GPS</td><td>N 1 E 2</td><td></td><td></td></tr>"));
}

TEST(Report, InstrumentDataCannotAddMarkup) {
    QStringList cells = fixedCells();
    cells[5] = "<script>alert(1)</script>";
    const QString html = BuildReportHtml(fixedHeadings() << "<img src=x onerror=y>",
                                         cells << "\"><script>", "\\D\\\"x.jpg", "utf-8");
    EXPECT_FALSE(html.contains("<script"));
    EXPECT_FALSE(html.contains("<img src=x"));
    EXPECT_TRUE(html.contains("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_TRUE(html.contains("src=\"pic/D/&quot;x.jpg\""));
    // Characters that would cut a relative URL short are escaped.
    EXPECT_TRUE(BuildReportText({}, {}, "\\D#1\\50%?.jpg", "utf-8")
                    .contains("src=\"pic/D%231/50%25%3F.jpg\""));
}

TEST(Report, CharsetAndBytes) {
    EXPECT_EQ(ReportCharset("Chinese"), "gbk");
    EXPECT_EQ(ReportCharset("chinese"), "utf-8");
    EXPECT_EQ(ReportCharset("English"), "utf-8");

    const QString text = QString::fromUtf8("<td>张三</td>é\U0001F600");
    EXPECT_EQ(ReportBytes(text, "utf-8"), text.toUtf8());
    // GBK bytes; a character GBK cannot hold becomes a character reference.
    EXPECT_EQ(ReportBytes(text, "gbk"), QByteArray("<td>\xD5\xC5\xC8\xFD</td>\xA8\xA6&#128512;"));
    // In a report HtmlEncode has already turned é into a reference.
    const QByteArray report = ReportBytes(
        BuildReportHtml(fixedHeadings() << QString::fromUtf8("姓名"),
                        fixedCells() << QString::fromUtf8("张三 é"), "\\D\\1.jpg", "gbk"),
        "gbk");
    EXPECT_TRUE(report.contains("<meta charset=\"gbk\">"));
    EXPECT_TRUE(report.contains("\xD0\xD5\xC3\xFB</td>"));
    EXPECT_TRUE(report.contains("\xD5\xC5\xC8\xFD &#233;</td>"));
}
