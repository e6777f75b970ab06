// brtx-cli sync against a real PostgreSQL server: what arrives, idempotence, the faults.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include "store/SQLite.h"
#include "store/Statements.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";

// A program folder with the project's Language.ini naming its own station.
struct Desk {
    QTemporaryDir dir;
    explicit Desk(const QString& station) {
        QFile::copy(sourceDir() + "/assets/Language.ini", path() + "/Language.ini");
        QFile f(path() + "/Language.ini");
        f.setPermissions(f.permissions() | QFile::WriteOwner);
        QByteArray ini;
        if (f.open(QIODevice::ReadOnly))
            ini = f.readAll();
        f.close();
        ini.replace("[Global]\n", "[Global]\nStation=" + station.toUtf8() + "\n");
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(ini);
    }
    QString path() const { return dir.path(); }
    QString db() const { return path() + "/brtx.db"; }
    CliRun sync(const QString& conninfo, const QStringList& more = {}) const {
        return runCli(QStringList{"--home", path(), "sync", "--central", conninfo} + more, 120000);
    }
};

// The local rows of ValueInfo as text lines (NULL shown as \N), in key order.
QStringList LocalRows(const QString& dbPath) {
    SQLite::Database db;
    db.Open(dbPath);
    QStringList out;
    const SQLite::Table t = db.QuerySQL(
        "SELECT " + Statements::ValueInfoColumns().join(',') +
        ",Machine_NO||'' IS NULL FROM ValueInfo ORDER BY Machine_NO,Record_No,Date_Date,Time_Time");
    for (int r = 0; r < t.GetRowCount(); ++r)
        out << QStringList(t.m_rows[r].mid(0, Statements::kValueColumnCount)).join('|');
    return out;
}

QStringList ServerRows(PgTestDb& pg) {
    QString cols;
    for (const QString& c : Statements::ValueInfoColumns())
        cols += (cols.isEmpty() ? "" : ",") + ("coalesce(" + c.toLower() + ",'')");
    Central::PgResult r = pg.Db().Exec("SELECT " + cols +
                                       " FROM records ORDER BY machine_no,record_no,date_date,"
                                       "time_time");
    QStringList out;
    for (int i = 0; i < r.Rows(); ++i) {
        QStringList cells;
        for (int c = 0; c < r.Columns(); ++c)
            cells << r.Text(i, c);
        out << cells.join('|');
    }
    return out;
}

} // namespace

TEST(CentralSync, UploadsEverythingOnceAndASecondSyncChangesNothing) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 40, 3000);
    FillLocalStore(desk.path(), "DEV2", 5, 0);
    AddSealsAndAudit(desk.path());
    {
        // Seals of records no longer on the desk, with keys before, between and after the
        // records, and a record sealed again: its newest seal is the one sent.
        SQLite::Database db;
        ASSERT_EQ(db.Open(desk.db()), 0);
        ASSERT_EQ(db.ExecuteSQL(
                      "INSERT INTO RecordSeal (Machine_NO, Record_No, Date_Date, Time_Time, "
                      "RowHash, PictureHash, SealedAt, PrevSeal, Seal, Deleted) VALUES "
                      "('0000', '1', 'd', 't', 'r', 'p', 's', '', 'gone-first', 1), "
                      "('0123456789', '15x', 'd', 't', 'r', 'p', 's', '', 'gone-between', 1), "
                      "('ZZZ', '1', 'd', 't', 'r', 'p', 's', '', 'gone-last', 1); "
                      "INSERT INTO RecordSeal (Machine_NO, Record_No, Date_Date, Time_Time, "
                      "RowHash, PictureHash, SealedAt, PrevSeal, Seal) SELECT Machine_NO, "
                      "Record_No, Date_Date, Time_Time, RowHash, PictureHash, SealedAt, Seal, "
                      "'resealed' FROM RecordSeal WHERE Machine_NO = 'DEV2' AND Record_No = '3'"),
                  0);
    }
    const QStringList local = LocalRows(desk.db());
    const QByteArray before = FileHash(desk.db());

    // Small batches: the seals travel with the records of their batch, or after the last.
    const CliRun first = desk.sync(pg.Conninfo(), {"--batch", "4"});
    ASSERT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out.value(0).toStdString(),
              QString("synced: 45 records, 40 pictures, skipped: 0").toStdString());
    EXPECT_TRUE(first.err.contains("records 45 of 45")) << first.err.toStdString();

    // Every value arrives as stored (quotes, backslash, tab, Chinese); NULL stays NULL.
    EXPECT_EQ(ServerRows(pg), local);
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records WHERE gps IS NULL"), "2");
    EXPECT_EQ(pg.Value("SELECT string_agg(DISTINCT station, ',') FROM records"), "desk-a");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM devices"), "2");
    EXPECT_EQ(pg.Value("SELECT title20 FROM devices WHERE device_id='DEV2'"), "Title 20");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM seals"), "48");
    EXPECT_EQ(pg.Value("SELECT string_agg(seal, ',' ORDER BY seal) FROM seals WHERE deleted = 1 "
                       "OR record_no = '3' AND machine_no = 'DEV2'"),
              "gone-between,gone-first,gone-last,resealed");
    EXPECT_EQ(pg.Value("SELECT string_agg(hash, ',' ORDER BY seq) FROM audit"), "h1,h2,h3");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM stations WHERE last_sync IS NOT NULL"), "1");
    // Photographs byte for byte, with their SHA-256.
    Central::PgResult pics = pg.Db().Exec("SELECT path, sha256, encode(sha256(bytes),'hex'), "
                                          "encode(bytes,'base64') FROM pictures");
    ASSERT_EQ(pics.Rows(), 40);
    for (int i = 0; i < pics.Rows(); ++i) {
        QString path = pics.Text(i, 0);
        QFile f(desk.path() + "/pic" + path.replace('\\', '/'));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        EXPECT_EQ(QByteArray::fromBase64(pics.Text(i, 3).toLatin1()), f.readAll());
        EXPECT_EQ(pics.Text(i, 1), pics.Text(i, 2));
    }

    const CliRun again = desk.sync(pg.Conninfo());
    ASSERT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_EQ(again.out.value(0).toStdString(),
              QString("synced: 0 records, 0 pictures, skipped: 45").toStdString());
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "45");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM audit"), "3");
    EXPECT_EQ(FileHash(desk.db()), before) << "the local database was changed";
}

