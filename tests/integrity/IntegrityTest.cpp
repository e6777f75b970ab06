// Record seals and the audit trail end to end: records downloaded from the simulator by
// brtx-cli, then the database or the picture folder tampered with, and `brtx-cli verify`
// must name exactly what was done.
#include "common/TestSupport.h"

#include "history/core/SealMarks.h"
#include "reports/ReportSeal.h"
#include "sim/lib/Simulator.h"
#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Seal.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

using brtxtest::CliRun;

constexpr int kRecords = 5;

bool copyTree(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QFileInfo& e : QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString target = to + "/" + e.fileName();
        if (e.isDir() ? !copyTree(e.filePath(), target) : !QFile::copy(e.filePath(), target))
            return false;
    }
    return true;
}

class IntegrityTest : public ::testing::Test {
protected:
    // One download of kRecords records, copied into each test's own program folder.
    static void SetUpTestSuite() {
        s_template = std::make_unique<brtxtest::TempHome>(true, "template");
        // ctest may run the tests of this file side by side: each process its own address.
        const QString address = QString("127.0.53.%1").arg(20 + ::getpid() % 200);
        brtxsim::SimConfig config;
        config.address = address;
        config.recordCount = kRecords;
        config.photoBytes = 1500;
        brtxsim::CSimulator sim(config);
        QString error;
        ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
        const CliRun r =
            brtxtest::runCli({"--home", s_template->path(), "download", "--wifi", address}, 60000);
        ASSERT_EQ(r.code, 0) << r.out.join('\n').toStdString();
        s_device = sim.DeviceNumberText();
    }
    static void TearDownTestSuite() { s_template.reset(); }

    void SetUp() override { ASSERT_NO_FATAL_FAILURE(freshCopy()); }

    // A new program folder holding a copy of the download.
    void freshCopy() {
        ASSERT_TRUE(s_template && !s_device.isEmpty()) << "the download for the tests failed";
        m_case.reset();
        m_case = std::make_unique<brtxtest::TempHome>(true, "case");
        for (const char* name : {"brtx.db", "pic", "desk.key"}) {
            const QString from = s_template->file(name);
            ASSERT_TRUE(QFileInfo(from).isDir() ? copyTree(from, m_case->file(name))
                                                : QFile::copy(from, m_case->file(name)));
        }
        ASSERT_TRUE(
            QFile::setPermissions(m_case->file("desk.key"), QFile::ReadOwner | QFile::WriteOwner));
    }

    CliRun cli(const QStringList& args) {
        return brtxtest::runCli(QStringList{"--home", m_case->path()} + args, 60000);
    }
    void sql(const QString& statement) {
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
        ASSERT_EQ(db.ExecuteSQL(statement), 0) << statement.toStdString();
    }
    QString picture(int record) const {
        return m_case->file(QString("pic/%1/%2.jpg").arg(s_device).arg(record, 5, 10, QChar('0')));
    }
    // The problem lines of a verify run as "record KIND" (date and time checked as present).
    static QStringList problems(const CliRun& r) {
        QStringList out;
        for (const QString& line : r.out) {
            const QStringList cells = line.split('\t');
            if (cells.size() == 5 && !cells[0].startsWith("head") && cells[4] != "present")
                out << cells[1] + " " + cells[4];
        }
        return out;
    }

    // The history list's marks of the stored records in rowid order, each checked against
    // verify's lines: a record verify names is never ✓.
    QString marks(const CliRun& r) {
        CSealMarks seals;
        seals.SetSource(m_case->file("brtx.db"), m_case->file("pic"));
        SQLite::Database db;
        EXPECT_EQ(db.Open(m_case->file("brtx.db"), SQLite::Database::Access::ReadOnly), 0);
        const SQLite::Table t = db.QuerySQL(
            "SELECT Machine_NO,Record_No,Date_Date,Time_Time FROM ValueInfo ORDER BY rowid");
        const QStringList lines = problems(r);
        QString out;
        for (int i = 0; i < t.GetRowCount(); ++i) {
            out += seals.Mark(t.Cell(i, 0), t.Cell(i, 1), t.Cell(i, 2), t.Cell(i, 3));
            const bool named =
                !lines.filter(QRegularExpression("^" + t.Cell(i, 1) + " ")).isEmpty();
            EXPECT_FALSE(named && out.back() == QChar(0x2713)) << t.Cell(i, 1).toStdString();
        }
        return out;
    }

