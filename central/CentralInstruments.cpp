#include "central/CentralInstruments.h"

#include "central/PgConnection.h"
#include "instruments/Calibration.h"
#include "store/Instruments.h"
#include "store/SQLite.h"

#include <QHash>

#include <algorithm>
#include <functional>

namespace Central {

namespace {

// Rows per INSERT statement: well below the server's 65,535 parameters at 20 a row.
constexpr int kRowsPerStatement = 500;

// The log's columns on the server, in the order LogCells gives them (station first).
constexpr const char* kLogColumns =
    "station, id, device_id, kind, at, technician, standard_kind, lot, expiry, target, unit, "
    "measured, tolerance, result, reason, attachment, attachment_sha256, supersedes, "
    "recorded_at, hash";
constexpr int kLogWidth = 20;

constexpr const char* kRegisterColumns =
    "station, device_id, device_type, first_link, last_link, last_download, label, serial, "
    "model, location, status, status_date, notes, calibration_days, accuracy_days, records";
constexpr int kRegisterWidth = 16;

// An entry's cells as the server stores them, from id on (a missing supersedes is "").
QStringList LogCells(const Instruments::LogEntry& e) {
    // The log's table without its "Superseded" mark, which is worked out, never stored.
    QStringList cells = Calibration::LogRow(e);
    cells.removeAt(Calibration::LogHeadings().indexOf(QStringLiteral("Superseded")));
    return cells;
}

QStringList RegisterCells(const Instruments::Instrument& i) {
    const auto days = [](int d) { return d > 0 ? QString::number(d) : QString(); };
    return {i.device,
            i.type,
            i.firstLink,
            i.lastLink,
            i.lastDownload,
            i.label,
            i.serial,
            i.model,
            i.location,
            i.status,
            i.statusDate,
            i.notes,
            days(i.calibrationDays),
            days(i.accuracyDays),
            QString::number(i.records)};
}

// A number column: NULL when empty.
PgParam NumberParam(const QString& text) {
    return text.isEmpty() ? PgParam::Null() : PgParam::Text(text);
}

class InstrumentSync {
public:
    InstrumentSync(PgConnection& db, const QString& station, const QString& device)
        : m_db(db), m_station(station), m_device(device) {}

    InstrumentSyncResult Run(const QString& dbPath) {
        SQLite::Database local;
        if (local.Open(dbPath, SQLite::Database::Access::ReadOnly) != 0)
            return Failed(QStringLiteral("cannot open %1 to read the instruments").arg(dbPath));
        // A database without a register (from before it, or of a desk that never linked an
        // instrument) costs nothing more: the register's list counts every device's records.
        const SQLite::Table tables = local.QuerySQL(
            QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                           "('Instrument', 'InstrumentLog')"));
        if (tables.GetRowCount() != 1)
            return Failed(QStringLiteral("cannot read the local register of instruments"));
        if (tables.Cell(0, 0) == QLatin1String("0")) {
            m_result.ok = true;
            return m_result;
        }
        bool ok = false;
        QList<Instruments::Instrument> instruments;
        if (m_device.isEmpty()) {
            instruments = Instruments::List(local, &ok);
        } else {
            Instruments::Instrument one;
            ok = true;
            if (Instruments::Find(local, m_device, &one))
                instruments << one;
        }
        if (!ok)
            return Failed(QStringLiteral("cannot read the local register of instruments"));
        QList<Instruments::Instrument> registered;
        for (const Instruments::Instrument& i : std::as_const(instruments))
            if (i.registered)
                registered << i;
        const QList<Instruments::LogEntry> log = Instruments::Log(local, m_device, &ok);
        if (!ok)
            return Failed(QStringLiteral("cannot read the local instruments' log"));
        m_result.present = !registered.isEmpty() || !log.isEmpty();
        if (!m_result.present) {
            m_result.ok = true;
            return m_result;
        }
        if (!SendRegister(registered) || !SendLog(log))
            return m_result;
        m_result.ok = true;
        return m_result;
    }

private:
    InstrumentSyncResult Failed(const QString& why) {
        m_result.ok = false;
        m_result.error = why;
        return m_result;
    }
    bool Fail(const QString& stage, const QString& why) {
        m_result.error =
            m_db.IsOpen()
                ? QStringLiteral("the central store refused the %1: %2").arg(stage, why)
                : QStringLiteral("the central store stopped answering while sending %1: %2; run "
                                 "sync again for the rest")
                      .arg(stage, why);
        return false;
    }
    // body inside one transaction; a deadlock or serialization failure runs it again.
    bool InTransaction(const QString& stage, const std::function<bool(QString*)>& body) {
        for (int attempt = 0;; ++attempt) {
            QString why;
            if (!m_db.Command(QStringLiteral("BEGIN"), &why))
                return Fail(stage, why);
            if (body(&why) && m_db.Command(QStringLiteral("COMMIT"), &why))
                return true;
            const QString state = m_db.LastSqlState();
            m_db.Command(QStringLiteral("ROLLBACK"), nullptr);
            if (attempt < 3 && m_db.IsOpen() &&
                (state == QLatin1String("40P01") || state == QLatin1String("40001")))
                continue;
            return Fail(stage, why);
        }
    }
    // INSERT INTO table (columns) VALUES (...), ... rest: rows of width cells, the station first
    // of each; numbers: the cells (counted from the station) that are numbers, NULL when empty.
    bool InsertRows(const QString& head, const QString& rest, const QList<QStringList>& rows,
                    int width, const QList<int>& numbers, QString* why, qint64* affected) {
        for (qsizetype from = 0; from < rows.size(); from += kRowsPerStatement) {
            QString sql = head + QStringLiteral(" VALUES ");
            QVector<PgParam> params;
            const qsizetype to = qMin(rows.size(), from + kRowsPerStatement);
            for (qsizetype r = from; r < to; ++r) {
                sql += r > from ? QStringLiteral(",(") : QStringLiteral("(");
                for (int c = 0; c < width; ++c) {
                    sql += (c ? QStringLiteral(",$") : QStringLiteral("$")) +
                           QString::number(params.size() + 1);
                    const QString cell = c == 0 ? m_station : rows[r].value(c - 1);
                    params << (numbers.contains(c) ? NumberParam(cell) : PgParam::Text(cell));
                }
                sql += ')';
            }
            qint64 n = 0;
            if (!m_db.Command(sql + ' ' + rest, params, why, &n))
                return false;
            *affected += n;
        }
        return true;
    }