TEST(CentralSync, DeviceOptionAndAnOlderDatabaseWithoutIntegrityTables) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 7);
    FillLocalStore(desk.path(), "DEV2", 3);
    const CliRun one = desk.sync(pg.Conninfo(), {"--device", "DEV2"});
    ASSERT_EQ(one.code, 0) << one.err.toStdString();
    EXPECT_EQ(one.out.value(0).toStdString(),
              QString("synced: 3 records, 0 pictures, skipped: 0").toStdString());
    EXPECT_EQ(pg.Value("SELECT string_agg(DISTINCT machine_no, ',') FROM records"), "DEV2");
    EXPECT_EQ(pg.Value("SELECT string_agg(device_id, ',') FROM devices"), "DEV2");
    const CliRun all = desk.sync(pg.Conninfo());
    EXPECT_EQ(all.out.value(0).toStdString(),
              QString("synced: 7 records, 0 pictures, skipped: 3").toStdString());
    EXPECT_EQ(pg.Value("SELECT count(*) FROM seals"), "0");
}

// Without desk logins (the tables' owner, the desk named by Station) each desk still keeps
// its own copy; identical copies are no conflict.
TEST(CentralSync, TwoDesksSyncingTheSameDeviceAtOnceStoreACopyEach) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk a("desk-a"), b("desk-b");
    FillLocalStore(a.path(), kDevice, 3000);
    FillLocalStore(b.path(), kDevice, 3000, 0, 1501); // 1501..4500: half shared
    {
        SQLite::Database db; // the fill leaves the first record without GPS
        db.Open(b.db());
        db.ExecuteSQL("UPDATE ValueInfo SET GPS='N1,E2' WHERE Record_No='1501'");
    }
    QProcess pa, pb;
    for (auto [p, desk] : {std::pair{&pa, &a}, std::pair{&pb, &b}}) {
        p->setProgram(programDir() + "/brtx-cli");
        p->setArguments(
            {"--home", desk->path(), "sync", "--central", pg.Conninfo(), "--batch", "200"});
        p->start();
    }
    ASSERT_TRUE(pa.waitForFinished(120000) && pb.waitForFinished(120000));
    EXPECT_EQ(pa.exitCode(), 0) << pa.readAllStandardError().toStdString();
    EXPECT_EQ(pb.exitCode(), 0) << pb.readAllStandardError().toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "6000");
    EXPECT_EQ(pg.Value("SELECT count(DISTINCT (machine_no, record_no)) FROM records"), "4500");
    auto numbers = [](QProcess& p) {
        const QString line = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        QRegularExpressionMatch m =
            QRegularExpression("synced: (\\d+) records, 0 pictures, skipped: (\\d+)").match(line);
        return std::pair{m.captured(1).toInt(), m.captured(2).toInt()};
    };
    const auto [sa, ka] = numbers(pa);
    const auto [sb, kb] = numbers(pb);
    EXPECT_EQ(sa + sb, 6000);
    EXPECT_EQ(ka + kb, 0);
}

