// The files behind the evidence: reading changes nothing (a read-only copy is verified as it
// is), a record of another device is refused, everything written is private to the user
// whatever the umask, and record text reaches the terminal escaped. brtx-cli runs as a child
// against the simulator on loopback.
#include "common/TestSupport.h"

#include "history/core/SealMarks.h"
#include "reports/ReportSeal.h"
#include "sim/lib/Simulator.h"
#include "store/Audit.h"
#include "store/SQLite.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using brtxtest::CliRun;

QString address(int n) {
    return QString("127.0.54.%1").arg(n + ::getpid() % 100);
}

brtxsim::SimConfig simConfig(const QString& at, int records) {
    brtxsim::SimConfig config;
    config.address = at;
    config.recordCount = records;
    config.photoBytes = 1500;
    return config;
}

CliRun cli(const QString& home, const QStringList& args) {
    return brtxtest::runCli(QStringList{"--home", home} + args, 60000);
}

unsigned modeOf(const QString& path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every entry under folder (the folder itself too) with its mode, size, time and bytes.
QStringList snapshot(const QString& folder) {
    QStringList out{QString::number(modeOf(folder), 8) + " " +
                    QString::number(QFileInfo(folder).lastModified().toMSecsSinceEpoch())};
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo e(it.next());
        QString line = e.filePath() + " " + QString::number(modeOf(e.filePath()), 8) + " " +
                       QString::number(e.size()) + " " +
                       QString::number(e.lastModified().toMSecsSinceEpoch());
        if (e.isFile()) {
            QFile f(e.filePath());
            if (f.open(QIODevice::ReadOnly))
                line += " " + QString::fromLatin1(f.readAll().toBase64());
        }
        out << line;
    }
    out.sort();
    return out;
}

class EvidenceFilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_template = std::make_unique<brtxtest::TempHome>(true, "template");
        brtxsim::CSimulator sim(simConfig(address(1), 3));
        QString error;
        ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
        const CliRun r = cli(s_template->path(), {"download", "--wifi", address(1)});
        ASSERT_EQ(r.code, 0) << r.out.join('\n').toStdString();
        s_device = sim.DeviceNumberText();
    }
    static void TearDownTestSuite() { s_template.reset(); }

    // A copy of the download in folder (made), as a copy handed over as evidence would be.
    static void copyInto(const QString& folder) {
        ASSERT_TRUE(QDir().mkpath(folder + "/pic/" + s_device));
        ASSERT_TRUE(QFile::copy(s_template->file("brtx.db"), folder + "/brtx.db"));
        QFile::copy(s_template->file("Language.ini"), folder + "/Language.ini");
        for (const QString& name : QDir(s_template->file("pic/" + s_device)).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(s_template->file("pic/" + s_device + "/" + name),
                                    folder + "/pic/" + s_device + "/" + name));
    }

    static inline std::unique_ptr<brtxtest::TempHome> s_template;
    static inline QString s_device;
};

TEST_F(EvidenceFilesTest, ReadingACopyChangesNoByte) {
    struct Case {
        const char* what;
        bool readOnlyFolder;
        bool walHeader; // the file was left in write-ahead mode (no log beside it)
    };
    for (const Case& c : {Case{"read-only folder", true, false},
                          Case{"file left in write-ahead mode", false, true}}) {
        SCOPED_TRACE(c.what);
        brtxtest::TempHome home(false, "evidence ?#%41"); // characters a URI would read
        ASSERT_NO_FATAL_FAILURE(copyInto(home.path()));
        if (c.walHeader) {
            QFile db(home.file("brtx.db"));
            ASSERT_TRUE(db.open(QIODevice::ReadWrite) && db.seek(18));
            ASSERT_EQ(db.write("\x02\x02", 2), 2);
        }
        if (c.readOnlyFolder) {
            ASSERT_EQ(::chmod(QFile::encodeName(home.path()).constData(), 0555), 0);
        }
        const QStringList before = snapshot(home.path());

        for (const QStringList& args :
             {QStringList{"verify"}, QStringList{"verify", "--rows-only"}, QStringList{"audit"},
              QStringList{"instrument", "list"}, QStringList{"instrument", "log", s_device}}) {
            const CliRun r = cli(home.path(), args);
            EXPECT_EQ(r.code, 0) << args.join(' ').toStdString() << r.out.join('\n').toStdString();
        }
        // The download registered the instrument: linked and downloaded, with its records.
        const CliRun shown = cli(home.path(), {"instrument", "show", s_device});
        for (const char* line : {"First link\t20", "Last download\t20", "Records\t3"})
            EXPECT_TRUE(shown.out.join('\n').contains(QLatin1String(line)))
                << line << "\n"
                << shown.out.join('\n').toStdString();
        // The list's marks and the report's check, in this process.
        CSealMarks marks;
        marks.SetSource(home.file("brtx.db"), home.file("pic"));
        EXPECT_EQ(marks.Mark(s_device, "2", "2024-01-02", "08:01:14"), "\u2713");
        marks.Clear();
        EXPECT_EQ(IntegrityNow({s_device, "1", "2024-01-01", "08:00:37"}).state,
                  Seal::State::Verified);

        EXPECT_EQ(snapshot(home.path()), before);
        ::chmod(QFile::encodeName(home.path()).constData(), 0700);
    }
}

