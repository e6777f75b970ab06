// Hostile texts from the instrument: quotes, statement fragments, markup, "../", texts of the
// full 200 bytes, Chinese, the spreadsheet's own value separator, format conversions, and a
// device number that cannot be read (" "). Downloaded, listed and exported end to end through
// brtx-cli: every text is stored byte for byte, no statement breaks, no file lands outside
// pic/<device>/ and pdf/, the PDF report shows the texts as text and the spreadsheet holds them
// as text cells. Addresses 127.0.91.x.
#include "faults/FaultSupport.h"

#include "base/Language.h"
#include "history/core/HistoryQuery.h"
#include "reports/Biff.h"
#include "reports/Report.h"
#include "store/SQLite.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

const QByteArray kQuote = "'";
const QByteArray kDrop = "'); DROP TABLE ValueInfo;--";
const QByteArray kScript = "<script>alert(1)</script>";
const QByteArray kDots = "../../../../tmp/brtx-evil";
const QByteArray kChinese = QString::fromUtf8("酒精测试：张三").toUtf8();
const QByteArray kSeparator = "a\",;.?\"b"; // the workbook writer's value separator in quotes
const QByteArray kFormat = "%d%s%n%%";
const QByteArray kBackslash = "C:\\evil\\..\\x";
const QByteArray kMarkupRefs = "&amp;&lt;\"x\"";
// 200 bytes each: the most a field holds.
const QByteArray kLongAscii(200, 'Z');
const QByteArray kLongChinese = QString(66, QChar(0x4E2D)).toUtf8() + "ab";

const QList<QByteArray> kHostile{kQuote,      kDrop,      kScript,     kDots,
                                 kChinese,    kSeparator, kFormat,     kBackslash,
                                 kMarkupRefs, kLongAscii, kLongChinese};

// Record n's 40 fields: the usual key fields, hostile texts everywhere else. Record 2 has a
// date and time that try to lead a file name out of its folder.
QList<QByteArray> hostileFields(const QByteArray& device, int n) {
    QList<QByteArray> f;
    f << device << QByteArray::number(n)
      << (n == 2 ? QByteArray("2024-01-02/../../x") : "2024-01-0" + QByteArray::number(n))
      << (n == 2 ? QByteArray("08:01:14\\..\\y") : QByteArray("08:00:37"));
    f << kDrop << kScript << kSeparator;           // Test_Mode, Test_Result, Test_Unit
    f << kQuote << kDots << kFormat << kBackslash; // Reserve1..4
    f << "1"
      << "0" << kMarkupRefs << kChinese; // FieldGroup, FieldSelect, Reserve5, Reserve6
    for (int k = 0; k < 20; ++k)
        f << kHostile[(k + n) % kHostile.size()];
    f << "" << kScript << kDrop << ""
      << "";
    return f;
}

// What the row of those fields holds: fields 0..34, GPS "f36 f37".
QStringList expectedRow(const QList<QByteArray>& f) {
    QStringList out;
    for (int k = 0; k <= 34; ++k)
        out << QString::fromUtf8(f[k]);
    out << QString::fromUtf8(f[36]) + ' ' + QString::fromUtf8(f[37]);
    return out;
}

// 20 distinct hostile titles.
QStringList hostileTitles() {
    QStringList t;
    for (const QByteArray& h : kHostile)
        t << QString::fromUtf8(h);
    while (t.size() < 20)
        t << QString("T%1 <b>'").arg(t.size());
    return t;
}