// Faults at the start: each ends with exit 1, a telling message, and nothing changed.
TEST(CentralSync, RefusedConnectionsAndANewerSchema) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 5);
    const QByteArray before = FileHash(desk.db());
    ASSERT_TRUE(pg.Db().Command("CREATE ROLE brtx_pw_" +
                                    QString::number(QCoreApplication::applicationPid()) +
                                    " LOGIN PASSWORD 'right'",
                                nullptr));
    // The server's TCP address: the unix-socket folder of the test cluster is not one.
    QString host = "127.0.0.1", port = pg.Value("SHOW port");
    const QString envHost = qEnvironmentVariable("PGHOST");
    if (pg.BaseConninfo().isEmpty() && !envHost.isEmpty() && !envHost.startsWith('/'))
        host = envHost;
    const QString tcp =
        "host=" + host + " port=" + port + " dbname=" + pg.Value("SELECT current_database()");
    QTemporaryDir empty;

    struct Case {
        const char* name;
        QString conninfo;
        const char* message;
    } cases[] = {
        {"server down", "host=127.0.0.1 port=1 connect_timeout=5",
         "cannot reach the central store"},
        {"wrong password",
         tcp + " user=brtx_pw_" + QString::number(QCoreApplication::applicationPid()) +
             " password=wrong",
         "password authentication failed"},
        {"TLS refused", tcp + " sslmode=verify-full sslrootcert=" + empty.path() + "/none.crt",
         "cannot reach the central store"},
    };
    for (const Case& c : cases) {
        const CliRun r = desk.sync(c.conninfo);
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_TRUE(r.err.contains(c.message)) << c.name << ": " << r.err.toStdString();
    }
    EXPECT_EQ(pg.Value("SELECT to_regclass('records') IS NULL"), "t");

    // A server whose tables are newer than this program is left alone.
    ASSERT_EQ(desk.sync(pg.Conninfo()).code, 0);
    ASSERT_TRUE(pg.Db().Command("UPDATE brtx_schema SET version = 99", nullptr));
    ASSERT_TRUE(pg.Db().Command("DELETE FROM records WHERE record_no = '3'", nullptr));
    const CliRun newer = desk.sync(pg.Conninfo());
    EXPECT_EQ(newer.code, 1);
    EXPECT_TRUE(newer.err.contains("table version 99")) << newer.err.toStdString();
    EXPECT_EQ(pg.Value("SELECT count(*) FROM records"), "4");
    EXPECT_EQ(pg.Value("SELECT version FROM brtx_schema"), "99");
    EXPECT_EQ(FileHash(desk.db()), before);
}

TEST(CentralSync, ADifferingSealIsAConflictAndNeitherSideChanges) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 6);
    AddSealsAndAudit(desk.path());
    ASSERT_EQ(desk.sync(pg.Conninfo()).code, 0);
    ASSERT_TRUE(pg.Db().Command("UPDATE seals SET seal = 'other' WHERE record_no = '4'", nullptr));
    const QByteArray before = FileHash(desk.db());
    const CliRun r = desk.sync(pg.Conninfo());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("conflict: record 4 of device 0123456789")) << r.err.toStdString();
    EXPECT_EQ(r.out.value(0).toStdString(),
              QString("synced: 0 records, 0 pictures, skipped: 6").toStdString());
    EXPECT_EQ(pg.Value("SELECT seal FROM seals WHERE record_no = '4'"), "other");
    EXPECT_EQ(FileHash(desk.db()), before);
}

// A sync cut off mid-way (the server drops the connection, or the program is killed) leaves
// whole batches on the server; the next sync sends the rest.
TEST(CentralSync, AnInterruptedSyncLeavesWholeBatchesAndTheNextCompletesIt) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 400, 20000);
    const QByteArray before = FileHash(desk.db());
    const QString db = pg.Value("SELECT current_database()");
    for (const char* how : {"server drops the link", "killed"}) {
        pg.Db().Command("TRUNCATE records, pictures CASCADE", nullptr);
        QProcess p;
        p.setProgram(programDir() + "/brtx-cli");
        p.setArguments(
            {"--home", desk.path(), "sync", "--central", pg.Conninfo(), "--batch", "20"});
        p.start();
        QByteArray err;
        ASSERT_TRUE(waitFor(
            [&] {
                p.waitForReadyRead(10);
                err += p.readAllStandardError();
                return err.contains("records 60 of") || p.state() == QProcess::NotRunning;
            },
            60000));
        if (QByteArray(how) == "killed") {
            p.kill();
        } else {
            pg.Value("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                     db + "' AND application_name = 'brtx' AND pid <> pg_backend_pid()");
        }
        ASSERT_TRUE(p.waitForFinished(60000));
        err += p.readAllStandardError();
        if (QByteArray(how) != "killed") {
            EXPECT_EQ(p.exitCode(), 1) << how;
            EXPECT_TRUE(err.contains("stopped answering") || err.contains("refused"))
                << err.toStdString();
        }
        QThread::msleep(200); // the server rolls back the killed program's open batch
        const int stored = pg.Value("SELECT count(*) FROM records").toInt();
        EXPECT_EQ(stored % 20, 0) << how << ": " << stored;
        EXPECT_LT(stored, 400) << how;
        EXPECT_EQ(pg.Value("SELECT count(*) FROM pictures").toInt(), stored) << how;
        const CliRun rest = desk.sync(pg.Conninfo());
        ASSERT_EQ(rest.code, 0) << rest.err.toStdString();
        EXPECT_EQ(rest.out.value(0), QStringLiteral("synced: %1 records, %1 pictures, skipped: %2")
                                         .arg(400 - stored)
                                         .arg(stored));
        EXPECT_EQ(pg.Value("SELECT count(*) FROM pictures"), "400");
    }
    EXPECT_EQ(FileHash(desk.db()), before);
}