TEST_F(EvidenceFilesTest, ExportAuditNeverMakesADatabase) {
    brtxtest::TempHome home(true, "empty");
    EXPECT_FALSE(Audit::AppendTo(home.file("brtx.db"), "cli", "export", "D", "1 rows", "ok"));
    EXPECT_FALSE(QFileInfo::exists(home.file("brtx.db")));
    SQLite::Database db;
    EXPECT_NE(db.Open(home.file("brtx.db"), SQLite::Database::Access::ReadOnly), 0);
    EXPECT_FALSE(QFileInfo::exists(home.file("brtx.db")));
}

TEST_F(EvidenceFilesTest, RecordOfAnotherDeviceIsRefused) {
    brtxtest::TempHome home(true, "other");
    brtxsim::CSimulator sim(simConfig(address(2), 3));
    brtxsim::Fault fault;
    ASSERT_TRUE(brtxsim::ParseFault("otherdevice:2", fault));
    sim.AddFault(fault);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    const CliRun r = cli(home.path(), {"download", "--wifi", address(2)});
    EXPECT_EQ(r.code, 1);
    QString other = sim.DeviceNumberText();
    other.back() = QChar('0' + (other.back().digitValue() + 1) % 10);
    QString expected = brtxtest::GetTextNumber("RecordOtherDevice", 2);
    expected.replace(expected.indexOf("%s"), 2, other);
    expected.replace(expected.indexOf("%s"), 2, sim.DeviceNumberText());
    EXPECT_TRUE(r.out.contains(expected)) << r.out.join('\n').toStdString();

    SQLite::Database db;
    ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
    EXPECT_EQ(db.QuerySQL("SELECT Record_No FROM ValueInfo ORDER BY Record_No").m_rows,
              QVector<QStringList>({{"1"}, {"3"}}));
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM RecordSeal").Cell(0, 0), "2");
    EXPECT_EQ(QDir(home.file("pic/" + sim.DeviceNumberText())).entryList(QDir::Files),
              QStringList({"00001.jpg", "00003.jpg"}));
    EXPECT_FALSE(QFileInfo::exists(home.file("pic/" + other)));
    EXPECT_TRUE(cli(home.path(), {"audit"}).out.last().contains("failed: 1"));
}

