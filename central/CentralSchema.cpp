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

// The tables under row-level security.
constexpr const char* kPolicyTables[] = {"stations",  "devices",   "records",
                                         "pictures",  "seals",     "audit",
                                         "witnesses", "desk_keys", "chain_signatures"};

// What a desk login may insert into table: rows of its own desk (and, for its key and
// signatures, of the key registered for it). The look-ups are scalar subqueries, so the
// server asks the desks table once per statement rather than once per row (a batch of a
// thousand records would otherwise pay a thousand look-ups).
QString InsertCheck(const QString& table) {
    const bool keyed =
        table == QLatin1String("desk_keys") || table == QLatin1String("chain_signatures");
    return QStringLiteral("station = (SELECT brtx_my_desk())") +
           (keyed ? QStringLiteral(" AND fingerprint = (SELECT brtx_my_key())") : QString());
}

// Version 2: one copy of a record per desk, and the rules that let each desk have a role of
// its own. The station column of every uploaded table names the desk that sent the row and
// becomes part of each key, so two desks holding the same record keep a copy each. Rows of
// version 1 stay as they were, under the station that sent them.
//
// The rules hold for every role but the tables' owner (the administrator, who runs
// `brtx-cli central init`): row-level security lets anyone granted a table read every row and
// insert only rows whose station is the desk its login is registered for; no policy allows an
// UPDATE or DELETE (and no such privilege is granted), so nothing uploaded can be changed but
// by the administrator. A desk's key and chain signatures must carry the fingerprint
// registered for that desk; a witness gets the server's time, whatever the desk sends.
QString Version2() {
    const QString key = QStringLiteral("machine_no, record_no, date_date, time_time");
    QString sql = QStringLiteral(
        // The keys of version 1 (and the picture's reference to its record) give way to keys
        // with the desk.
        "DO $$ DECLARE c record; BEGIN FOR c IN SELECT conrelid::regclass AS t, conname FROM "
        "pg_catalog.pg_constraint WHERE conrelid IN ('records'::regclass, 'pictures'::regclass, "
        "'seals'::regclass, 'devices'::regclass) AND contype IN ('p', 'f') ORDER BY contype = "
        "'p' LOOP EXECUTE format('ALTER TABLE %s DROP CONSTRAINT %I', c.t, c.conname); END "
        "LOOP; END $$;");
    for (const char* table : {"records", "pictures", "seals"})
        sql += QStringLiteral("ALTER TABLE %1 ADD PRIMARY KEY (%2, station);")
                   .arg(QLatin1String(table), key);
    // NOT VALID: a version 1 photograph may have come from another desk than its record.
    sql += "ALTER TABLE pictures ADD FOREIGN KEY (" + key + ", station) REFERENCES records (" +
           key + ", station) NOT VALID;";
    sql += QStringLiteral(
        "ALTER TABLE devices ADD PRIMARY KEY (device_id, station);"
        "CREATE TABLE desks (desk text COLLATE \"C\" PRIMARY KEY, login_role text COLLATE \"C\" "
        "NOT NULL UNIQUE, key_fingerprint text NOT NULL, enabled boolean NOT NULL DEFAULT true, "
        "created timestamptz NOT NULL DEFAULT now());"
        "CREATE TABLE witnesses (station text COLLATE \"C\" NOT NULL, chain text COLLATE \"C\" "
        "NOT NULL, head_seq bigint NOT NULL, head_hash text NOT NULL, witnessed_at timestamptz "
        "NOT NULL DEFAULT now(), PRIMARY KEY (station, chain, head_seq, head_hash));"
        "CREATE TABLE desk_keys (station text COLLATE \"C\" NOT NULL, fingerprint text NOT "
        "NULL, public_key text NOT NULL, label text, created_at text, uploaded_at timestamptz "
        "NOT NULL DEFAULT now(), PRIMARY KEY (station, fingerprint));"
        "CREATE TABLE chain_signatures (station text COLLATE \"C\" NOT NULL, seq bigint NOT "
        "NULL, chain text NOT NULL, fromseq bigint NOT NULL, headseq bigint NOT NULL, head text "
        "NOT NULL, fingerprint text NOT NULL, signedat text NOT NULL, late integer NOT NULL, "
        "prev text NOT NULL, signature text NOT NULL, uploaded_at timestamptz NOT NULL DEFAULT "
        "now(), PRIMARY KEY (station, seq));"
        // The desk of the session's login, and the key registered for it (NULL for a role
        // that is no enabled desk). session_user: a SET ROLE cannot borrow another desk.
        "CREATE FUNCTION brtx_my_desk() RETURNS text LANGUAGE sql STABLE SECURITY DEFINER SET "
        "search_path FROM CURRENT AS 'SELECT desk FROM desks WHERE login_role = session_user "
        "AND enabled';"
        "CREATE FUNCTION brtx_my_key() RETURNS text LANGUAGE sql STABLE SECURITY DEFINER SET "
        "search_path FROM CURRENT AS 'SELECT key_fingerprint FROM desks WHERE login_role = "
        "session_user AND enabled';"
        // A witness's time is the server's.
        "CREATE FUNCTION brtx_witness_time() RETURNS trigger LANGUAGE plpgsql AS 'BEGIN "
        "NEW.witnessed_at := now(); RETURN NEW; END';"
        "CREATE TRIGGER brtx_witness_time BEFORE INSERT ON witnesses FOR EACH ROW EXECUTE "
        "FUNCTION brtx_witness_time();");
    for (const char* table : kPolicyTables) {
        const QString t = QLatin1String(table);
        sql += QStringLiteral("ALTER TABLE %1 ENABLE ROW LEVEL SECURITY;"
                              "CREATE POLICY brtx_read ON %1 FOR SELECT USING (true);"
                              "CREATE POLICY brtx_insert ON %1 FOR INSERT WITH CHECK (%2);")
                   .arg(t, InsertCheck(t));
    }
    // A desk notes its own last sync.
    sql += QStringLiteral("CREATE POLICY brtx_update ON stations FOR UPDATE USING (%1) WITH CHECK "
                          "(%1);")
               .arg(InsertCheck(QStringLiteral("stations")));
    return sql;
}

