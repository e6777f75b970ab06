// The central store with a role per desk: one copy per desk, corroboration and conflicts
// between desks, the rights the server enforces, and the witnessed chain heads.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include "central/CentralRecordSource.h"
#include "central/CentralSchema.h"
#include "store/SQLite.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";

// A program folder with records, seals, an audit trail and a desk key of its own; its login
// is registered on the server by the administrator.
struct RoleDesk {
    QTemporaryDir dir;
    QString name;
    QString fingerprint;
    QString login; // the connection line add-desk printed
    RoleDesk(PgTestDb& pg, const QString& base, int first, int count) : name(UniqueName(base)) {
        FillLocalStore(dir.path(), kDevice, count, 0, first);
        AddSealsAndAudit(dir.path());
        fingerprint =
            QString::fromLatin1(QByteArray(name.toUtf8() + QByteArray(64, '0')).toHex().left(64));
        SQLite::Database db;
        db.Open(dir.path() + "/brtx.db");
        db.ExecuteSQL("CREATE TABLE DeskKey (Fingerprint TEXT PRIMARY KEY, PublicKey TEXT NOT "
                      "NULL, Label TEXT NOT NULL, CreatedAt TEXT NOT NULL)");
        db.ExecuteSQL("INSERT INTO DeskKey VALUES ('" + fingerprint +
                      "', 'PEM', 'desk', '2024-03-01T00:00:00.000Z')");
        db.ExecuteSQL("CREATE TABLE ChainSignature (Seq INTEGER PRIMARY KEY AUTOINCREMENT, Chain "
                      "TEXT NOT NULL, FromSeq INTEGER NOT NULL, HeadSeq INTEGER NOT NULL, Head "
                      "TEXT NOT NULL, Fingerprint TEXT NOT NULL, SignedAt TEXT NOT NULL, Late "
                      "INTEGER NOT NULL DEFAULT 0, Prev TEXT NOT NULL, Signature TEXT NOT NULL)");
        // One signature by this desk's key, one by a key the server does not know.
        for (const QString& fp : {fingerprint, QString(64, 'e')})
            db.ExecuteSQL("INSERT INTO ChainSignature (Chain, FromSeq, HeadSeq, Head, "
                          "Fingerprint, SignedAt, Prev, Signature) VALUES ('audit', 1, 3, 'h3', '" +
                          fp + "', '2024-03-01T00:00:00.000Z', '', 'sig')");
        // A record the fill leaves without GPS, so overlapping desks hold identical copies.
        db.ExecuteSQL("UPDATE ValueInfo SET GPS='N1,E2' WHERE Record_No<>'1'");
        const CliRun added =
            runCli({"central", "add-desk", name, "--key", fingerprint, "--central", pg.Conninfo()});
        EXPECT_EQ(added.code, 0) << added.err.toStdString();
        login = added.out.value(0);
    }
    QString path() const { return dir.path(); }
    QString db() const { return path() + "/brtx.db"; }
    QStringList syncArgs() const { return {"--home", path(), "sync", "--central", login}; }
    CliRun sync() const { return runCli(syncArgs(), 120000); }
    void local(const QString& sql) const {
        SQLite::Database d;
        d.Open(db());
        ASSERT_EQ(d.ExecuteSQL(sql), 0) << sql.toStdString();
    }
};

// One administrator set-up per test database.
void Init(PgTestDb& pg) {
    const CliRun init = runCli({"central", "init", "--central", pg.Conninfo()});
    ASSERT_EQ(init.code, 0) << init.err.toStdString();
}

} // namespace