    bool SendRegister(const QList<Instruments::Instrument>& registered) {
        if (registered.isEmpty())
            return true;
        QList<QStringList> rows;
        for (const Instruments::Instrument& i : registered)
            rows << RegisterCells(i);
        // A row is written when it is new or one of its values changed: an unchanged register
        // writes nothing.
        const QStringList values = QString::fromLatin1(kRegisterColumns).split(", ").mid(2);
        QStringList set, mine, theirs;
        for (const QString& v : values) {
            set << v + " = EXCLUDED." + v;
            mine << "instrument_register." + v;
            theirs << "EXCLUDED." + v;
        }
        const QString rest = "ON CONFLICT (station, device_id) DO UPDATE SET " + set.join(", ") +
                             ", updated_at = now() WHERE (" + mine.join(", ") +
                             ") IS DISTINCT FROM (" + theirs.join(", ") + ')';
        qint64 written = 0;
        if (!InTransaction(QStringLiteral("register of instruments"), [&](QString* why) {
                written = 0;
                return InsertRows(QStringLiteral("INSERT INTO instrument_register (%1)")
                                      .arg(QLatin1String(kRegisterColumns)),
                                  rest, rows, kRegisterWidth, {13, 14, 15}, why, &written);
            }))
            return false;
        m_result.register_ = written;
        return true;
    }

    bool SendLog(const QList<Instruments::LogEntry>& log) {
        // This desk's copy on the server: what to send, and what to compare.
        const PgResult held = m_db.Exec(
            QStringLiteral("SELECT %1 FROM instrument_log WHERE station = $1 AND ($2 = '' OR "
                           "device_id = $2) ORDER BY id")
                .arg(QString::fromLatin1(kLogColumns).section(QStringLiteral(", "), 1)),
            {PgParam::Text(m_station), PgParam::Text(m_device)});
        if (!held.Ok())
            return Fail(QStringLiteral("instruments' log"), held.Error());
        QHash<qint64, QStringList> server;
        for (int r = 0; r < held.Rows(); ++r) {
            QStringList cells;
            for (int c = 0; c < kLogWidth - 1; ++c)
                cells << held.Text(r, c);
            server.insert(cells[0].toLongLong(), cells);
        }
        QList<QStringList> missing;
        for (const Instruments::LogEntry& e : log) {
            const QStringList cells = LogCells(e);
            const auto it = server.constFind(e.id);
            if (it == server.cend())
                missing << cells;
            else if (*it != cells)
                m_result.conflicts << QStringLiteral("log entry %1 of device %2 (%3): this "
                                                     "desk's entry differs from its copy on the "
                                                     "server (desk %4); neither side was changed")
                                          .arg(QString::number(e.id), e.device, e.at, m_station);
            server.remove(e.id);
        }
        // What the server holds and the desk no longer does.
        QList<qint64> gone = server.keys();
        std::sort(gone.begin(), gone.end());
        for (qint64 id : std::as_const(gone)) {
            const QStringList& cells = server[id];
            m_result.conflicts << QStringLiteral("log entry %1 of device %2 (%3): on the server "
                                                 "(desk %4) but no longer on this desk; neither "
                                                 "side was changed")
                                      .arg(cells[0], cells[1], cells[3], m_station);
        }
        if (missing.isEmpty())
            return true;
        qint64 stored = 0;
        if (!InTransaction(QStringLiteral("instruments' log"), [&](QString* why) {
                stored = 0;
                return InsertRows(QStringLiteral("INSERT INTO instrument_log (%1)")
                                      .arg(QLatin1String(kLogColumns)),
                                  QStringLiteral("ON CONFLICT DO NOTHING"), missing, kLogWidth,
                                  {1, 17}, why, &stored);
            }))
            return false;
        m_result.logEntries = stored;
        return true;
    }

    PgConnection& m_db;
    QString m_station;
    QString m_device;
    InstrumentSyncResult m_result;
};

} // namespace

InstrumentSyncResult SyncInstruments(PgConnection& db, const QString& dbPath,
                                     const QString& station, const QString& device) {
    return InstrumentSync(db, station, device).Run(dbPath);
}

} // namespace Central
