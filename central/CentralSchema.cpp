#include "central/CentralSchema.h"

#include "central/PgConnection.h"
#include "store/Statements.h"

namespace Central {

namespace {

// A number of our own for pg_advisory_xact_lock: one schema change at a time.
constexpr const char* kLock = "SELECT pg_advisory_xact_lock(7575016)";

// The four key columns of a record, in every table that refers to one. COLLATE "C" orders
// texts byte by byte, as the local database does.
QString KeyColumns() {
    return QStringLiteral("machine_no text COLLATE \"C\" NOT NULL, record_no text COLLATE \"C\" "
                          "NOT NULL, date_date text COLLATE \"C\" NOT NULL, time_time text "
                          "COLLATE \"C\" NOT NULL");
}

QString Version1() {
    QString values;
    const QStringList& columns = Statements::ValueInfoColumns();
    for (int i = 4; i < columns.size(); ++i)
        values += ", " + columns[i].toLower() + " text COLLATE \"C\"";
    QString titles;
    for (int i = 1; i <= Statements::kTitleCount; ++i)
        titles += QStringLiteral(", title%1 text").arg(i);
    const QString key = QStringLiteral("machine_no, record_no, date_date, time_time");
    return "CREATE TABLE brtx_schema (version integer NOT NULL, changed_at timestamptz NOT NULL "
           "DEFAULT now());"
           "CREATE TABLE stations (station text COLLATE \"C\" PRIMARY KEY, first_seen timestamptz "
           "NOT NULL DEFAULT now(), last_sync timestamptz);"
           "CREATE TABLE devices (device_id text COLLATE \"C\" PRIMARY KEY" +
           titles +
           ", titleindex text, station text NOT NULL, uploaded_at timestamptz NOT NULL DEFAULT "
           "now());"
           "CREATE TABLE records (" +
           KeyColumns() + values +
           ", station text NOT NULL, uploaded_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY "
           "(" +
           key +
           "));"
           // The key is the only index: it serves the look-ups of a sync, a device's rows and
           // the list's default order (device, record number) read backwards. Another index
           // on the device would tempt the planner away from the key while a table fills.
           "CREATE TABLE pictures (" +
           KeyColumns() +
           ", path text, sha256 text NOT NULL, bytes bytea NOT NULL, station text NOT NULL, "
           "uploaded_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (" +
           key + "), FOREIGN KEY (" + key + ") REFERENCES records (" + key +
           "));"
           // Photographs are JPEG: trying to compress them only costs time.
           "ALTER TABLE pictures ALTER COLUMN bytes SET STORAGE EXTERNAL;"
           "CREATE TABLE seals (" +
           KeyColumns() +
           ", rowhash text, picturehash text, sealedat text, prevseal text, seal text NOT NULL, "
           "late integer, deleted integer, station text NOT NULL, uploaded_at timestamptz NOT "
           "NULL DEFAULT now(), PRIMARY KEY (" +
           key +
           "));"
           "CREATE TABLE audit (station text COLLATE \"C\" NOT NULL, hash text COLLATE \"C\" NOT "
           "NULL, seq bigint, at text, username text, hostname text, program text, action text, "
           "device text, records text, outcome text, prevhash text, uploaded_at timestamptz NOT "
           "NULL DEFAULT now(), PRIMARY KEY (station, hash));"
           "INSERT INTO brtx_schema (version) VALUES (1);";
}

// The statements that bring version n-1 to version n.
QString Step(int n) {
    switch (n) {
    case 1:
        return Version1();
    default:
        return QString();
    }
}

} // namespace

int ServerSchemaVersion(PgConnection& db, QString* error) {
    // Read from pg_class with the statement's own snapshot: a name look-up may still answer
    // from the state before the lock was granted, missing a table another desk just made.
    PgResult exists = db.Exec(QStringLiteral(
        "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON "
        "n.oid = c.relnamespace WHERE c.relname = 'brtx_schema' AND n.nspname = "
        "current_schema())"));
    if (!exists.Ok()) {
        if (error)
            *error = exists.Error();
        return -1;
    }
    if (exists.Text(0, 0) != QLatin1String("t"))
        return 0;
    PgResult v = db.Exec(QStringLiteral("SELECT max(version) FROM brtx_schema"));
    if (!v.Ok()) {
        if (error)
            *error = v.Error();
        return -1;
    }
    return v.Text(0, 0).toInt();
}

bool EnsureSchema(PgConnection& db, QString* error) {
    // The usual case needs no lock: the tables are there at this program's version.
    int version = ServerSchemaVersion(db, error);
    if (version < 0)
        return false;
    if (version == kSchemaVersion)
        return true;
    if (version > kSchemaVersion) {
        if (error)
            *error = QStringLiteral("the central store has table version %1; this program knows "
                                    "version %2 at most: update the program (the store was not "
                                    "changed)")
                         .arg(version)
                         .arg(kSchemaVersion);
        return false;
    }
    QString why;
    if (!db.Command(QStringLiteral("BEGIN"), &why) ||
        !db.Command(QString::fromLatin1(kLock), &why)) {
        db.Command(QStringLiteral("ROLLBACK"), nullptr);
        if (error)
            *error = QStringLiteral("cannot make the central tables: %1").arg(why);
        return false;
    }
    // Another desk may have made them while this one waited for the lock.
    version = ServerSchemaVersion(db, &why);
    bool ok = version >= 0 && version <= kSchemaVersion;
    for (int n = version + 1; ok && n <= kSchemaVersion; ++n)
        ok = db.Command(Step(n), &why) &&
             db.Command(
                 QStringLiteral("UPDATE brtx_schema SET version = %1, changed_at = now()").arg(n),
                 &why);
    if (ok)
        ok = db.Command(QStringLiteral("COMMIT"), &why);
    if (!ok) {
        db.Command(QStringLiteral("ROLLBACK"), nullptr);
        if (error)
            *error = version > kSchemaVersion
                         ? QStringLiteral("the central store has table version %1; this program "
                                          "knows version %2 at most: update the program (the "
                                          "store was not changed)")
                               .arg(version)
                               .arg(kSchemaVersion)
                         : QStringLiteral("cannot make the central tables: %1").arg(why);
        return false;
    }
    return true;
}

} // namespace Central