// Version 3: each desk's register of instruments and log of their calibrations and checks.
// The register holds one row per desk and device with the latest values the desk keeps: a
// desk inserts and updates its own rows only. The log is append-only like the records: a
// desk inserts entries of its own desk, nobody but the administrator changes or removes one.
// Each entry carries its hash, and the desk's audit entry "instrument-log" (uploaded with the
// audit trail and signed with it) names the same hash.
QString Version3() {
    QString sql = QStringLiteral(
        "CREATE TABLE instrument_register (station text COLLATE \"C\" NOT NULL, device_id text "
        "COLLATE \"C\" NOT NULL, device_type text, first_link text, last_link text, "
        "last_download text, label text, serial text, model text, location text, status text, "
        "status_date text, notes text, calibration_days integer, accuracy_days integer, "
        "records bigint, updated_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (station, "
        "device_id));"
        "CREATE TABLE instrument_log (station text COLLATE \"C\" NOT NULL, id bigint NOT NULL, "
        "device_id text COLLATE \"C\" NOT NULL, kind text NOT NULL, at text NOT NULL, "
        "technician text, standard_kind text, lot text, expiry text, target text, unit text, "
        "measured text, tolerance text, result text, reason text, attachment text, "
        "attachment_sha256 text, supersedes bigint, recorded_at text NOT NULL, hash text NOT "
        "NULL, uploaded_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (station, id));");
    for (const char* table : {"instrument_register", "instrument_log"})
        sql += QStringLiteral("ALTER TABLE %1 ENABLE ROW LEVEL SECURITY;"
                              "CREATE POLICY brtx_read ON %1 FOR SELECT USING (true);"
                              "CREATE POLICY brtx_insert ON %1 FOR INSERT WITH CHECK (%2);")
                   .arg(QLatin1String(table), InsertCheck(QLatin1String(table)));
    // The register's latest values replace the desk's own row.
    sql += QStringLiteral("CREATE POLICY brtx_update ON instrument_register FOR UPDATE USING "
                          "(%1) WITH CHECK (%1);")
               .arg(InsertCheck(QStringLiteral("instrument_register")));
    return sql;
}