QString pdfText(const QString& pdf) {
    QProcess p;
    p.start("pdftotext", {"-layout", pdf, "-"});
    if (!p.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The instrument: the simulator's replies with hostile record texts; with `address` given, every
// reply carries those address bytes instead.
struct HostileInstrument {
    QByteArray address;
    QByteArray fieldDevice; // field 0 of every record
    std::unique_ptr<faults::RawPeer> peer;
    QString error;

    HostileInstrument(const QString& ip, const QByteArray& replyAddress,
                      const QByteArray& deviceText) {
        address = replyAddress;
        fieldDevice = deviceText;
        brtxsim::SimConfig config;
        config.address = ip;
        config.recordCount = 3;
        config.photoBytes = 1500;
        config.titles = hostileTitles();
        peer = std::make_unique<faults::RawPeer>(
            config, [this](const QByteArray& request, const QByteArray& reply) {
                QByteArray out = reply;
                if (!address.isEmpty() && out.size() >= 7)
                    out.replace(1, 6, address);
                const quint32 n = faults::recordOf(request);
                if (n < 1 || n > 3)
                    return out;
                return faults::recordReply(out.mid(1, 6), n, peer->Sim().Photo(int(n)),
                                           hostileFields(fieldDevice, int(n)));
            });
        peer->Start(&error);
    }
};

class HostileData : public ::testing::Test {
protected:
    // Downloads the three records twice (the second time every picture gets the date-time
    // name) and checks the store.
    void downloadAndCheck(const QString& ip, HostileInstrument& instrument, const QString& device) {
        ASSERT_TRUE(instrument.error.isEmpty()) << instrument.error.toStdString();
        for (int pass = 0; pass < 2; ++pass) {
            const faults::CliResult r =
                faults::runCli(m_home.path(), {"download", "--wifi", ip, "--all"});
            ASSERT_TRUE(r.finished);
            EXPECT_EQ(r.exitCode, 0) << r.text().toStdString();
        }
        QString integrity;
        const QVector<faults::DbRow> rows =
            faults::readValueInfo(m_home.file("brtx.db"), &integrity);
        EXPECT_EQ(integrity, "ok");
        ASSERT_EQ(rows.size(), 3); // the table survived and every record is stored once
        for (const faults::DbRow& row : rows) {
            const int n = row.values[1].toInt();
            const QList<QByteArray> sent = hostileFields(instrument.fieldDevice, n);
            for (int k = 0; k <= 34; ++k)
                EXPECT_EQ(row.raw[k], sent[k]) << "record " << n << " column " << k;
            EXPECT_EQ(row.values.mid(0, 36), expectedRow(sent));
            EXPECT_EQ(row.values[36], "\\" + device + "\\" + row.values[37]);
        }

        // Only pictures in the device's own folder; the names stay plain file names.
        const QStringList files = faults::filesUnder(m_home.path());
        for (const QString& file : files) {
            const bool allowed = file == "Language.ini" || file.startsWith("brtx.db") ||
                                 file == "desk.key" ||
                                 (file.startsWith("pic/" + device + "/") && file.count('/') == 2);
            EXPECT_TRUE(allowed) << file.toStdString();
        }
        EXPECT_TRUE(files.contains("pic/" + device + "/00002.jpg"));
        // The date-time name of record 2 (its date and time hold "/", "\\" and "..").
        EXPECT_EQ(files.filter(QRegularExpression("^pic/[^/]+/00002_[^/]+\\.jpg$")).size(), 1)
            << files.join(' ').toStdString();
        EXPECT_FALSE(QFile::exists("/tmp/brtx-evil"));

        // The titles as sent (all distinct, none blank: nothing renamed).
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_home.file("brtx.db")), 0);
        const SQLite::Table t = db.QuerySQL(
            "SELECT title1,title2,title3,title4,title5,title6,title7,title8,title9,title10,"
            "title11,title12,title13,title14,title15,title16,title17,title18,title19,title20 "
            "FROM TitleInfo WHERE DeviceID = " +
            QString("'%1'").arg(SQLite::Quote(device)));
        ASSERT_EQ(t.GetRowCount(), 1);
        EXPECT_EQ(t.m_rows[0], hostileTitles());
    }

    brtxtest::TempHome m_home;
};

