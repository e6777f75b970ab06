// The discovery package through brtx-cli, checked by independent readers: python's zipfile
// and hashlib for the manifest, the openssl command for its signature, pdftotext for the
// report; redaction leaves no trace of a redacted value in any file.
#include "common/TestSupport.h"

#include "base/Paths.h"

#include "history/HistoryDb.h"
#include "sim/lib/Simulator.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QString RunTool(const QString& program, const QStringList& args, int* code = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(60000);
    if (code)
        *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

// Unpacks the zip into folder and checks every file against manifest.txt and the manifest's
// signature against desk.pub; "" when all holds, else what did not.
QString CheckPackage(const QString& zip, const QString& folder) {
    const char* script = R"(
import hashlib, os, sys, zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
os.chdir(sys.argv[2])
listed = set()
for line in open("manifest.txt", encoding="utf-8"):
    sha, size, name = line.rstrip("\n").split("  ", 2)
    data = open(name, "rb").read()
    if hashlib.sha256(data).hexdigest() != sha or len(data) != int(size):
        print("mismatch", name)
    listed.add(name)
for root, _, files in os.walk("."):
    for f in files:
        name = os.path.relpath(os.path.join(root, f))
        if name not in listed and name not in ("manifest.txt", "manifest.sig"):
            print("unlisted", name)
)";
    QString problems = RunTool(QStringLiteral("python3"), {"-c", script, zip, folder});
    int code = 0;
    const QString verified =
        RunTool(QStringLiteral("openssl"),
                {"pkeyutl", "-verify", "-pubin", "-inkey", folder + "/desk.pub", "-rawin", "-in",
                 folder + "/manifest.txt", "-sigfile", folder + "/manifest.sig"},
                &code);
    if (code != 0 || !verified.contains("Signature Verified Successfully"))
        problems += "signature: " + verified;
    return problems;
}

} // namespace

TEST(Discovery, ASignedPackageEveryReaderAgreesWith) {
    brtxtest::TempHome home;
    const QString address = QStringLiteral("127.0.57.%1").arg(1 + ::getpid() % 200);
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = 4;
    config.photoBytes = 1500;
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    ASSERT_EQ(brtxtest::runCli({"download", "--wifi", address}).code, 0);
    const QString device = sim.DeviceNumberText();
    QFile certificate(home.file("certificate.pdf"));
    ASSERT_TRUE(certificate.open(QIODevice::WriteOnly));
    certificate.write("%PDF-1.4 certificate of calibration\n");
    certificate.close();
    ASSERT_EQ(
        brtxtest::runCli(
            {"instrument",          "log",      device,        "--add",        "--kind",
             "calibration",         "--date",   "2023-12-20",  "--technician", "Technician Quill",
             "--standard-kind",     "wet-bath", "--lot",       "WB-1",         "--expiry",
             "2025-01-01",          "--target", "0.080",       "--unit",       "mg/L",
             "--measured",          "0.081",    "--tolerance", "0.004",        "--attach",
             certificate.fileName()})
            .code,
        0);
    QFile db(GetDatabasePath());
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    const QByteArray before = db.readAll();
    db.close();

    // The whole package: every file listed, hashed and signed; the report names the key.
    brtxtest::CliRun run =
        brtxtest::runCli({"discovery", "--device", device, home.file("case.zip")}, 120000);
    ASSERT_EQ(run.code, 0) << run.out.join('\n').toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.value(0).startsWith("records: 4, pictures: 4, log entries: 1"))
        << run.out.value(0).toStdString();
    EXPECT_EQ(CheckPackage(home.file("case.zip"), home.file("whole")), QString());
    EXPECT_TRUE(QFile::exists(home.file("whole/certs/" + device)));
    const QString report = RunTool("pdftotext", {home.file("whole/report.pdf"), "-"});
    EXPECT_TRUE(report.contains(run.out.value(0).section("key: ", 1))) << report.toStdString();
    QFile records(home.file("whole/records.csv"));
    ASSERT_TRUE(records.open(QIODevice::ReadOnly));
    EXPECT_TRUE(records.readAll().contains(",verified,lapsed,no accuracy check before the test"));

    // Redacted: no trace of the officer's field or the technician in any file.
    run = brtxtest::runCli(
        {"discovery", "--device", device, "--redact", "Name,Technician", home.file("open.zip")},
        120000);
    ASSERT_EQ(run.code, 0) << run.out.join('\n').toStdString();
    EXPECT_EQ(CheckPackage(home.file("open.zip"), home.file("open")), QString());
    RunTool("pdftotext", {home.file("open/report.pdf"), home.file("open/report.txt")});
    QDirIterator files(home.file("open"), QDir::Files, QDirIterator::Subdirectories);
    int searched = 0;
    while (files.hasNext()) {
        QFile f(files.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        ++searched;
        EXPECT_FALSE(bytes.contains("Quill")) << f.fileName().toStdString();
        EXPECT_FALSE(bytes.contains("F1-")) << f.fileName().toStdString(); // the Name field
        EXPECT_FALSE(f.fileName().contains("/pictures/") || f.fileName().contains("/certs/"));
    }
    EXPECT_GE(searched, 8);

    // Bad input; and discovery never touched the database.
    EXPECT_EQ(brtxtest::runCli({"discovery", "--device", "999", home.file("x.zip")}).code, 2);
    run = brtxtest::runCli(
        {"discovery", "--device", device, "--start", "2030-01-01", home.file("empty.zip")}, 120000);
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.out.value(0).contains("no records")) << run.out.join('\n').toStdString();
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    EXPECT_EQ(db.readAll(), before);
}

TEST(Discovery, ALongPeriodPrintsEveryRecordAsAListing) {
    brtxtest::TempHome home;
    {
        historytest::Db db;
        db.AddMany("0123456789", 1200, "2026-11-02");
    }
    // A register edit is signed: the desk key is made with it.
    ASSERT_EQ(brtxtest::runCli({"instrument", "set", "0123456789", "--label", "Car 7"}).code, 0);
    const brtxtest::CliRun run = brtxtest::runCli(
        {"discovery", "--device", "0123456789", "--no-pictures", home.file("long.zip")}, 120000);
    ASSERT_EQ(run.code, 0) << run.out.join('\n').toStdString() << run.err.toStdString();
    EXPECT_EQ(CheckPackage(home.file("long.zip"), home.file("long")), QString());
    // Every record on a line of its own, its states beside it.
    const QString report = RunTool("pdftotext", {"-layout", home.file("long/report.pdf"), "-"});
    QSet<int> numbers;
    static const QRegularExpression line(
        QStringLiteral("^\\s*0123456789\\s+(\\d+)\\s+2026-11-02.*unsealed\\s+unknown\\s*$"));
    for (const QString& l : report.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = line.match(l);
        if (m.hasMatch())
            numbers.insert(m.captured(1).toInt());
    }
    EXPECT_EQ(numbers.size(), 1200);
    EXPECT_TRUE(numbers.contains(1) && numbers.contains(1200));
}