// Version 4: which copy of a record the central list shows, kept by the server. A copy is a
// later copy when a desk whose name sorts before its own holds the same key; the list shows
// each record's one copy that is not (counting with a plain filter instead of looking for an
// earlier copy of every row). The flag is the server's: after every statement that inserts
// or deletes records, a trigger running with the owner's rights sets it anew on every copy of
// each key the statement touched that more than one desk holds or that came with the flag
// set, whatever the inserting desk sent (a key with one copy has it clear; a desk's policy
// opens only its own rows to it, and an older program does not know the column). It first
// takes a lock per device, in one order, held until the transaction ends: two desks storing
// copies of one device's records at once take turns, so the second one sees the first one's
// copies once they are committed. Rows that were there before get their flag here.
QString Version4() {
    // The same key in records o as in row r.
    const auto sameKey = [](const char* o, const char* r) {
        return QStringLiteral("%1.machine_no = %2.machine_no AND %1.record_no = %2.record_no AND "
                              "%1.date_date = %2.date_date AND %1.time_time = %2.time_time")
            .arg(QLatin1String(o), QLatin1String(r));
    };
    const QString earlier = "EXISTS (SELECT 1 FROM records o WHERE " + sameKey("o", "r") +
                            " AND o.station < r.station)";
    return "ALTER TABLE records ADD COLUMN later_copy boolean NOT NULL DEFAULT false;"
           "UPDATE records r SET later_copy = true WHERE " +
           earlier +
           ";"
           // The list's count reads the shown copies' devices and days from an index of its
           // own (small: equal entries are stored once), never the table; a list page finds its
           // keys in the key index and leaves out the later copies by their index (only records
           // several desks hold).
           "CREATE INDEX records_shown ON records (machine_no, date_date) WHERE NOT later_copy;"
           "CREATE INDEX records_later ON records (machine_no, record_no, date_date, time_time, "
           "station) WHERE later_copy;"
           "CREATE FUNCTION brtx_mark_copies() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER "
           "SET search_path FROM CURRENT AS $f$ BEGIN "
           "PERFORM pg_advisory_xact_lock(7575017, h) FROM (SELECT DISTINCT hashtext(machine_no) "
           "AS h FROM changed ORDER BY 1) d; "
           // Only keys another desk holds (one look-up each), and rows sent with a mark.
           "UPDATE records r SET later_copy = NOT r.later_copy FROM (SELECT DISTINCT "
           "c.machine_no, c.record_no, c.date_date, c.time_time FROM changed c WHERE "
           "c.later_copy OR EXISTS (SELECT 1 FROM records o WHERE " +
           sameKey("o", "c") + " AND o.station <> c.station)) k WHERE " + sameKey("r", "k") +
           " AND r.later_copy <> " + earlier +
           "; RETURN NULL; END $f$;"
           "CREATE TRIGGER brtx_copies_inserted AFTER INSERT ON records REFERENCING NEW TABLE AS "
           "changed FOR EACH STATEMENT EXECUTE FUNCTION brtx_mark_copies();"
           "CREATE TRIGGER brtx_copies_deleted AFTER DELETE ON records REFERENCING OLD TABLE AS "
           "changed FOR EACH STATEMENT EXECUTE FUNCTION brtx_mark_copies();";
}

// The statements that bring version n-1 to version n.
QString Step(int n) {
    switch (n) {
    case 1:
        return Version1();
    case 2:
        return Version2();
    case 3:
        return Version3();
    case 4:
        return Version4();
    default:
        return QString();
    }
}

} // namespace

QString PolicyStatements() {
    QString sql;
    for (const char* table : kPolicyTables) {
        const QString t = QLatin1String(table);
        sql += QStringLiteral("ALTER POLICY brtx_insert ON %1 WITH CHECK (%2);")
                   .arg(t, InsertCheck(t));
    }
    return sql + QStringLiteral("ALTER POLICY brtx_update ON stations USING (%1) WITH CHECK (%1);")
                     .arg(InsertCheck(QStringLiteral("stations")));
}

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

bool EnsureSchema(PgConnection& db, QString* error, int upTo) {
    // The usual case needs no lock: the tables are there at this program's version.
    int version = ServerSchemaVersion(db, error);
    if (version < 0)
        return false;
    if (version == upTo)
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
            *error = QStringLiteral("cannot make the central tables (that is the administrator's "
                                    "brtx-cli central init): %1")
                         .arg(why);
        return false;
    }
    // Another desk may have made them while this one waited for the lock.
    version = ServerSchemaVersion(db, &why);
    bool ok = version >= 0 && version <= kSchemaVersion;
    for (int n = version + 1; ok && n <= upTo; ++n)
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
                         : QStringLiteral("cannot make the central tables (that is the "
                                          "administrator's brtx-cli central init): %1")
                               .arg(why);
        return false;
    }
    return true;
}

} // namespace Central
