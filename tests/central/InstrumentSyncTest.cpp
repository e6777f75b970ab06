// The register of instruments and their log on the central store: per desk, sent once, guarded
// by the server like the records, checked by verify --central, and a changed entry a conflict.
#include "CentralTestSupport.h"
#include "common/TestSupport.h"

#include "store/Instruments.h"
#include "store/SQLite.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace brtxtest;

namespace {

constexpr char kDevice[] = "0123456789";

// A program folder whose instrument is registered with two signed log entries (an accuracy
// check and a note), its desk registered on the server.
struct InstrumentDesk {
    QTemporaryDir dir;
    QString name = UniqueName("inst");
    QString login;
    explicit InstrumentDesk(PgTestDb& pg) {
        FillLocalStore(dir.path(), kDevice, 3);
        {
            SQLite::Database db;
            EXPECT_EQ(db.Open(db_()), 0);
            EXPECT_TRUE(Instruments::NoteLink(db, kDevice, "4Q"));
            Instruments::LogEntry check;
            check.device = kDevice;
            check.kind = "accuracy";
            check.at = "2024-03-01 09:00:00";
            check.technician = "Li Wei";
            check.standardKind = "dry-gas";
            check.lot = "L7";
            check.expiry = "2025-01-01";
            check.target = "0.080";
            check.unit = "g/210L";
            check.measured = "0.079,0.081";
            check.tolerance = "0.008";
            check.result = "pass";
            Instruments::LogEntry note;
            note.device = kDevice;
            note.kind = "note";
            note.at = "2024-03-02 10:00:00";
            note.technician = "O'Brien";
            for (Instruments::LogEntry* e : {&check, &note}) {
                QString why;
                EXPECT_TRUE(Instruments::AppendLog(db, *e, "test", &why)) << why.toStdString();
            }
        }
        const CliRun desk = runCli({"--home", dir.path(), "desk"});
        const CliRun added =
            runCli({"central", "add-desk", name, "--key", desk.out.value(0).section('\t', 1),
                    "--central", pg.Conninfo()});
        EXPECT_EQ(added.code, 0) << added.err.toStdString();
        login = added.out.value(0);
    }
    QString db_() const { return dir.path() + "/brtx.db"; }
    CliRun sync() const {
        return runCli({"--home", dir.path(), "sync", "--central", login}, 120000);
    }
    void local(const QString& sql) const {
        SQLite::Database d;
        d.Open(db_());
        ASSERT_EQ(d.ExecuteSQL(sql), 0) << sql.toStdString();
    }
};

} // namespace