TEST_F(EvidenceFilesTest, FilesArePrivateWhateverTheUmask) {
    const mode_t old = ::umask(0);
    brtxtest::TempHome home(true, "open");
    // What an earlier version left: open folders and files.
    ASSERT_TRUE(QDir().mkpath(home.file("pic/OLD")));
    ASSERT_TRUE(QDir().mkpath(home.file("pdf")));
    for (const char* f : {"pic/OLD/00001.jpg", "pdf/old.pdf"}) {
        QFile file(home.file(f));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    for (const char* d : {"", "pic", "pic/OLD", "pdf"})
        ::chmod(QFile::encodeName(home.file(d)).constData(), 0777);
    // A stand-in converter that writes a PDF, and one export file that exists already.
    const QString conv = home.file("wkhtmltopdf");
    QFile script(conv);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nfor a; do out=\"$a\"; done\n"
                 "printf '%%PDF-1.4\\n1 0 obj\\nendobj\\n%%%%EOF\\n' > \"$out\"\n");
    script.close();
    ::chmod(QFile::encodeName(conv).constData(), 0700);
    QFile existing(home.file("kept.csv"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    ::chmod(QFile::encodeName(existing.fileName()).constData(), 0640);

    brtxsim::CSimulator sim(simConfig(address(3), 2));
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    CliRun r = cli(home.path(), {"download", "--wifi", address(3)});
    ASSERT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.err.contains(brtxtest::GetText("DataFolderTightened"))) << r.err.toStdString();
    const QString dev = sim.DeviceNumberText();
    r = cli(home.path(), {"export-pdf", "--device", dev, "--record", "1"});
    ASSERT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_FALSE(r.err.contains(brtxtest::GetText("DataFolderTightened"))); // said once
    // A data folder without Language.ini is told in a sentence, not by the text's key.
    const QString bare = home.file("bare");
    ASSERT_TRUE(QDir().mkpath(bare));
    ::chmod(QFile::encodeName(bare).constData(), 0755);
    r = cli(bare, {"sync"});
    EXPECT_TRUE(r.err.contains("now private to you")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("DataFolderTightened")) << r.err.toStdString();
    for (const char* f : {"new.csv", "kept.csv"})
        ASSERT_EQ(cli(home.path(), {"export", "--device", dev, home.file(f)}).code, 0) << f;
    ::umask(old);

    const QList<QPair<QString, unsigned>> expected = {
        {"", 0700},
        {"pic", 0700},
        {"pic/OLD", 0700},
        {"pic/OLD/00001.jpg", 0600},
        {"pic/" + dev, 0700},
        {"pic/" + dev + "/00001.jpg", 0600},
        {"pdf", 0700},
        {"pdf/old.pdf", 0600},
        {"pdf/" + dev + "_1_20240101_080037.pdf", 0600},
        {"brtx.db", 0600},
        {"new.csv", 0600},
        {"kept.csv", 0640}, // never widened, nor changed
    };
    for (const auto& [name, mode] : expected)
        EXPECT_EQ(modeOf(home.file(name)), mode) << name.toStdString();
    EXPECT_TRUE(QDir(home.path()).entryList({"*.html"}).isEmpty());
}

TEST_F(EvidenceFilesTest, RecordTextReachesTheTerminalEscaped) {
    brtxtest::TempHome home(false, "terminal");
    ASSERT_NO_FATAL_FAILURE(copyInto(home.path()));
    const QString hostile = QString::fromUtf8("\x1b]0;owned\x07\r\t\x7f\xc2\x9b"
                                              "2J");
    const QString shown = "\\x1b]0;owned\\x07\\x0d\\x09\\x7f\\x9b2J";
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(home.file("brtx.db")), 0);
        ASSERT_EQ(db.ExecuteSQL("INSERT INTO ValueInfo(Machine_NO,Record_No,Date_Date,Time_Time,"
                                "Field1) VALUES('" +
                                s_device + "','" + SQLite::Quote(hostile) +
                                "','2024-01-09','09:00:00','" + SQLite::Quote(hostile) + "')"),
                  0);
        ASSERT_TRUE(Audit::Append(db, "cli", "export", s_device, hostile, "ok"));
    }
    for (const QStringList& args :
         {QStringList{"history", "--device", s_device, "--start", "2024-01-01"},
          QStringList{"verify"}, QStringList{"audit"}}) {
        SCOPED_TRACE(args.first().toStdString());
        const CliRun r = cli(home.path(), args);
        const QString all = r.out.join('\n');
        EXPECT_TRUE(all.contains(shown)) << all.toStdString();
        for (const QChar c : all)
            EXPECT_FALSE(c.unicode() < 0x20 && c != '\t' && c != '\n') << int(c.unicode());
        EXPECT_FALSE(all.contains(QChar(0x9b)) || all.contains(QChar(0x7f)));
    }
}

TEST_F(EvidenceFilesTest, InstalledCopyRunsNoHelperFromItsDataFolder) {
    // An installed layout: <prefix>/bin/brtx-cli with <prefix>/share/brtx/Language.ini, its
    // data folder under XDG_DATA_HOME. Both folders hold an adb that notes its run.
    QTemporaryDir root;
    const QString bin = root.path() + "/prefix/bin";
    const QString data = root.path() + "/xdg/brtx";
    for (const QString& dir :
         {bin + "/adbcopy", root.path() + "/prefix/share/brtx", data + "/adbcopy"})
        ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(QFile::copy(brtxtest::programDir() + "/brtx-cli", bin + "/brtx-cli"));
    ASSERT_TRUE(QFile::copy(brtxtest::sourceDir() + "/assets/Language.ini",
                            root.path() + "/prefix/share/brtx/Language.ini"));
    for (const QString& adb : {bin + "/adbcopy/adb", data + "/adbcopy/adb"}) {
        QFile f(adb);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\ntouch \"$0.ran\"\necho 'List of devices attached'\n");
        f.close();
        ::chmod(QFile::encodeName(adb).constData(), 0700);
    }
    ::chmod(QFile::encodeName(bin + "/brtx-cli").constData(), 0700);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("BRTX_HOME");
    env.insert("XDG_DATA_HOME", root.path() + "/xdg");
    p.setProcessEnvironment(env);
    p.start(bin + "/brtx-cli", {"devices"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_TRUE(QFileInfo::exists(bin + "/adbcopy/adb.ran")) << p.readAllStandardError().data();
    EXPECT_FALSE(QFileInfo::exists(data + "/adbcopy/adb.ran"));
}

} // namespace