TEST(CentralRoles, OverlappingDesksCorroborateAndADifferingCopyIsAConflict) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Init(pg);
    RoleDesk a(pg, "desk-a", 1, 60), b(pg, "desk-b", 31, 90); // 31..60 on both
    ASSERT_TRUE(a.login.contains("password=")) << a.login.toStdString();

    // Both at the same moment.
    QProcess pa, pb;
    for (auto [p, desk] : {std::pair{&pa, &a}, std::pair{&pb, &b}}) {
        p->setProgram(programDir() + "/brtx-cli");
        p->setArguments(desk->syncArgs() + QStringList{"--batch", "7"});
        p->start();
    }
    ASSERT_TRUE(pa.waitForFinished(120000) && pb.waitForFinished(120000));
    const QString errA = QString::fromUtf8(pa.readAllStandardError());
    const QString errB = QString::fromUtf8(pb.readAllStandardError());
    EXPECT_EQ(pa.exitCode(), 0) << errA.toStdString();
    EXPECT_EQ(pb.exitCode(), 0) << errB.toStdString();
    EXPECT_FALSE(errA.contains("conflict") || errB.contains("conflict"));
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "150");
    // The batches went in side by side: still one shown copy per record.
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records WHERE NOT later_copy"), "120");
    EXPECT_EQ(pg.Value("SELECT count(DISTINCT station) FROM witnesses"), "2");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM chain_signatures"), "2"); // the unknown key's stay
    EXPECT_EQ(pg.Value("SELECT count(*) FROM desk_keys"), "2");

    // The central list: one row per record, Desks 2 where both hold it.
    const CliRun list = runCli({"--home", a.path(), "history", "--central", pg.Conninfo(),
                                "--all-devices", "--format", "tsv"});
    ASSERT_EQ(list.code, 0) << list.err.toStdString();
    ASSERT_EQ(list.out.size(), 121);
    EXPECT_TRUE(list.out[0].endsWith("\tDesks"));
    int shared = 0;
    for (const QString& line : list.out.mid(1)) {
        const int record = line.section('\t', 1, 1).toInt();
        EXPECT_EQ(line.section('\t', -1), record >= 31 && record <= 60 ? "2" : "1") << record;
        shared += line.endsWith("\t2");
    }
    EXPECT_EQ(shared, 30);

    const CliRun again = b.sync();
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_EQ(again.out.value(0), "synced: 0 records, 0 pictures, skipped: 90");

    // Desk B changes a record it has sent (and seals it anew): a conflict, nothing changed.
    b.local("UPDATE ValueInfo SET Test_Result='9.999' WHERE Record_No='40'");
    b.local("UPDATE RecordSeal SET Seal='resealed' WHERE Record_No='40'");
    const CliRun edited = b.sync();
    EXPECT_EQ(edited.code, 1);
    EXPECT_TRUE(edited.err.contains("conflict: record 40 of device 0123456789"))
        << edited.err.toStdString();
    EXPECT_EQ(pg.Value("SELECT count(DISTINCT test_result) FROM records WHERE record_no='40'"),
              "1");

    // A third desk whose copy of record 45 differs from theirs before it ever synced.
    RoleDesk c(pg, "desk-c", 41, 10);
    c.local("UPDATE ValueInfo SET Field1='changed' WHERE Record_No='45'");
    const CliRun third = c.sync();
    EXPECT_EQ(third.code, 1);
    EXPECT_TRUE(third.err.contains("conflict: record 45 of device 0123456789"))
        << third.err.toStdString();
    EXPECT_TRUE(third.err.contains(a.name) && third.err.contains(b.name))
        << third.err.toStdString();
    EXPECT_EQ(third.err.count("conflict:"), 1) << third.err.toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records WHERE record_no='45' AND field1='changed'"),
              "1"); // its own copy, under its own name
}

TEST(CentralRoles, TheServerRefusesChangesAndRowsOfAnotherDesk) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Init(pg);
    RoleDesk a(pg, "desk-a", 1, 5), b(pg, "desk-b", 1, 5);
    ASSERT_EQ(a.sync().code, 0);
    const QString reader = UniqueName("reader");
    const CliRun addedReader =
        runCli({"central", "add-reader", reader, "--central", pg.Conninfo()});
    ASSERT_EQ(addedReader.code, 0) << addedReader.err.toStdString();

    const QString before = pg.Value("SELECT md5(string_agg(r::text, '' ORDER BY r::text)) FROM "
                                    "(SELECT * FROM records UNION ALL SELECT NULL) r");
    Central::PgConnection asB, asReader;
    QString why;
    ASSERT_TRUE(asB.Open(b.login, &why)) << why.toStdString();
    ASSERT_TRUE(asReader.Open(addedReader.out.value(0), &why)) << why.toStdString();
    const QString ofA = "'" + a.name + "'";
    struct Case {
        Central::PgConnection* as;
        QString sql;
    } cases[] = {
        {&asB, "UPDATE records SET test_result = '0' WHERE station = " + ofA},
        {&asB, "DELETE FROM records WHERE station = " + ofA},
        {&asB, "INSERT INTO records (machine_no, record_no, date_date, time_time, station) "
               "VALUES ('X', '1', 'd', 't', " +
                   ofA + ")"},
        {&asB, "UPDATE seals SET seal = 'x'"},
        {&asB, "DELETE FROM audit"},
        {&asB, "DELETE FROM witnesses"},
        {&asB, "UPDATE witnesses SET head_hash = 'x'"},
        {&asB, "DELETE FROM pictures"},
        {&asB, "INSERT INTO desks VALUES ('x', 'x', 'x')"},
        {&asB, "INSERT INTO desk_keys (station, fingerprint, public_key) VALUES ('" + b.name +
                   "', '" + QString(64, 'e') + "', 'PEM')"},
        {&asReader, "INSERT INTO records (machine_no, record_no, date_date, time_time, station) "
                    "VALUES ('X', '1', 'd', 't', '" +
                        reader + "')"},
        {&asReader, "DELETE FROM records"},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(c.as->Command(c.sql, &error)) << c.sql.toStdString();
        EXPECT_TRUE(error.contains("permission denied") || error.contains("row-level security"))
            << c.sql.toStdString() << ": " << error.toStdString();
    }
    EXPECT_EQ(pg.Value("SELECT md5(string_agg(r::text, '' ORDER BY r::text)) FROM (SELECT * "
                       "FROM records UNION ALL SELECT NULL) r"),
              before);
    // The reader reads every desk's rows.
    EXPECT_EQ(asReader.Exec("SELECT count(*) FROM records").Text(0, 0), "5");

    // A removed desk keeps its rows and can no longer log in.
    const CliRun removed = runCli({"central", "remove-desk", a.name, "--central", pg.Conninfo()});
    ASSERT_EQ(removed.code, 0) << removed.err.toStdString();
    const CliRun desks = runCli({"central", "list-desks", "--central", pg.Conninfo()});
    EXPECT_TRUE(
        desks.out.join('\n').contains(a.name + "\t" + a.name + "\t" + a.fingerprint + "\tremoved"))
        << desks.out.join('\n').toStdString();
    EXPECT_EQ(a.sync().code, 1);
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records WHERE station = " + ofA), "5");

    // Bad names never reach the server.
    for (const char* name : {"Desk", "a b", "x\";drop", ""})
        EXPECT_EQ(runCli({"central", "add-reader", name, "--central", pg.Conninfo()}).code, 2)
            << name;
}