TEST(CentralInstruments, RegisterAndLogReachTheServerPerDeskOnceAndOnlyTheirDeskWritesThem) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    ASSERT_EQ(runCli({"central", "init", "--central", pg.Conninfo()}).code, 0);
    InstrumentDesk a(pg), b(pg);

    const CliRun first = a.sync();
    ASSERT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out.value(1), "instruments: 1 register rows, 2 log entries");
    const CliRun second = a.sync();
    EXPECT_EQ(second.code, 0) << second.err.toStdString();
    EXPECT_EQ(second.out.value(1), "instruments: 0 register rows, 0 log entries");
    // An edit of the register replaces the desk's row; the station's docking sync (one
    // device) sends it too.
    a.local("UPDATE Instrument SET Label = 'Van 3' WHERE DeviceID = '0123456789'");
    const CliRun edited =
        runCli({"--home", a.dir.path(), "sync", "--central", a.login, "--device", kDevice});
    EXPECT_EQ(edited.out.value(1), "instruments: 1 register rows, 0 log entries")
        << edited.err.toStdString();
    ASSERT_EQ(b.sync().code, 0);
    EXPECT_EQ(pg.Value("SELECT string_agg(station || ':' || coalesce(nullif(label, ''), '-') || "
                       "':' || records, ',' ORDER BY station) FROM instrument_register"),
              a.name + ":Van 3:3," + b.name + ":-:3");
    EXPECT_EQ(pg.Value("SELECT count(*) FROM instrument_log WHERE technician = 'O''Brien' AND "
                       "supersedes IS NULL"),
              "2");

    // Desk B's login: nothing of desk A's log or register can be written, changed or removed.
    Central::PgConnection asB;
    QString why;
    ASSERT_TRUE(asB.Open(b.login, &why)) << why.toStdString();
    const QString ofA = "'" + a.name + "'";
    const QString before = pg.Value("SELECT md5(string_agg(t::text, '' ORDER BY t::text)) FROM "
                                    "(SELECT l::text FROM instrument_log l UNION ALL SELECT "
                                    "r::text FROM instrument_register r) t");
    for (const QString& sql : QStringList{
             "INSERT INTO instrument_log (station, id, device_id, kind, at, recorded_at, hash) "
             "VALUES (" +
                 ofA + ", 99, 'X', 'note', 'd', 'r', 'h')",
             "UPDATE instrument_log SET measured = '0.080'", "DELETE FROM instrument_log",
             "INSERT INTO instrument_register (station, device_id) VALUES (" + ofA + ", 'X')",
             "UPDATE instrument_register SET station = 'x'", "DELETE FROM instrument_register"}) {
        QString error;
        EXPECT_FALSE(asB.Command(sql, &error)) << sql.toStdString();
        EXPECT_TRUE(error.contains("permission denied") || error.contains("row-level security"))
            << sql.toStdString() << ": " << error.toStdString();
    }
    // Row-level security hides desk A's register rows from B's UPDATE.
    qint64 changed = -1;
    EXPECT_TRUE(
        asB.Command("UPDATE instrument_register SET label = 'forged' WHERE station = " + ofA, {},
                    &why, &changed));
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(pg.Value("SELECT md5(string_agg(t::text, '' ORDER BY t::text)) FROM (SELECT "
                       "l::text FROM instrument_log l UNION ALL SELECT r::text FROM "
                       "instrument_register r) t"),
              before);

    // verify --central checks every entry against its hash and its desk's audit entry.
    const QStringList verify{"--home",    a.dir.path(),  "verify",
                             "--central", pg.Conninfo(), "--rows-only"};
    const auto logLines = [&] {
        QStringList out;
        for (const QString& line : runCli(verify).out)
            if (line.section('\t', 1, 1).startsWith("log "))
                out << line.section('\t', 1);
        return out;
    };
    EXPECT_EQ(logLines(), QStringList());
    ASSERT_TRUE(pg.Db().Command("UPDATE instrument_log SET measured = '0.080' WHERE id = 1 AND "
                                "station = " +
                                    ofA,
                                &why))
        << why.toStdString();
    EXPECT_EQ(logLines(), QStringList{"log 1\t2024-03-01\t09:00:00\tLOG-CHANGED\t" + a.name});
    ASSERT_TRUE(pg.Db().Command("UPDATE instrument_log SET measured = '0.079,0.081' WHERE id = "
                                "1 AND station = " +
                                    ofA,
                                &why));

    // A desk whose entry changed after it was sent: a conflict, neither side changed.
    b.local("UPDATE InstrumentLog SET Measured = '0.070' WHERE Id = 1");
    const CliRun conflict = b.sync();
    EXPECT_EQ(conflict.code, 1);
    EXPECT_TRUE(conflict.err.contains("conflict: log entry 1 of device 0123456789 "
                                      "(2024-03-01 09:00:00)"))
        << conflict.err.toStdString();
    EXPECT_EQ(
        pg.Value("SELECT measured FROM instrument_log WHERE id = 1 AND station = '" + b.name + "'"),
        "0.079,0.081");

    // An entry the administrator removes is named by its desk's audit entry.
    ASSERT_TRUE(
        pg.Db().Command("DELETE FROM instrument_log WHERE id = 1 AND station = " + ofA, &why))
        << why.toStdString();
    EXPECT_EQ(logLines(), QStringList{"log 1\t\t\tLOG-REMOVED\t" + a.name});
}