// The server itself stops in the middle of a sync (as a crash would): one clear message and
// exit 1; after the restart the server holds whole batches only, the desk's database is
// unchanged, and the next sync completes with every copy verifying against its seal. The
// cluster is this test's own, since it is stopped.
TEST(CentralSync, AServerStoppedMidSyncKeepsWholeBatchesAndTheDeskUnchanged) {
    QTemporaryDir work;
    const QString script = sourceDir() + "/tests/central/pg_cluster.sh";
    const QString info = work.path() + "/cluster";
    const auto cluster = [&](const QString& command, const QStringList& options = {}) {
        return QProcess::execute("sh", QStringList{script, command, info} + options) == 0;
    };
    struct Stop {
        std::function<void()> run;
        ~Stop() { run(); }
    } stop{[&] { cluster("stop"); }};
    QFile infoFile(info);
    if (!cluster("start", {"fast", "own"}) || !infoFile.open(QIODevice::ReadOnly) ||
        infoFile.size() == 0) {
        if (qEnvironmentVariableIsSet("CI"))
            FAIL() << "no PostgreSQL cluster of the test's own";
        GTEST_SKIP() << "no PostgreSQL server programs to start a cluster of the test's own";
    }
    const QString conninfo = QString::fromUtf8(infoFile.readAll()).trimmed();

    Desk desk("desk-a");
    FillLocalStore(desk.path(), kDevice, 600);
    ASSERT_EQ(runCli({"--home", desk.path(), "seal"}).code, 0);
    const QByteArray before = FileHash(desk.db());
    Central::PgConnection pg;
    QString why;
    ASSERT_TRUE(pg.Open(conninfo, &why)) << why.toStdString();
    const auto count = [&](const char* table) {
        return pg.Exec(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table)))
            .Text(0, 0)
            .toInt();
    };

    QProcess sync;
    sync.setProgram(programDir() + "/brtx-cli");
    // Small batches and an early stop: the sync is still sending when the server goes.
    sync.setArguments({"--home", desk.path(), "sync", "--central", conninfo, "--batch", "2"});
    sync.start();
    ASSERT_TRUE(waitFor([&] { return count("records") >= 2; }, 60000));
    ASSERT_TRUE(cluster("halt"));
    ASSERT_TRUE(sync.waitForFinished(60000));
    const QString err = QString::fromUtf8(sync.readAllStandardError());
    EXPECT_EQ(sync.exitCode(), 1) << err.toStdString();
    EXPECT_EQ(err.count("brtx-cli sync: "), 1) << err.toStdString();
    EXPECT_TRUE(err.contains("stopped answering")) << err.toStdString();

    ASSERT_TRUE(cluster("resume"));
    ASSERT_TRUE(pg.Open(conninfo, &why)) << why.toStdString();
    const int records = count("records");
    const int seals = count("seals");
    EXPECT_LT(records + seals, 1200) << "the server stopped after the records and seals";
    EXPECT_EQ(records % 2, 0) << records; // whole batches only
    EXPECT_EQ(seals % 2, 0) << seals;
    EXPECT_EQ(FileHash(desk.db()), before); // nothing changed on the desk

    const CliRun rest = desk.sync(conninfo);
    ASSERT_EQ(rest.code, 0) << rest.err.toStdString();
    EXPECT_EQ(rest.out.value(0), QStringLiteral("synced: %1 records, 0 pictures, skipped: %2")
                                     .arg(600 - records)
                                     .arg(records));
    const CliRun verify = runCli({"--home", desk.path(), "verify", "--central", conninfo});
    EXPECT_EQ(verify.code, 0) << verify.out.join('\n').toStdString() << verify.err.toStdString();
    EXPECT_TRUE(verify.out.value(0).startsWith("verified: 600, problems: 0"))
        << verify.out.join('\n').toStdString();
    EXPECT_EQ(FileHash(desk.db()), before);
}