TEST(CentralRoles, ADeskThatLostWitnessedRecordsUploadsNothing) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Init(pg);
    RoleDesk a(pg, "desk-a", 1, 20);
    ASSERT_EQ(a.sync().code, 0);
    // The newest records and their seals go; a new record comes.
    const QString head = pg.Value("SELECT head_hash FROM witnesses WHERE chain LIKE 'seal:%'");
    a.local("DELETE FROM ValueInfo WHERE Record_No IN (SELECT Record_No FROM RecordSeal WHERE "
            "Seq > 17)");
    a.local("DELETE FROM RecordSeal WHERE Seq > 17");
    FillLocalStore(a.path(), "DEV2", 1);
    const CliRun r = a.sync();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("device 0123456789") &&
                r.err.contains("head 20 (seal " + head + ")") &&
                r.err.contains("witnessed by the central store at 20"))
        << r.err.toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records WHERE machine_no = 'DEV2'"), "0");
}

// A store of version 1 (one copy per record, every desk one role) becomes the current one with
// every row kept under the station that sent it; its desk then syncs on as before.
TEST(CentralRoles, AVersionOneStoreIsUpgradedWithItsRows) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    QString why;
    ASSERT_TRUE(Central::EnsureSchema(pg.Db(), &why, 1)) << why.toStdString();
    QTemporaryDir home;
    FillLocalStore(home.path(), kDevice, 8, 500);
    AddSealsAndAudit(home.path());
    // What version 1 holds: a sync of this desk as "old-desk", and a photograph another desk
    // sent first.
    ASSERT_TRUE(pg.Db().Command(
        "INSERT INTO stations (station) VALUES ('old-desk'); INSERT INTO records (machine_no, "
        "record_no, date_date, time_time, test_result, station) VALUES ('0123456789', '99', "
        "'2024-03-02', '12:00:01', '0.001', 'old-desk'); INSERT INTO pictures (machine_no, "
        "record_no, date_date, time_time, path, sha256, bytes, station) VALUES ('0123456789', "
        "'99', '2024-03-02', '12:00:01', 'p', 'h', 'x', 'other-desk')",
        &why))
        << why.toStdString();
    ASSERT_EQ(runCli({"central", "init", "--central", pg.Conninfo()}).code, 0);
    EXPECT_EQ(pg.Value("SELECT max(version) FROM brtx_schema"),
              QString::number(Central::kSchemaVersion));
    EXPECT_EQ(pg.Value("SELECT station || test_result FROM records"), "old-desk0.001");
    EXPECT_EQ(pg.Value("SELECT station FROM pictures"), "other-desk");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM pg_constraint WHERE conrelid = 'records'::regclass "
                       "AND contype = 'p' AND array_length(conkey, 1) = 5"),
              "1");
    const CliRun sync = runCli({"--home", home.path(), "sync", "--central", pg.Conninfo()});
    EXPECT_EQ(sync.code, 0) << sync.err.toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "9");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM pictures"), "9");
}

