// The instruments' register and log through brtx-cli: reading changes nothing, bad entries
// are refused with nothing stored, an attachment is copied and hashed, and verify finds an
// entry edited or removed behind the program's back.
#include "common/TestSupport.h"
#include "history/HistoryDb.h"

#include "store/Seal.h"
#include "store/Sha256.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

namespace {

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Accuracy(const QString& measured) {
    return {"instrument", "log",        "0123456789",   "--add",      "--kind",          "accuracy",
            "--date",     "2026-12-01", "--technician", "Lee",        "--standard-kind", "dry-gas",
            "--lot",      "G-77",       "--expiry",     "2027-06-30", "--target",        "0.080",
            "--unit",     "mg/L",       "--measured",   measured,     "--tolerance",     "10%"};
}

} // namespace

TEST(InstrumentLog, ReadsChangeNothingAndBadEntriesStoreNothing) {
    brtxtest::TempHome home;
    {
        historytest::Db db;
        db.Add({"0123456789", "1", "2026-12-02"});
    }
    const QByteArray before = FileBytes(GetDatabasePath());
    for (const QStringList& read :
         {QStringList{"instrument", "list"}, QStringList{"instrument", "show", "0123456789"},
          QStringList{"instrument", "log", "0123456789", "--format", "json"}}) {
        const brtxtest::CliRun run = brtxtest::runCli(read);
        EXPECT_EQ(run.code, 0) << read.join(' ').toStdString() << run.err.toStdString();
    }
    EXPECT_EQ(FileBytes(GetDatabasePath()), before) << "a read wrote to brtx.db";

    const struct {
        QStringList extra;
        const char* says;
    } refused[] = {
        {{"--supersedes", "9"}, "entry 9 of 0123456789 does not exist"},
        {{"--attach", home.file("missing.pdf")}, "no such file"},
        {{"--measured", "0.08,x"}, "is not a number"},
    };
    for (const auto& r : refused) {
        QStringList args = Accuracy("0.080");
        args << r.extra;
        const brtxtest::CliRun run = brtxtest::runCli(args);
        EXPECT_EQ(run.code, 2) << r.says;
        EXPECT_TRUE(run.err.contains(QLatin1String(r.says))) << run.err.toStdString();
    }
    QStringList unknown = Accuracy("0.080");
    unknown[2] = "999";
    EXPECT_EQ(brtxtest::runCli(unknown).code, 2);
    const brtxtest::CliRun log = brtxtest::runCli({"instrument", "log", "0123456789"});
    EXPECT_EQ(log.out.size(), 1) << "an entry was stored: " << log.out.join('\n').toStdString();
}

TEST(InstrumentLog, VerifyFindsAnEntryEditedOrRemoved) {
    brtxtest::TempHome home;
    {
        historytest::Db db;
        db.Add({"0123456789", "1", "2026-12-02", "08:00:00", "Auto", "0.123", "mg/L", "-"});
        ASSERT_EQ(Seal::SealUnsealed(db.db(), "0123456789", GetPicFolder(), "cli"), 1);
    }
    QFile certificate(home.file("certificate.pdf"));
    ASSERT_TRUE(certificate.open(QIODevice::WriteOnly));
    certificate.write("%PDF-1.4 calibration certificate\n");
    certificate.close();
    QStringList first = Accuracy("0.072,0.088");
    first << "--attach" << certificate.fileName();
    brtxtest::CliRun run = brtxtest::runCli(first);
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.value(0), "entry 1: pass");
    run = brtxtest::runCli(Accuracy("0.0719"));
    EXPECT_EQ(run.out.value(0), "entry 2: fail (0.0719 outside 0.072 to 0.088)");
    run = brtxtest::runCli({"instrument", "log", "0123456789"});
    ASSERT_EQ(run.out.size(), 3);
    const QStringList cells = run.out[1].split('\t');
    const QString attached = home.file(cells.value(14));
    EXPECT_TRUE(cells.value(14).startsWith("certs/0123456789/"));
    EXPECT_EQ(cells.value(15), Sha256::hex(FileBytes(certificate.fileName())));
    EXPECT_EQ(FileBytes(attached), FileBytes(certificate.fileName()));
    EXPECT_EQ(brtxtest::runCli({"verify"}).code, 0);

    const struct {
        const char* sql;
        const char* line;
    } tampering[] = {
        {"UPDATE InstrumentLog SET Measured='0.080' WHERE Id=2", "0123456789\tlog 2\t"},
        {"DELETE FROM InstrumentLog WHERE Id=1", "0123456789\tlog 1\t\t\tLOG-REMOVED"},
    };
    for (const auto& t : tampering) {
        {
            SQLite::Database db;
            ASSERT_EQ(db.Open(GetDatabasePath()), 0);
            ASSERT_EQ(db.ExecuteSQL(QLatin1String(t.sql)), 0);
        }
        run = brtxtest::runCli({"verify"});
        EXPECT_EQ(run.code, 1) << t.sql;
        EXPECT_TRUE(
            std::any_of(run.out.begin(), run.out.end(),
                        [&](const QString& l) { return l.startsWith(QLatin1String(t.line)); }))
            << t.sql << "\n"
            << run.out.join('\n').toStdString();
    }
}

TEST(InstrumentLog, ChartWritesSvgAndPngAndLeavesTheStoreAlone) {
    brtxtest::TempHome home;
    {
        historytest::Db db;
        db.Add({"0123456789", "1", "2026-12-02"});
    }
    ASSERT_EQ(brtxtest::runCli(Accuracy("0.079,0.081")).code, 0);
    const QString before = Sha256::hex(FileBytes(GetDatabasePath()));
    for (const char* name : {"drift.svg", "drift.png"}) {
        const brtxtest::CliRun run =
            brtxtest::runCli({"instrument", "chart", "--device", "0123456789", home.file(name)});
        ASSERT_EQ(run.code, 0) << name << run.err.toStdString();
    }
    EXPECT_EQ(Sha256::hex(FileBytes(GetDatabasePath())), before) << "chart wrote to brtx.db";
    const QByteArray svg = FileBytes(home.file("drift.svg"));
    QXmlStreamReader xml(svg);
    while (!xml.atEnd())
        xml.readNext();
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_TRUE(svg.contains("<svg"));
    EXPECT_EQ(QImage(home.file("drift.png")).size(), QSize(1000, 600));

    const struct {
        QStringList args;
        int code;
    } bad[] = {
        {{"instrument", "chart", "--device", "999", home.file("x.svg")}, 2},
        {{"instrument", "chart", "--device", "0123456789", home.file("x.pdf")}, 2},
        {{"instrument", "chart", home.file("x.svg")}, 2},
        {{"instrument", "chart", "--device", "0123456789"}, 2},
        {{"instrument", "chart", "--device", "0123456789", home.path() + "/none/x.svg"}, 1},
    };
    for (const auto& b : bad)
        EXPECT_EQ(brtxtest::runCli(b.args).code, b.code) << b.args.join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(home.file("x.svg")));
}