TEST_F(HostileData, StoredExactlyListedAndExportedAsText) {
    const QString ip = "127.0.91.10";
    HostileInstrument instrument(ip, QByteArray(), QByteArray());
    const QString device = instrument.peer->Sim().DeviceNumberText();
    instrument.fieldDevice = device.toUtf8();
    downloadAndCheck(ip, instrument, device);

    // The history list shows the stored texts unchanged.
    const HistoryList list = QueryHistoryList(CLanguage(), device, EarliestQueryDate(),
                                              LatestQueryDate(), m_home.file("brtx.db"));
    ASSERT_EQ(list.rows.size(), 3);
    const faults::CliResult history =
        faults::runCli(m_home.path(), {"history", "--device", device});
    EXPECT_EQ(history.exitCode, 0) << history.text().toStdString();
    EXPECT_TRUE(history.lines.join('\n').contains(QString::fromUtf8(kDrop)));
    EXPECT_TRUE(history.lines.join('\n').contains(QString::fromUtf8(kSeparator)));

    // The spreadsheet: every cell a text cell holding the list's text (cut to 60 characters),
    // in its own column.
    const QString xls = m_home.file("pdf/list.xls");
    QDir().mkpath(m_home.file("pdf"));
    const faults::CliResult x =
        faults::runCli(m_home.path(), {"export-xls", "--device", device, xls});
    ASSERT_EQ(x.exitCode, 0) << x.text().toStdString();
    QFile f(xls);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QVector<Biff::Sheet> sheets;
    QString error;
    ASSERT_TRUE(Biff::ReadWorkbook(f.readAll(), &sheets, &error)) << error.toStdString();
    ASSERT_EQ(sheets.size(), 1);
    ASSERT_EQ(sheets[0].rows.size(), 4);
    for (int r = 0; r < 3; ++r) {
        const QStringList& cells = sheets[0].rows[r + 1];
        for (int c = 0; c < list.headings.size(); ++c)
            EXPECT_EQ(cells.value(c), list.rows[r].value(c).left(60))
                << "row " << r << " column " << c;
    }
    // A second reader (xlrd) sees the same text cells.
    if (!QStandardPaths::findExecutable("python3").isEmpty()) {
        QProcess py;
        py.start("python3", {"-c",
                             "import sys, xlrd\n"
                             "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
                             "for r in range(s.nrows):\n"
                             "  for c in range(s.ncols):\n"
                             "    t = s.cell_type(r, c)\n"
                             "    assert t in (xlrd.XL_CELL_TEXT, xlrd.XL_CELL_EMPTY), (r, c, t)\n"
                             "print(s.cell_value(1, 5))\n",
                             xls});
        ASSERT_TRUE(py.waitForFinished(30000));
        const QString out = QString::fromUtf8(py.readAllStandardOutput()).trimmed();
        if (!py.readAllStandardError().contains("No module named")) {
            EXPECT_EQ(out, QString::fromUtf8(kScript)) << py.exitCode();
        }
    }

    // The PDF report of record 1 shows the markup and the statement as text.
    const faults::CliResult pdf =
        faults::runCli(m_home.path(), {"export-pdf", "--device", device, "--record", "1"}, 120000);
    ASSERT_EQ(pdf.exitCode, 0) << pdf.text().toStdString();
    const QStringList pdfs = QDir(m_home.file("pdf")).entryList({"*.pdf"});
    ASSERT_EQ(pdfs.size(), 1);
    const QString text = pdfText(m_home.file("pdf/" + pdfs[0]));
    EXPECT_TRUE(text.contains(QString::fromUtf8(kScript))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromUtf8(kDrop))) << text.toStdString();
    // No HTML left behind, nothing outside pic/<device>/ and pdf/ but the report's own style
    // files, which the export puts into the program folder.
    const QStringList programFiles{"Language.ini", "report.css", "logo.png", "bootstrap.min.css",
                                   "desk.key"};
    for (const QString& file : faults::filesUnder(m_home.path()))
        EXPECT_TRUE(programFiles.contains(file) || file.startsWith("brtx.db") ||
                    file.startsWith("pic/" + device + "/") || file.startsWith("pdf/"))
            << file.toStdString();

    // The PDF of the record with the hostile date and time lands in pdf/ under a plain name.
    const faults::CliResult pdf2 =
        faults::runCli(m_home.path(), {"export-pdf", "--device", device, "--record", "2"}, 120000);
    ASSERT_EQ(pdf2.exitCode, 0) << pdf2.text().toStdString();
    EXPECT_EQ(QDir(m_home.file("pdf")).entryList({"*.pdf"}).size(), 2);
    for (const QString& file : faults::filesUnder(m_home.path()))
        EXPECT_TRUE(programFiles.contains(file) || file.startsWith("brtx.db") ||
                    file.startsWith("pic/" + device + "/") ||
                    (file.startsWith("pdf/") && file.count('/') == 1))
            << file.toStdString();
}

// An address holding 0xFF gives the device number " ": its pictures go to "pic/ /", its rows
// and titles are stored under " ", and the list and report work for it.
TEST_F(HostileData, UnreadableDeviceNumberIsASingleSpace) {
    const QString ip = "127.0.91.11";
    HostileInstrument instrument(ip, QByteArray::fromHex("0012FF345678"), " ");
    downloadAndCheck(ip, instrument, " ");
    EXPECT_TRUE(QFileInfo(m_home.file("pic/ ")).isDir());

    const faults::CliResult history = faults::runCli(m_home.path(), {"history", "--device", " "});
    EXPECT_EQ(history.exitCode, 0) << history.text().toStdString();
    EXPECT_EQ(history.lines.size(), 4) << history.text().toStdString();

    const faults::CliResult pdf =
        faults::runCli(m_home.path(), {"export-pdf", "--device", " ", "--record", "3"}, 120000);
    ASSERT_EQ(pdf.exitCode, 0) << pdf.text().toStdString();
    EXPECT_EQ(QDir(m_home.file("pdf")).entryList({"*.pdf"}).size(), 1);
}

} // namespace