    static inline std::unique_ptr<brtxtest::TempHome> s_template;
    static inline QString s_device;
    std::unique_ptr<brtxtest::TempHome> m_case;
};

TEST_F(IntegrityTest, UntouchedRecordsVerify) {
    const CliRun r = cli({"verify", "--head"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_TRUE(
        r.out.last().startsWith(QString("verified: %1, problems: 0").arg(kRecords) + ", key: "));
    const QStringList head = r.out.filter(QRegularExpression("^head\t"));
    ASSERT_EQ(head.size(), 1);
    EXPECT_TRUE(QRegularExpression("^head\t" + s_device +
                                   "\t5\t[0-9a-f]{64}\t\\d{4}-\\d\\d-\\d\\dT"
                                   "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$")
                    .match(head.first())
                    .hasMatch())
        << head.first().toStdString();
    EXPECT_EQ(r.out.filter(QRegularExpression("^audit-head\t\\d+\t[0-9a-f]{64}$")).size(), 1);
}

TEST_F(IntegrityTest, IndependentCheckerAgrees) {
    // The hash rules as docs/integrity.md gives them, followed by a separate Python script.
    if (QStandardPaths::findExecutable("python3").isEmpty())
        GTEST_SKIP() << "python3 missing";
    auto check = [&] {
        QProcess p;
        p.start("python3", {brtxtest::sourceDir() + "/scripts/seal-check.py", m_case->path()});
        EXPECT_TRUE(p.waitForFinished(30000));
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    };
    EXPECT_EQ(check(), QString("checked: %1, failed: 0").arg(kRecords));
    sql("UPDATE ValueInfo SET Field3='x' WHERE Record_No='4'");
    EXPECT_TRUE(check().startsWith(s_device + " 4: ROW-CHANGED"));
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        return;
    // The desk signatures, checked with the openssl command alone.
    sql("UPDATE ChainSignature SET Signature=(CASE WHEN Signature LIKE 'A%' THEN 'B' ELSE 'A' END)"
        "||substr(Signature,2) WHERE Seq=3");
    EXPECT_TRUE(check().contains("signature 3 of seal:" + s_device + ": SIGNATURE-INVALID"));
}

TEST_F(IntegrityTest, VerifyNamesEachTampering) {
    struct Case {
        const char* what;
        std::function<void()> tamper;
        QStringList expected;
    };
    const QList<Case> cases = {
        {"stored value",
         [&] { sql("UPDATE ValueInfo SET Test_Result='0.000' WHERE Record_No='2'"); },
         {"2 ROW-CHANGED"}},
        {"picture byte",
         [&] {
             QFile f(picture(3));
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             f.seek(700);
             const char c = f.peek(1).at(0);
             f.write(QByteArray(1, char(c ^ 1)));
         },
         {"3 PICTURE-CHANGED"}},
        {"picture removed", [&] { ASSERT_TRUE(QFile::remove(picture(4))); }, {"4 PICTURE-MISSING"}},
        {"row removed",
         [&] { sql("DELETE FROM ValueInfo WHERE Record_No='2'"); },
         {"2 ROW-MISSING"}},
        {"seal edited",
         [&] { sql("UPDATE RecordSeal SET RowHash=upper(RowHash) WHERE Record_No='3'"); },
         {"3 CHAIN-BROKEN"}},
        {"seal forged to match an edited row",
         [&] {
             sql("UPDATE ValueInfo SET Test_Result='0.000' WHERE Record_No='3'");
             sql("UPDATE RecordSeal SET RowHash='00' WHERE Record_No='3'");
         },
         {"3 CHAIN-BROKEN"}},
        {"middle seal removed",
         [&] { sql("DELETE FROM RecordSeal WHERE Record_No='3'"); },
         {"3 UNSEALED", "4 CHAIN-BROKEN", "signature 4 SIGNATURE-INVALID"}},
        {"newest seal removed",
         [&] { sql("DELETE FROM RecordSeal WHERE Record_No='5'"); },
         {"5 UNSEALED", "signature 6 SIGNATURE-INVALID"}},
        {"seals re-ordered",
         [&] { sql("UPDATE RecordSeal SET Seq=Seq+100 WHERE Record_No='2'"); },
         {"2 CHAIN-BROKEN", "3 CHAIN-BROKEN", "signature 3 SIGNATURE-INVALID"}},
        {"tombstone without its audit entry",
         [&] {
             sql("UPDATE RecordSeal SET Deleted=1 WHERE Record_No='2'");
             sql("DELETE FROM ValueInfo WHERE Record_No='2'");
         },
         {"2 RESEALED"}},
        {"audit entry edited",
         [&] { sql("UPDATE AuditLog SET Outcome='ok' WHERE Seq=2"); },
         {"audit 2 CHAIN-BROKEN"}},
        {"audit entry removed",
         [&] { sql("DELETE FROM AuditLog WHERE Seq=1"); },
         {"audit 2 CHAIN-BROKEN", "signature 1 SIGNATURE-INVALID"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(freshCopy());
        ASSERT_NO_FATAL_FAILURE(c.tamper());
        const CliRun r = cli({"verify"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(problems(r), c.expected) << r.out.join('\n').toStdString();
        EXPECT_TRUE(r.out.last().contains(QString("problems: %1, key: ").arg(c.expected.size())))
            << r.out.last().toStdString();
    }
}

TEST_F(IntegrityTest, DamagedSealTableIsReportedNotTrusted) {
    sql("ALTER TABLE RecordSeal RENAME TO Old");
    sql("CREATE TABLE RecordSeal (Seq INTEGER PRIMARY KEY, Machine_NO TEXT)");
    CliRun r = cli({"verify"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.last().startsWith("verify: the seal table cannot be read"))
        << r.out.join('\n').toStdString();
    EXPECT_EQ(cli({"seal"}).code, 1); // nothing is sealed over a table it cannot read

    ASSERT_NO_FATAL_FAILURE(freshCopy());
    QFile db(m_case->file("brtx.db"));
    ASSERT_TRUE(db.resize(db.size() / 2));
    r = cli({"verify"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.last().startsWith("verify: ")) << r.out.join('\n').toStdString();
}

TEST_F(IntegrityTest, OldDatabaseIsSealedLateAndAudited) {
    for (const char* table : {"RecordSeal", "AuditLog", "ChainSignature", "DeskKey"})
        sql(QString("DROP TABLE ") + table);
    CliRun r = cli({"verify"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(problems(r).size(), kRecords);
    EXPECT_EQ(problems(r).filter("UNSEALED").size(), kRecords);

    r = cli({"seal", "--device", s_device});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.last(), QString("sealed: %1").arg(kRecords));
    r = cli({"verify"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_EQ(cli({"seal"}).out.last(), "sealed: 0");

    SQLite::Database db;
    ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
    EXPECT_EQ(db.QuerySQL("SELECT count(*) FROM RecordSeal WHERE Late=1").Cell(0, 0),
              QString::number(kRecords));
    r = cli({"audit", "--device", s_device});
    ASSERT_EQ(r.out.size(), 2) << r.out.join('\n').toStdString();
    const QStringList entry = r.out[1].split('\t');
    EXPECT_EQ(entry.value(4), "cli");
    EXPECT_EQ(entry.value(5), "seal");
    EXPECT_EQ(entry.value(7), QString("%1 records").arg(kRecords));
}

TEST_F(IntegrityTest, DownloadIsAuditedAndListedSinceADate) {
    CliRun r = cli({"audit"});
    ASSERT_EQ(r.code, 0);
    ASSERT_EQ(r.out.size(), 3) << r.out.join('\n').toStdString();
    const QStringList connect = r.out[1].split('\t');
    const QStringList download = r.out[2].split('\t');
    EXPECT_EQ(connect.value(5), "connect");
    EXPECT_EQ(connect.value(6), s_device);
    EXPECT_TRUE(connect.value(7).startsWith("127.0.53.")) << r.out[1].toStdString();
    EXPECT_EQ(download.value(4), "cli");
    EXPECT_EQ(download.value(5), "download");
    EXPECT_EQ(download.value(7), "1-5");
    EXPECT_EQ(download.value(8), "downloaded: 5, skipped: 0, failed: 0");
    EXPECT_EQ(download.value(2), Audit::CurrentUser());
    EXPECT_EQ(cli({"audit", "--since", "2999-01-01"}).out.size(), 1);
    EXPECT_EQ(cli({"audit", "--device", "nobody"}).out.size(), 1);
}

// An attacker with a copy of brtx.db but without desk.key: each tampering shows as exactly one
// line of verify (the witness and key cases only with what the operator noted earlier).
TEST_F(IntegrityTest, TamperingMatrixOneLineEach) {
    QStringList verifyArgs;
    // What a forger's own program would run on the file: plain statements, and the store's
    // sealing and audit code without the desk key.
    auto withDb = [&](const std::function<void(SQLite::Database&)>& work) {
        SQLite::Database db;
        ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
        work(db);
    };
    auto value = [&](const QString& query) {
        SQLite::Database db;
        db.Open(m_case->file("brtx.db"));
        return db.QuerySQL(query).Cell(0, 0);
    };
    auto witness = [&](const QString& device, const QString& query) {
        const QString file = m_case->file("witness.txt");
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write((device + "\t" + value(query) + "\n").toUtf8());
        verifyArgs = {"--witness", file};
    };
    auto rehashAuditFrom = [&](SQLite::Database& db, qint64 from) {
        QString prev = db.QuerySQL(QString("SELECT Hash FROM AuditLog WHERE Seq<%1 ORDER BY Seq "
                                           "DESC LIMIT 1")
                                       .arg(from))
                           .m_rows.value(0)
                           .value(0);
        bool ok = false;
        for (Audit::Entry e : Audit::List(db, QString(), QString(), &ok)) {
            if (e.seq < from)
                continue;
            e.prevHash = prev;
            prev = Audit::ComputeHash(e);
            ASSERT_EQ(db.ExecuteSQL(QString("UPDATE AuditLog SET PrevHash='%1',Hash='%2' WHERE "
                                            "Seq=%3")
                                        .arg(e.prevHash, prev)
                                        .arg(e.seq)),
                      0);
        }
    };
    auto flipSignature = [&](const QString& which) {
        const QByteArray sig = QByteArray::fromBase64(
            value("SELECT Signature FROM ChainSignature WHERE " + which).toLatin1());
        QByteArray flipped = sig;
        flipped[10] = char(flipped[10] ^ 0x01);
        sql(QString("UPDATE ChainSignature SET Signature='%1' WHERE %2")
                .arg(QString::fromLatin1(flipped.toBase64()), which));
    };
    // Edits record 3's result and appends a correctly hashed seal for it, as a forger with
    // the seal rules but not the desk key would.
    auto editAndResealRecord3 = [&] {
        sql("UPDATE ValueInfo SET Test_Result='0.000' WHERE Record_No='3'");
        withDb([&](SQLite::Database& db) {
            ASSERT_EQ(db.ExecuteSQL("BEGIN IMMEDIATE"), 0);
            ASSERT_TRUE(Seal::SealRow(
                db, value("SELECT rowid FROM ValueInfo WHERE Record_No='3'").toLongLong(),
                m_case->file("pic")));
            ASSERT_EQ(db.ExecuteSQL("COMMIT"), 0);
        });
    };
    const QString chain = "'seal:" + s_device + "'";
    struct Case {
        const char* what;
        std::function<void()> tamper;
        QStringList expected; // one line; a re-seal in place also the signature over that seal
        QString marks;        // the list's marks of the records left, in rowid order
    };
    const QString ok = "\u2713", bad = "\u2717";
    const QList<Case> cases = {
        {"re-seal by appending",
         [&] { editAndResealRecord3(); },
         {"3 RESEALED"},
         ok + ok + bad + ok + ok},
        {"re-sealed in place",
         [&] {
             editAndResealRecord3();
             withDb([&](SQLite::Database& db) {
                 // The new row hash moves into record 3's own seal, recomputed; the appended
                 // seal goes.
                 const SQLite::Table t =
                     db.QuerySQL("SELECT Seq,Machine_NO,Record_No,Date_Date,Time_Time,RowHash,"
                                 "PictureHash,SealedAt,PrevSeal,Late FROM RecordSeal WHERE "
                                 "Record_No='3' ORDER BY Seq");
                 Seal::Record rec{t.Cell(0, 0).toLongLong(),
                                  t.Cell(0, 1),
                                  t.Cell(0, 2),
                                  t.Cell(0, 3),
                                  t.Cell(0, 4),
                                  t.Cell(1, 5),
                                  t.Cell(0, 6),
                                  t.Cell(0, 7),
                                  t.Cell(0, 8),
                                  QString(),
                                  t.Cell(0, 9) == "1"};
                 ASSERT_EQ(db.ExecuteSQL(QString("UPDATE RecordSeal SET RowHash='%1',Seal='%2' "
                                                 "WHERE Seq=%3")
                                             .arg(rec.rowHash, Seal::ComputeSeal(rec))
                                             .arg(rec.seq)),
                           0);
                 ASSERT_EQ(db.ExecuteSQL("DELETE FROM RecordSeal WHERE Seq=" + t.Cell(1, 0)), 0);
             });
         },
         {"4 CHAIN-BROKEN", "signature 4 SIGNATURE-INVALID"},
         bad + bad + bad + bad + bad},
        {"forged tombstone",
         [&] {
             withDb([&](SQLite::Database& db) {
                 ASSERT_EQ(db.ExecuteSQL("BEGIN IMMEDIATE"), 0);
                 ASSERT_TRUE(Audit::AppendInTransaction(
                     db, "page", "tombstone", s_device,
                     "3 x x seal " + value("SELECT Seal FROM RecordSeal WHERE Record_No='3'"),
                     "deleted by the program"));
                 ASSERT_EQ(db.ExecuteSQL("COMMIT"), 0);
             });
             sql("UPDATE RecordSeal SET Deleted=1 WHERE Record_No='3'");
             sql("DELETE FROM ValueInfo WHERE Record_No='3'");
         },
         {"3 RESEALED"},
         ok + ok + ok + ok},
        {"Deleted alone",
         [&] { sql("UPDATE RecordSeal SET Deleted=1 WHERE Record_No='3'"); },
         {"3 RESEALED"},
         ok + ok + bad + ok + ok},
        {"inserted duplicate row",
         [&] {
             sql("INSERT INTO ValueInfo SELECT * FROM ValueInfo WHERE Record_No='3'");
             sql("UPDATE ValueInfo SET Test_Result='0.000' WHERE rowid=(SELECT max(rowid) FROM "
                 "ValueInfo)");
         },
         {"3 UNSEALED"},
         ok + ok + bad + ok + ok + bad},
        {"edited audit entry re-hashed",
         [&] {
             withDb([&](SQLite::Database& db) {
                 ASSERT_EQ(db.ExecuteSQL("UPDATE AuditLog SET Outcome='ok' WHERE Seq=1"), 0);
                 rehashAuditFrom(db, 1);
             });
         },
         {"signature 1 SIGNATURE-INVALID"},
         ok + ok + ok + ok + ok},
        {"newest audit entries removed",
         [&] {
             witness("audit", "SELECT Hash FROM AuditLog ORDER BY Seq DESC LIMIT 1");
             sql("DELETE FROM ChainSignature WHERE Chain='audit' AND HeadSeq=(SELECT max(Seq) FROM "
                 "AuditLog)");
             sql("DELETE FROM AuditLog WHERE Seq=(SELECT max(Seq) FROM AuditLog)");
         },
         {"witness WITNESS-MISSING"},
         ok + ok + ok + ok + ok},
        {"newest seals removed",
         [&] {
             witness(s_device, "SELECT Seal FROM RecordSeal ORDER BY Seq DESC LIMIT 1");
             sql("DELETE FROM ChainSignature WHERE Chain=" + chain + " AND HeadSeq>=4");
             sql("DELETE FROM RecordSeal WHERE Seq>=4");
             sql("DELETE FROM ValueInfo WHERE Record_No IN ('4','5')");
         },
         {"witness WITNESS-MISSING"},
         ok + ok + ok},
        {"public key replaced and everything re-signed",
         [&] {
             verifyArgs = {"--key", value("SELECT Fingerprint FROM DeskKey")};
             ASSERT_TRUE(QFile::remove(m_case->file("desk.key")));
             sql("DELETE FROM DeskKey");
             sql("DELETE FROM ChainSignature");
             ASSERT_EQ(cli({"seal", "--sign"}).code, 0);
             // Consistent in itself: only the fingerprint the operator noted tells.
             ASSERT_EQ(cli({"verify"}).code, 0);
         },
         {"signature 8 KEY-CHANGED"},
         ok + ok + ok + ok + ok},
        {"newest signature byte flipped (the audit trail's)",
         [&] { flipSignature("Seq=(SELECT max(Seq) FROM ChainSignature)"); },
         {"signature 7 SIGNATURE-INVALID"},
         ok + ok + ok + ok + ok},
        {"older signature byte flipped",
         [&] { flipSignature("Seq=4"); },
         {"signature 4 SIGNATURE-INVALID"},
         bad + bad + bad + bad + bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(freshCopy());
        verifyArgs.clear();
        ASSERT_EQ(cli(QStringList{"verify"}).code, 0);
        ASSERT_NO_FATAL_FAILURE(c.tamper());
        const CliRun r = cli(QStringList{"verify"} + verifyArgs);
        EXPECT_EQ(r.code, 1);
        const QStringList found = problems(r);
        EXPECT_EQ(found, c.expected) << r.out.join('\n').toStdString();
        EXPECT_TRUE(r.out.last().contains(QString("problems: %1, key: ").arg(c.expected.size())))
            << r.out.last().toStdString();
        EXPECT_EQ(marks(r), c.marks);
    }
}

TEST_F(IntegrityTest, DeskKeyFileIsCheckedAndChangesAreReported) {
    CliRun r = cli({"desk"});
    ASSERT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_TRUE(QRegularExpression("^fingerprint\t[0-9a-f]{64}$").match(r.out.value(0)).hasMatch());
    EXPECT_TRUE(r.out.contains("-----BEGIN PUBLIC KEY-----"));
    const QString first = r.out.value(0).mid(12);
    EXPECT_EQ(QFileInfo(m_case->file("desk.key")).permissions() & 0x0077, 0);
    EXPECT_EQ(cli({"desk", "--label", "front desk"}).code, 0);
    EXPECT_EQ(cli({"desk"}).out.value(1), "label\tfront desk");

    // A key file others may read is refused: records are sealed but left unsigned.
    ASSERT_TRUE(QFile::setPermissions(m_case->file("desk.key"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    sql("DELETE FROM ChainSignature WHERE HeadSeq=5 AND Chain LIKE 'seal:%'");
    sql("DELETE FROM RecordSeal WHERE Record_No='5'");
    EXPECT_EQ(cli({"seal"}).out.last(), "sealed: 1");
    r = cli({"verify"});
    EXPECT_EQ(problems(r).filter("5 UNSIGNED").size(), 1) << r.out.join('\n').toStdString();
    EXPECT_EQ(cli({"desk"}).code, 1);
    ASSERT_TRUE(
        QFile::setPermissions(m_case->file("desk.key"), QFile::ReadOwner | QFile::WriteOwner));
    r = cli({"seal", "--sign"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    r = cli({"verify"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();

    // A lost key file: a new key, audited, and verify shows the boundary.
    ASSERT_TRUE(QFile::remove(m_case->file("desk.key")));
    sql("DELETE FROM ChainSignature WHERE HeadSeq=4 AND Chain LIKE 'seal:%'");
    sql("DELETE FROM RecordSeal WHERE Record_No='4'");
    EXPECT_EQ(cli({"seal"}).out.last(), "sealed: 1");
    r = cli({"verify"});
    EXPECT_EQ(problems(r).filter("KEY-CHANGED").size(), 1) << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.out.last().contains(first + ",")) << r.out.last().toStdString();
    EXPECT_EQ(cli({"audit"}).out.filter("\tdesk-key\t").size(), 1);
    EXPECT_EQ(cli({"verify", "--key", first}).code, 1);
}

TEST_F(IntegrityTest, ProgramDeletionLeavesATombstone) {
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
    ASSERT_TRUE(QFile::remove(picture(2)));
    EXPECT_EQ(Seal::RecordDeletion(db, m_case->file("pic"), {picture(2)}, "test", "page"), 1);
    db.Close();
    const CliRun r = cli({"verify"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.out.last().startsWith(QString("verified: %1, problems: 0").arg(kRecords - 1) +
                                        ", key: "));
    EXPECT_EQ(cli({"audit"}).out.filter("\ttombstone\t").size(), 1);
}

TEST_F(IntegrityTest, ListMarksAndReportLines) {
    sql("UPDATE ValueInfo SET Test_Result='9' WHERE Record_No='2'");
    ASSERT_TRUE(QFile::remove(picture(3)));
    sql("INSERT INTO ValueInfo SELECT * FROM ValueInfo WHERE Record_No='5'");
    sql("UPDATE ValueInfo SET Record_No='6' WHERE rowid=(SELECT max(rowid) FROM ValueInfo)");
    CSealMarks marks;
    marks.SetSource(m_case->file("brtx.db"), m_case->file("pic"));
    QStringList shown;
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
    const SQLite::Table t = db.QuerySQL(
        "SELECT Machine_NO,Record_No,Date_Date,Time_Time FROM ValueInfo ORDER BY rowid");
    for (int r = 0; r < t.GetRowCount(); ++r)
        shown << marks.Mark(t.Cell(r, 0), t.Cell(r, 1), t.Cell(r, 2), t.Cell(r, 3));
    EXPECT_EQ(shown, QStringList({"\u2713", "\u2717", "\u2717", "\u2713", "\u2713", "\u2013"}));

    const QString page = "<html><body class=\"bg\"><p>report</p></body></html>";
    const Seal::Status good =
        marks.StatusOf(t.Cell(0, 0), t.Cell(0, 1), t.Cell(0, 2), t.Cell(0, 3));
    ASSERT_EQ(good.state, Seal::State::Verified);
    QString html = WithIntegrityLines(page, good, "2026-01-01T00:00:00.000Z");
    EXPECT_TRUE(html.contains(good.seal)) << html.toStdString();
    EXPECT_FALSE(html.contains("Integrity check failed"));
    const Seal::Status bad = marks.StatusOf(t.Cell(1, 0), t.Cell(1, 1), t.Cell(1, 2), t.Cell(1, 3));
    html = WithIntegrityLines(page, bad, "2026-01-01T00:00:00.000Z");
    EXPECT_TRUE(html.startsWith("<html><body class=\"bg\"><div class=\"integrity-failed\""));
    EXPECT_TRUE(html.contains("Integrity check failed: the stored values differ"));

    // Record 6 sealed later by the operator: its footer says so, names the signing desk and
    // the device's chain head, now its seal.
    ASSERT_EQ(cli({"seal"}).out.last(), "sealed: 1");
    marks.Clear();
    const Seal::Status late =
        marks.StatusOf(t.Cell(5, 0), t.Cell(5, 1), t.Cell(5, 2), t.Cell(5, 3));
    ASSERT_EQ(late.state, Seal::State::Verified) << late.detail.toStdString();
    html = WithIntegrityLines(page, late, "2026-01-01T00:00:00.000Z");
    const SQLite::Table desk = db.QuerySQL("SELECT Fingerprint,Label FROM DeskKey");
    for (const QString& part :
         {QString("sealed later"), desk.Cell(0, 0).left(16), desk.Cell(0, 1),
          "Device chain head: <span style=\"font-family:monospace\">" + late.seal})
        EXPECT_TRUE(html.contains(part)) << part.toStdString() << "\n" << html.toStdString();
    EXPECT_FALSE(html.contains("Downloaded and sealed"));
}

TEST_F(IntegrityTest, PdfReportCarriesTheSeal) {
    if (QStandardPaths::findExecutable("wkhtmltopdf").isEmpty() ||
        QStandardPaths::findExecutable("pdftotext").isEmpty())
        GTEST_SKIP() << "wkhtmltopdf or pdftotext missing";
    SQLite::Database db;
    ASSERT_EQ(db.Open(m_case->file("brtx.db")), 0);
    const QString seal = db.QuerySQL("SELECT Seal FROM RecordSeal WHERE Record_No='1'").Cell(0, 0);
    // Record 2's report is made before its row is changed and again afterwards: the second
    // export must not hand out the first report.
    for (const auto& [record, expected] : QList<QPair<QString, QString>>{
             {"1", seal}, {"2", "match their seal"}, {"2", "Integrity check failed"}}) {
        if (expected.startsWith("Integrity"))
            sql("UPDATE ValueInfo SET GPS='elsewhere' WHERE Record_No='2'");
        const CliRun r = cli({"export-pdf", "--device", s_device, "--record", record});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        QProcess p;
        p.start("pdftotext", {r.out.last(), "-"});
        ASSERT_TRUE(p.waitForFinished(20000));
        const QString text = QString::fromUtf8(p.readAllStandardOutput()).remove('\n');
        EXPECT_TRUE(text.contains(expected)) << text.toStdString();
        const QString head =
            db.QuerySQL("SELECT Seal FROM RecordSeal ORDER BY Seq DESC LIMIT 1").Cell(0, 0);
        const QString key = db.QuerySQL("SELECT Fingerprint FROM DeskKey").Cell(0, 0).left(16);
        EXPECT_TRUE(text.contains(head) && text.contains(key)) << text.toStdString();
    }
    EXPECT_EQ(cli({"audit"}).out.filter("\texport-pdf\t").size(), 3);
}

TEST_F(IntegrityTest, ConcurrentDownloadsKeepOneChain) {
    // Two instruments answering with the same device number, downloaded into one database
    // at the same time by two processes: every record stored once, one unbroken chain.
    brtxtest::TempHome home(true, "concurrent");
    std::vector<std::unique_ptr<brtxsim::CSimulator>> sims;
    QList<QProcess*> runs;
    for (const char* address : {"127.0.53.10", "127.0.53.11"}) {
        brtxsim::SimConfig config;
        config.address = address;
        config.recordCount = 40;
        config.photoBytes = 1500;
        sims.push_back(std::make_unique<brtxsim::CSimulator>(config));
        ASSERT_TRUE(sims.back()->Start());
        auto* p = new QProcess;
        p->start(brtxtest::programDir() + "/brtx-cli",
                 {"--home", home.path(), "download", "--wifi", address});
        runs << p;
    }
    for (QProcess* p : runs) {
        // A record both fetch at once is stored by one; the other may report its picture as
        // existing. What counts is the database afterwards.
        EXPECT_TRUE(p->waitForFinished(60000));
        delete p;
    }
    const CliRun r = brtxtest::runCli({"--home", home.path(), "verify"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.out.last().startsWith("verified: 40, problems: 0, key: "))
        << r.out.join(QLatin1Char('\n')).toStdString();
}

} // namespace

namespace {

TEST(IntegrityCrash, KilledDownloadLeavesNothingFalselySealed) {
    // brtx-cli killed in the middle of a download: every record that made it into the
    // database carries a seal whose picture is there.
    brtxtest::TempHome home(true, "killed");
    brtxsim::SimConfig config;
    config.address = "127.0.53.12";
    config.recordCount = 400;
    config.photoBytes = 60000;
    brtxsim::CSimulator sim(config);
    ASSERT_TRUE(sim.Start());
    QProcess p;
    p.start(brtxtest::programDir() + "/brtx-cli",
            {"--home", home.path(), "download", "--wifi", "127.0.53.12"});
    int lines = 0;
    while (lines < 30 && p.waitForReadyRead(10000))
        while (p.canReadLine() && lines < 30)
            lines += p.readLine().isEmpty() ? 0 : 1;
    p.kill();
    p.waitForFinished(5000);
    ASSERT_GE(lines, 30);
    const CliRun r = brtxtest::runCli({"--home", home.path(), "verify"});
    EXPECT_EQ(r.code, 0) << r.out.join('\n').toStdString();
    EXPECT_FALSE(r.out.last().startsWith("verified: 0,")) << r.out.last().toStdString();
}

} // namespace
