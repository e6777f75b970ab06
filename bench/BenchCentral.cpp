#include "bench/BenchCentral.h"
#include "bench/BenchSupport.h"

#include "bench/BenchHistory.h"
#include "central/CentralAdmin.h"
#include "central/CentralRecordSource.h"
#include "central/CentralSchema.h"
#include "central/CentralSync.h"
#include "central/CentralVerify.h"
#include "central/PgConnection.h"
#include "store/SQLite.h"
#include "store/Seal.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>

namespace bench {

namespace {

using Central::PgConnection;

// A database of the benchmark's own on the server, dropped when the object goes.
class BenchDatabase {
public:
    BenchDatabase(const QString& base, const QString& suffix) : m_base(base) {
        m_name =
            QStringLiteral("brtx_bench_%1_%2").arg(QCoreApplication::applicationPid()).arg(suffix);
        PgConnection admin;
        if (!admin.Open(m_base, &m_problem))
            return;
        admin.Command("DROP DATABASE IF EXISTS " + m_name, nullptr);
        m_ok = admin.Command("CREATE DATABASE " + m_name, &m_problem);
    }
    ~BenchDatabase() {
        PgConnection admin;
        if (m_ok && admin.Open(m_base, nullptr))
            admin.Command("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", nullptr);
    }
    bool Ok() const { return m_ok; }
    QString Problem() const { return m_problem; }
    QString Conninfo() const {
        return (m_base.isEmpty() ? QString() : m_base + ' ') + "dbname=" + m_name;
    }

private:
    QString m_base, m_name, m_problem;
    bool m_ok = false;
};

bool Fail(CentralFigures& f, const QString& why) {
    f.problem = why;
    return false;
}

// The benchmark desk's sync of the folder home to the server conninfo.
Central::SyncOptions SyncOptionsOf(const HistoryHome& home, const QString& conninfo) {
    Central::SyncOptions o;
    o.conninfo = conninfo;
    o.dbPath = home.Path() + "/brtx.db";
    o.picRoot = home.Path() + "/pic";
    o.station = QStringLiteral("bench");
    return o;
}

bool SyncRun(const CentralSettings& s, CentralFigures& f, int records, int photoBytes, double& ms,
             double* resyncMs) {
    HistoryHome home(s.programDir, records);
    if (!home.Ok())
        return Fail(f, home.Problem());
    if (photoBytes > 0) {
        const QString folder = home.Path() + "/pic/" + HistoryHome::Device();
        QDir().mkpath(folder);
        for (int n = 1; n <= records; ++n) {
            QFile file(folder + QStringLiteral("/%1.jpg").arg(n, 5, 10, QChar('0')));
            if (!file.open(QIODevice::WriteOnly))
                return Fail(f, "cannot write " + file.fileName());
            QByteArray bytes(photoBytes, char(n % 251));
            bytes.replace(0, 8, QByteArray::number(n).leftJustified(8, '-'));
            file.write(bytes);
        }
    }
    BenchDatabase db(s.conninfo, photoBytes > 0 ? "pictures" : "records");
    if (!db.Ok())
        return Fail(f, db.Problem());
    const Central::SyncOptions o = SyncOptionsOf(home, db.Conninfo());
    QElapsedTimer t;
    t.start();
    const Central::SyncResult r = Central::SyncToCentral(o);
    ms = double(t.nsecsElapsed()) / 1e6;
    if (!r.ok)
        return Fail(f, r.error);
    if (r.records != records || r.pictures != (photoBytes > 0 ? records : 0))
        return Fail(f, QStringLiteral("the sync stored %1 records and %2 photographs of %3")
                           .arg(r.records)
                           .arg(r.pictures)
                           .arg(records));
    if (resyncMs) {
        t.restart();
        const Central::SyncResult again = Central::SyncToCentral(o);
        *resyncMs = double(t.nsecsElapsed()) / 1e6;
        if (!again.ok || again.records != 0 || again.skipped != records)
            return Fail(f,
                        QStringLiteral("the second sync was not empty: %1").arg(again.Summary()));
    }
    return true;
}

// A login role of the benchmark's own, dropped when the object goes (after the database
// whose rights it held).
class BenchRole {
public:
    explicit BenchRole(const QString& base)
        : m_base(base),
          m_name(QStringLiteral("brtx_bench_%1").arg(QCoreApplication::applicationPid())) {}
    ~BenchRole() {
        PgConnection admin;
        if (admin.Open(m_base, nullptr))
            admin.Command("DROP ROLE IF EXISTS " + m_name, nullptr);
    }
    QString Name() const { return m_name; }

private:
    QString m_base, m_name;
};

// A desk's records sealed and signed as a download leaves them, synced through a desk login
// of their own (its role, row-level security and witnesses, as a desk syncs), then checked
// on the server by verify --central.
bool VerifyRun(const CentralSettings& s, CentralFigures& f) {
    HistoryHome home(s.programDir, s.syncRecords);
    if (!home.Ok())
        return Fail(f, home.Problem());
    QString fingerprint;
    {
        SQLite::Database local;
        if (local.Open(home.Path() + "/brtx.db") != 0 ||
            Seal::SealUnsealed(local, QString(), home.Path() + "/pic", QStringLiteral("bench")) !=
                s.syncRecords)
            return Fail(f, QStringLiteral("the records could not be sealed"));
        const SQLite::Table key =
            local.QuerySQL("SELECT Fingerprint FROM DeskKey ORDER BY CreatedAt DESC LIMIT 1");
        if (key.GetRowCount() != 1)
            return Fail(f, QStringLiteral("the sealed records have no desk key"));
        fingerprint = key.Cell(0, 0);
    }
    BenchRole role(s.conninfo);
    BenchDatabase db(s.conninfo, "verify");
    if (!db.Ok())
        return Fail(f, db.Problem());
    QString line;
    {
        PgConnection admin;
        QString why;
        if (!admin.Open(db.Conninfo(), &why) || !Central::InitCentral(admin, &why) ||
            !Central::AddDesk(admin, role.Name(), fingerprint, &line, &why))
            return Fail(f, QStringLiteral("cannot register the benchmark desk: %1").arg(why));
    }
    const Central::SyncOptions o = SyncOptionsOf(home, line);
    QElapsedTimer t;
    t.start();
    const Central::SyncResult synced = Central::SyncToCentral(o);
    f.sealedSyncMs = double(t.nsecsElapsed()) / 1e6;
    if (!synced.ok)
        return Fail(f, synced.error);
    PgConnection pg;
    QString why;
    pg.SetTimeouts(10, 300000);
    if (!pg.Open(db.Conninfo(), &why))
        return Fail(f, why);
    t.restart();
    const Central::VerifyReport report = Central::VerifyCentral(pg, Central::VerifyOptions());
    f.verifyMs = double(t.nsecsElapsed()) / 1e6;
    f.verified = report.verified;
    if (!report.readable)
        return Fail(f, report.error);
    if (report.verified != s.syncRecords || report.Problems() != 0)
        return Fail(f, QStringLiteral("verify --central found %1 problems and verified %2 of %3")
                           .arg(report.Problems())
                           .arg(report.verified)
                           .arg(s.syncRecords));
    return true;
}

// The large table straight on the server (as many desks' syncs would leave it): records of
// ten devices, twenty filled fields each.
bool FillServer(PgConnection& pg, int records, QString* why) {
    QString titles, fields, fieldValues;
    for (int k = 1; k <= 20; ++k) {
        titles += QStringLiteral(",'Field title %1'").arg(k);
        fields += QStringLiteral(",field%1").arg(k);
        fieldValues += QStringLiteral(",'value ' || n || '-%1'").arg(k);
    }
    QString sql = "INSERT INTO devices (device_id" + QString(fields).replace("field", "title") +
                  ",titleindex,station) SELECT 'DEV' || d" + titles +
                  ",'1','bench' FROM generate_series(0,9) d;";
    sql += "INSERT INTO records (machine_no,record_no,date_date,time_time,test_mode,test_result,"
           "test_unit" +
           fields +
           ",gps,path,picturename,station) SELECT 'DEV' || (n % 10), (n / 10 + 1)::text, "
           "to_char(date '2020-01-01' + (n / 10 % 1500), 'YYYY-MM-DD'), to_char(time '00:00' + "
           "(n % 86400) * interval '1 second', 'HH24:MI:SS'), CASE WHEN n % 3 = 0 THEN 'Manual' "
           "ELSE 'Auto' END, to_char((n % 1000) / 1000.0, 'FM0.000'), 'mg/L'" +
           fieldValues + ",'31.2 121.4','','','bench' FROM generate_series(0," +
           QString::number(records - 1) + ") n;";
    // What autovacuum does on a real server a while after the rows arrived: statistics and
    // the visibility map, so counting can read the index alone.
    return pg.Command(sql, why) && pg.Command(QStringLiteral("VACUUM ANALYZE records"), why);
}

} // namespace

CentralFigures RunCentralBench(const CentralSettings& s) {
    CentralFigures f;
    {
        PgConnection pg;
        QString why;
        if (!pg.Open(s.conninfo, &why)) {
            f.problem = QStringLiteral("cannot reach the server: %1").arg(why);
            return f;
        }
        QStringList settings;
        for (const char* name : {"shared_buffers", "work_mem", "fsync", "synchronous_commit",
                                 "wal_level", "max_wal_size"}) {
            Central::PgResult r = pg.Exec(QStringLiteral("SHOW %1").arg(QLatin1String(name)));
            settings << QStringLiteral("%1=%2").arg(QLatin1String(name), r.Text(0, 0));
        }
        f.server = "PostgreSQL " + pg.ServerVersion() + " (" + settings.join(", ") + ")";
    }
    if (!SyncRun(s, f, s.syncRecords, 0, f.syncMs, &f.resyncMs) ||
        !SyncRun(s, f, s.pictureRecords, s.photoBytes, f.pictureSyncMs, nullptr) ||
        !VerifyRun(s, f))
        return f;

    BenchDatabase db(s.conninfo, "query");
    if (!db.Ok()) {
        f.problem = db.Problem();
        return f;
    }
    {
        PgConnection pg;
        // The million rows go in as one statement (with the server's marking of copies): on
        // a busy machine that takes longer than a desk's statement time-out.
        pg.SetTimeouts(10, 600000);
        QString why;
        QElapsedTimer t;
        t.start();
        if (!pg.Open(db.Conninfo(), &why) || !Central::EnsureSchema(pg, &why) ||
            !FillServer(pg, s.queryRecords, &why)) {
            f.problem = why;
            return f;
        }
        f.fillMs = double(t.nsecsElapsed()) / 1e6;
    }
    // The first screen as the page shows it: columns, row count, the first 50 rows, each time
    // from a new connection (as a page that was just switched to Central).
    auto screen = [&](const HistoryFilter& filter, const HistorySort& sort, double& out) {
        QVector<double> times;
        for (int run = 0; run < s.runs; ++run) {
            QElapsedTimer t;
            t.start();
            CCentralRecordSource source(db.Conninfo());
            QVector<HistoryColumn> columns;
            qint64 count = 0;
            QVector<HistoryRow> rows;
            QString why;
            if (!source.Columns(filter, columns, &why) || !source.Count(filter, count, &why) ||
                !source.Fetch(filter, sort, 0, 50, rows, &why))
                return Fail(f, why);
            times << double(t.nsecsElapsed()) / 1e6;
            if (rows.size() != 50 || count <= 0)
                return Fail(f, QStringLiteral("the first screen had %1 rows").arg(rows.size()));
        }
        out = Median(times);
        return true;
    };
    HistoryFilter one;
    one.device = QStringLiteral("DEV3");
    HistoryFilter all;
    all.allDevices = true;
    if (!screen(one, HistorySort(), f.firstScreenMs) ||
        !screen(all, HistorySort(), f.allDevicesMs) ||
        !screen(one, HistorySort{5, true}, f.sortedMs))
        return f;
    f.ok = true;
    return f;
}

} // namespace bench