// Which copy the list shows is the server's mark: a store of version 3 gets it in the upgrade,
// and every insert or delete sets it anew on the copies of its keys, whatever the insert said.
TEST(CentralRoles, TheServerMarksTheCopyTheListShows) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    QString why;
    ASSERT_TRUE(Central::EnsureSchema(pg.Db(), &why, 3)) << why.toStdString();
    const QString insert = QStringLiteral("INSERT INTO records (machine_no, record_no, "
                                          "date_date, time_time, station%1) VALUES ");
    const auto row = [](const char* record, const char* station, const char* mark = nullptr) {
        return QStringLiteral("('D', '%1', '2024-03-02', '12:00:01', '%2'%3)")
            .arg(QLatin1String(record), QLatin1String(station),
                 mark ? QStringLiteral(", %1").arg(QLatin1String(mark)) : QString());
    };
    ASSERT_TRUE(pg.Db().Command(
        insert.arg("") + row("1", "b") + ',' + row("1", "c") + ',' + row("2", "c"), &why))
        << why.toStdString();
    const struct {
        QString sql; // then the copies, "+" after a later one
        const char* marks;
        const char* listed; // the central list's record numbers (count and page)
    } steps[] = {
        {QString(), "1b 1c+ 2c", "2 1"}, // the upgrade
        {insert.arg(", later_copy") + row("1", "a", "true") + ',' + row("2", "d", "false") + ',' +
             row("3", "a", "true"),
         "1a 1b+ 1c+ 2c 2d+ 3a", "3 2 1"},
        {QStringLiteral("DELETE FROM records WHERE station = 'a'"), "1b 1c+ 2c 2d+", "2 1"},
        {QStringLiteral("DELETE FROM records WHERE station = 'c'"), "1b 2d", "2 1"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sql.toStdString());
        ASSERT_TRUE(step.sql.isEmpty() ? Central::EnsureSchema(pg.Db(), &why)
                                       : pg.Db().Command(step.sql, &why))
            << why.toStdString();
        EXPECT_EQ(pg.Value("SELECT string_agg(record_no || station || CASE WHEN later_copy THEN "
                           "'+' ELSE '' END, ' ' ORDER BY record_no, station) FROM records"),
                  step.marks);
        CCentralRecordSource source(pg.Conninfo());
        HistoryFilter filter;
        filter.device = QStringLiteral("D");
        qint64 count = 0;
        QVector<HistoryRow> rows;
        ASSERT_TRUE(source.Count(filter, count, &why) &&
                    source.Fetch(filter, HistorySort(), 0, 10, rows, &why))
            << why.toStdString();
        QStringList numbers;
        for (const HistoryRow& r : rows)
            numbers << r.recordNo;
        EXPECT_EQ(numbers.join(' '), step.listed);
        EXPECT_EQ(count, rows.size());
    }
}

// A sync cut off in the middle: the desk removed by the administrator (one clear message, exit
// 1) or the process killed. Either way the server holds whole batches only, the desk's database
// is unchanged, and (when the desk may still sync) the next sync sends the rest.
TEST(CentralRoles, ASyncCutOffLeavesWholeBatchesAndTheDeskUnchanged) {
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "SIGKILL" : "desk removed");
        PgTestDb pg;
        BRTX_REQUIRE_PG(pg);
        Init(pg);
        RoleDesk desk(pg, "cut", 1, 2000);
        const QByteArray before = FileHash(desk.db());
        QProcess sync;
        sync.setProgram(programDir() + "/brtx-cli");
        // Small batches and an early cut: the 1,000 batches outlast the removal's own start.
        sync.setArguments(desk.syncArgs() + QStringList{"--batch", "2"});
        sync.start();
        ASSERT_TRUE(
            waitFor([&] { return pg.Value("SELECT count(*) FROM records").toInt() >= 2; }, 60000));
        if (kill) {
            sync.kill();
        } else {
            const CliRun removed =
                runCli({"central", "remove-desk", desk.name, "--central", pg.Conninfo()});
            ASSERT_EQ(removed.code, 0) << removed.err.toStdString();
        }
        ASSERT_TRUE(sync.waitForFinished(120000));
        const QString err = QString::fromUtf8(sync.readAllStandardError());
        if (!kill) {
            EXPECT_EQ(sync.exitCode(), 1) << err.toStdString();
            EXPECT_EQ(err.count("brtx-cli sync: "), 1) << err.toStdString();
            EXPECT_TRUE(err.contains("refused")) << err.toStdString();
        }
        // The killed session's open transaction ends with its connection.
        waitFor([&] {
            return pg.Value("SELECT count(*) FROM pg_stat_activity WHERE usename = '" + desk.name +
                            "'") == "0";
        });
        const int stored = pg.Value("SELECT count(*) FROM records").toInt();
        EXPECT_LT(stored, 2000);
        EXPECT_EQ(stored % 2, 0) << stored;     // whole batches only
        EXPECT_EQ(FileHash(desk.db()), before); // nothing changed on the desk
        if (kill) {
            const CliRun rest = desk.sync();
            EXPECT_EQ(rest.code, 0) << rest.err.toStdString();
            EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "2000");
        }
    }
}
