// brtx-cli verify --central: a desk's real seals and signatures checked on the server with a
// reader's login, and what an administrator's direct edit of the store looks like there.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";

// The line's cell, from the problem on: problem and desk.
QStringList ProblemsOf(const CliRun& run) {
    QStringList out;
    for (const QString& line : run.out)
        if (!line.startsWith("verified:"))
            out << line.section('\t', 4);
    return out;
}

} // namespace

TEST(CentralVerify, ReadersCheckEveryDesksCopyAndSeeTheAdministratorsEdits) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    ASSERT_EQ(runCli({"central", "init", "--central", pg.Conninfo()}).code, 0);

    // A desk with 40 records and photographs, sealed and signed by its own desk key.
    QTemporaryDir home;
    FillLocalStore(home.path(), kDevice, 40, 300);
    ASSERT_EQ(runCli({"--home", home.path(), "seal"}).code, 0);
    const CliRun desk = runCli({"--home", home.path(), "desk"});
    ASSERT_EQ(desk.code, 0) << desk.err.toStdString();
    const QString fingerprint = desk.out.value(0).section('\t', 1);
    const QString name = UniqueName("desk");
    const CliRun added =
        runCli({"central", "add-desk", name, "--key", fingerprint, "--central", pg.Conninfo()});
    ASSERT_EQ(added.code, 0) << added.err.toStdString();
    const CliRun synced =
        runCli({"--home", home.path(), "sync", "--central", added.out.value(0)}, 120000);
    ASSERT_EQ(synced.code, 0) << synced.err.toStdString();
    const CliRun reader =
        runCli({"central", "add-reader", UniqueName("reader"), "--central", pg.Conninfo()});
    ASSERT_EQ(reader.code, 0) << reader.err.toStdString();
    const QStringList verify{"--home", home.path(), "verify", "--central", reader.out.value(0)};

    const CliRun clean = runCli(verify);
    EXPECT_EQ(clean.code, 0) << clean.out.join('\n').toStdString() << clean.err.toStdString();
    EXPECT_EQ(clean.out.value(0), "verified: 40, problems: 0, key: " + fingerprint);

    // The central report of record 5 as pdftotext reads it: its integrity lines are the
    // central store's check, so an edit on the server shows although the desk's copy and
    // its local seal are untouched.
    const bool pdfTools = !QStandardPaths::findExecutable("pdftotext").isEmpty();
    const auto reportText = [&]() {
        const CliRun pdf = runCli({"--home", home.path(), "export-pdf", "--central",
                                   reader.out.value(0), "--device", kDevice, "--record", "5"});
        EXPECT_EQ(pdf.code, 0) << pdf.err.toStdString();
        QProcess text;
        text.start("pdftotext", {pdf.out.value(pdf.out.size() - 1), "-"});
        text.waitForFinished(20000);
        return QString::fromUtf8(text.readAllStandardOutput()).simplified();
    };
    if (pdfTools) {
        const QString report = reportText();
        EXPECT_TRUE(report.contains("match their seal")) << report.toStdString();
        EXPECT_FALSE(report.contains("FAILED")) << report.toStdString();
    }

    // Each edit, the line verify prints for it (problem and desk) and the edit undone.
    const QString head = "(SELECT head_hash FROM witnesses WHERE chain LIKE 'seal:%')";
    struct Edit {
        const char* what;
        QString edit, undo, expected;
    } edits[] = {
        {"a value", "UPDATE records SET test_result = test_result || '9' WHERE record_no = '5'",
         "UPDATE records SET test_result = left(test_result, -1) WHERE record_no = '5'",
         "ROW-CHANGED\t" + name},
        {"a photograph's bytes",
         "UPDATE pictures SET bytes = bytes || '\\x00'::bytea WHERE record_no = '6'",
         "UPDATE pictures SET bytes = substr(bytes, 1, length(bytes) - 1) WHERE record_no = '6'",
         "PICTURE-CHANGED\t" + name},
        {"a seal's time", "UPDATE seals SET sealedat = sealedat || 'x' WHERE record_no = '7'",
         "UPDATE seals SET sealedat = left(sealedat, -1) WHERE record_no = '7'",
         "CHAIN-BROKEN\t" + name},
        {"a record removed",
         "CREATE TABLE keep AS SELECT * FROM records WHERE record_no = '8'; CREATE TABLE keep_p "
         "AS SELECT * FROM pictures WHERE record_no = '8'; DELETE FROM pictures WHERE record_no "
         "= '8'; DELETE FROM records WHERE record_no = '8'",
         "INSERT INTO records SELECT * FROM keep; INSERT INTO pictures SELECT * FROM keep_p; "
         "DROP TABLE keep, keep_p",
         "ROW-MISSING\t" + name},
        {"the newest signature",
         "UPDATE chain_signatures SET signature = reverse(signature) WHERE seq = (SELECT "
         "max(seq) FROM chain_signatures)",
         "UPDATE chain_signatures SET signature = reverse(signature) WHERE seq = (SELECT "
         "max(seq) FROM chain_signatures)",
         "SIGNATURE-INVALID\t" + name},
        {"the head's seal", "UPDATE seals SET seal = reverse(seal) WHERE seal = " + head,
         "UPDATE seals SET seal = reverse(seal) WHERE reverse(seal) = " + head,
         "WITNESS-MISSING\t" + name},
        {"another desk's copy",
         "INSERT INTO records (machine_no, record_no, date_date, time_time, test_result, station) "
         "SELECT machine_no, record_no, date_date, time_time, '0.5', 'other' FROM records WHERE "
         "record_no = '9'",
         "DELETE FROM records WHERE station = 'other'",
         QStringList{name, "other"}.join(',').prepend("CONFLICT\t")},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        QString why;
        ASSERT_TRUE(pg.Db().Command(e.edit, &why)) << why.toStdString();
        const CliRun run = runCli(verify);
        EXPECT_EQ(run.code, 1);
        EXPECT_TRUE(ProblemsOf(run).contains(e.expected)) << run.out.join('\n').toStdString();
        EXPECT_TRUE(run.out.last().startsWith("verified: ")) << run.err.toStdString();
        if (pdfTools && e.expected.startsWith("ROW-CHANGED")) {
            const QString report = reportText();
            EXPECT_TRUE(report.contains("Integrity check failed") &&
                        report.contains("FAILED (ROW-CHANGED)"))
                << report.toStdString();
        }
        ASSERT_TRUE(pg.Db().Command(e.undo, &why)) << why.toStdString();
    }
    const CliRun again = runCli(verify + QStringList{"--device", kDevice});
    EXPECT_EQ(again.code, 0) << again.out.join('\n').toStdString();
    EXPECT_EQ(runCli(verify + QStringList{"--head"}).code, 2);
}
