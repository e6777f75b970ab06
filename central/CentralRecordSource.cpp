#include "central/CentralRecordSource.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "central/CentralSchema.h"
#include "central/CentralStats.h"
#include "store/Sha256.h"
#include "store/Statements.h"

#include <QFile>

using Central::PgParam;
using Central::PgResult;

namespace {

constexpr int kTitleCount = 20;
constexpr int kFixedColumns = 7;
const char* const kFixedNames[kFixedColumns] = {
    "machine_no", "record_no", "date_date", "time_time", "test_mode", "test_result", "test_unit"};

// A text as a parameter of the statement: "$n::text", the value appended to params.
QString Bind(QVector<PgParam>& params, const QString& text) {
    params << PgParam::Text(text);
    return QStringLiteral("$%1::text").arg(params.size());
}

// The texts of the stored test modes as the list shows them (exact case), in SQL.
QString ModeExpression(const CLanguage& texts, QVector<PgParam>& params) {
    QString sql = QStringLiteral("CASE test_mode");
    for (const char* mode : {"Auto", "Manual", "Refuse", "Discontinued"})
        sql += " WHEN '" + QString::fromLatin1(mode) + "' THEN " +
               Bind(params, CHistoryQuery::TestModeText(texts, QString::fromLatin1(mode)));
    return sql + QStringLiteral(" ELSE test_mode END");
}

// The copy of a record the list shows: the first desk's by name (the others are the same
// or are conflicts, which sync and verify report); the SQL term keeps only that one. The
// server marks the other copies as it stores them; a store of an older table version has no
// mark, and each row is checked against the other copies of its key instead.
const char* const kOneCopy = "NOT later_copy";
// The same as a look-up in the small index of later copies, for a statement that reads the
// key index alone (a device's rows lie on every page of the table: reading them costs as
// much as reading the table).
const char* const kOneCopyByKey =
    "NOT EXISTS (SELECT 1 FROM records l WHERE l.later_copy AND l.machine_no = "
    "records.machine_no AND l.record_no = records.record_no AND l.date_date = records.date_date "
    "AND l.time_time = records.time_time AND l.station = records.station)";
const char* const kOneCopyUnmarked =
    "NOT EXISTS (SELECT 1 FROM records o WHERE o.machine_no = records.machine_no AND "
    "o.record_no = records.record_no AND o.date_date = records.date_date AND o.time_time = "
    "records.time_time AND o.station < records.station)";

// How many desks hold a copy identical to the shown one (values and photograph).
QString DesksExpression() {
    QString same;
    const QStringList& columns = Statements::ValueInfoColumns();
    for (int c = 4; c < columns.size(); ++c) {
        const QString name = columns[c].toLower();
        same += QStringLiteral(" AND o.%1 IS NOT DISTINCT FROM records.%1").arg(name);
    }
    return "(SELECT count(*) FROM records o WHERE o.machine_no = records.machine_no AND "
           "o.record_no = records.record_no AND o.date_date = records.date_date AND o.time_time "
           "= records.time_time" +
           same +
           " AND (SELECT sha256 FROM pictures p WHERE p.machine_no = o.machine_no AND p.record_no "
           "= o.record_no AND p.date_date = o.date_date AND p.time_time = o.time_time AND "
           "p.station = o.station) IS NOT DISTINCT FROM (SELECT sha256 FROM pictures p WHERE "
           "p.machine_no = records.machine_no AND p.record_no = records.record_no AND "
           "p.date_date = records.date_date AND p.time_time = records.time_time AND p.station = "
           "records.station))";
}

// The filter names the record key's columns only (device and dates), so the rows it keeps can
// be found in the key index without reading the table.
bool KeyFilter(const HistoryFilter& filter) {
    return filter.search.isEmpty() && filter.mode == TestModeFilter::Any && !filter.minResult &&
           !filter.maxResult && filter.overLimit == 0 && !filter.HasChartChoice();
}

} // namespace

struct CCentralRecordSource::Layout {
    QVector<HistoryColumn> columns;
    QStringList cells;       // one SQL expression per column, giving the shown text
    QVector<PgParam> params; // the values the cells' $n stand for
};

CCentralRecordSource::CCentralRecordSource(const QString& conninfo, const QString& picRoot,
                                           CLanguage texts)
    : m_texts(std::move(texts)),
      m_conninfo(conninfo.isEmpty() ? Central::CentralUrl(m_texts, &m_confProblem) : conninfo),
      m_picRoot(picRoot.isEmpty() ? GetPicFolder() : picRoot) {}

bool CCentralRecordSource::Connect(QString* error) {
    if (m_db.IsOpen())
        return true;
    QString why;
    if (m_conninfo.isEmpty()) {
        why = m_confProblem.isEmpty() ? QStringLiteral("no central store is configured")
                                      : m_confProblem;
    } else if (!m_db.Open(m_conninfo, &why)) {
        why = QStringLiteral("cannot reach the central store: %1").arg(why);
    } else {
        const int version = Central::ServerSchemaVersion(m_db, &why);
        if (version > Central::kSchemaVersion) {
            why = QStringLiteral("the central store has table version %1; this program knows "
                                 "version %2 at most: update the program")
                      .arg(version)
                      .arg(Central::kSchemaVersion);
        } else if (version >= 0) {
            m_empty = version == 0;
            m_flagged = version >= 4;
            // Language order and case folding under the server's Unicode collation, when it
            // has one; else its default.
            PgResult icu = m_db.Exec(
                QStringLiteral("SELECT 1 FROM pg_collation WHERE collname = 'und-x-icu' LIMIT 1"));
            m_collate = icu.Ok() && icu.Rows() > 0 ? QStringLiteral(" COLLATE \"und-x-icu\"")
                                                   : QStringLiteral(" COLLATE \"default\"");
            return true;
        }
        m_db.Close();
    }
    if (error)
        *error = why;
    return false;
}

bool CCentralRecordSource::DeviceList(QStringList& devices, QString* error) {
    devices.clear();
    if (!Connect(error))
        return false;
    if (m_empty)
        return true;
    // Each device number once, found by jumping through the key index rather than reading
    // every record.
    PgResult r = m_db.Exec(QStringLiteral(
        "WITH RECURSIVE d(m) AS (SELECT min(machine_no) FROM records UNION ALL SELECT (SELECT "
        "min(machine_no) FROM records WHERE machine_no > d.m) FROM d WHERE d.m IS NOT NULL) "
        "SELECT m FROM d WHERE m IS NOT NULL UNION SELECT device_id FROM devices ORDER BY 1"));
    if (!r.Ok()) {
        if (error)
            *error = r.Error();
        return false;
    }
    for (int i = 0; i < r.Rows(); ++i)
        devices << r.Text(i, 0);
    return true;
}

bool CCentralRecordSource::MakeLayout(const HistoryFilter& filter, Layout& layout, QString* error) {
    layout = Layout();
    // The title sets: the one device's, or every device's in device order.
    QVector<QPair<QString, QStringList>> titled;
    if (!m_empty) {
        QString sql = QStringLiteral("SELECT device_id");
        for (int k = 1; k <= kTitleCount; ++k)
            sql += QStringLiteral(",coalesce(title%1,'')").arg(k);
        // One title set per device: each desk uploads its own, the first one sent is shown.
        sql += QStringLiteral(" FROM (SELECT DISTINCT ON (device_id) * FROM devices ORDER BY "
                              "device_id, uploaded_at, station) d");
        QVector<PgParam> params;
        if (!filter.allDevices) {
            sql += QStringLiteral(" WHERE device_id = $1");
            params << PgParam::Text(filter.device);
        }
        sql += QStringLiteral(" ORDER BY device_id");
        PgResult r = m_db.Exec(sql, params);
        if (!r.Ok()) {
            if (error)
                *error = r.Error();
            return false;
        }
        for (int d = 0; d < r.Rows(); ++d) {
            QStringList titles;
            for (int k = 1; k <= kTitleCount; ++k)
                titles << r.Text(d, k).left(CHistoryQuery::kTitleChars);
            titled.append({r.Text(d, 0), titles});
        }
    }
    // One device: the columns the local list has for these titles.
    QVector<QStringList> unionCases; // all devices: per union title, "WHEN dev THEN fieldK"
    if (!filter.allDevices) {
        layout.columns = CHistoryQuery::LayoutColumns(
            m_texts, titled.isEmpty() ? QStringList() : titled.first().second);
    } else {
        // Every device: the union of the titles between the fixed columns and GPS; a
        // device's cell under a title is its first field of that title.
        const CHistoryQuery::UnionLayout all = CHistoryQuery::LayoutUnion(m_texts, titled);
        layout.columns = all.columns;
        for (const auto& sources : all.sources) {
            QStringList cases;
            for (const auto& [device, field] : sources)
                cases << QStringLiteral("WHEN %1 THEN field%2")
                             .arg(Bind(layout.params, device))
                             .arg(field);
            unionCases.append(cases);
        }
    }
    for (const HistoryColumn& c : layout.columns) {
        switch (c.kind) {
        case HistoryColumn::Fixed:
            layout.cells << (c.index == 4
                                 ? "coalesce(" + ModeExpression(m_texts, layout.params) + ",'')"
                                 : QStringLiteral("coalesce(%1,'')").arg(kFixedNames[c.index]));
            break;
        case HistoryColumn::Field:
            layout.cells << (filter.allDevices
                                 ? "coalesce(CASE machine_no " + unionCases[c.index - 1].join(' ') +
                                       " END,'')"
                                 : QStringLiteral("coalesce(field%1,'')").arg(c.index));
            break;
        case HistoryColumn::Gps:
            layout.cells << QStringLiteral("coalesce(gps,'')");
            break;
        }
    }
    return true;
}

using Central::NumberOf;

QString CCentralRecordSource::Where(const HistoryFilter& filter, const Layout& layout,
                                    QVector<PgParam>& params, bool cellsSelected,
                                    bool byKey) const {
    // The cells' own values, when the statement holds the cells (a search names them all).
    if (cellsSelected || !filter.search.isEmpty())
        params = layout.params;
    QStringList terms{QString::fromLatin1(!m_flagged ? kOneCopyUnmarked
                                          : byKey    ? kOneCopyByKey
                                                     : kOneCopy)};
    auto param = [&](const QString& value) {
        params << PgParam::Text(value);
        return '$' + QString::number(params.size());
    };
    if (!filter.allDevices)
        terms << "machine_no = " + param(filter.device);
    terms << "date_date >= " + param(filter.startDate);
    terms << "date_date <= " + param(filter.endDate);
    static const char* const modes[] = {"", "Auto", "Manual", "Refuse", "Discontinued"};
    if (filter.mode != TestModeFilter::Any)
        terms << "test_mode = " + param(QString::fromLatin1(modes[int(filter.mode)]));
    if (filter.minResult)
        terms << NumberOf("test_result") +
                     " >= " + param(QString::number(*filter.minResult, 'g', 17)) + "::numeric";
    if (filter.maxResult)
        terms << NumberOf("test_result") +
                     " <= " + param(QString::number(*filter.maxResult, 'g', 17)) + "::numeric";
    if (!filter.search.isEmpty()) {
        // Case is ignored in every script: lower() under a Unicode collation.
        const QString needle = "lower(" + param(filter.search) + m_collate + ")";
        QStringList any;
        for (const QString& cell : layout.cells)
            any << QStringLiteral("strpos(lower(%1%2), %3) > 0").arg(cell, m_collate, needle);
        terms << '(' + any.join(QStringLiteral(" OR ")) + ')';
    }
    // Over a legal limit, and what a chart's bar adds.
    const int field =
        filter.fieldValue ? Central::FindHeading(layout.columns, filter.fieldHeading) : -1;
    terms << Central::ChartTerms(
        filter, CLimits::Read(m_texts),
        field < 0 ? QString() : Central::Rebind(layout.cells[field], layout.params, params),
        params);
    return " WHERE " + terms.join(QStringLiteral(" AND "));
}

QString CCentralRecordSource::OrderBy(const HistorySort& sort, const Layout& layout) const {
    // Without a sort: device number, then record number as a number (one that is not a
    // number after the numbers), both descending, as the local list. Record
    // number and result sort as numbers (a text that is not one first), the date with its
    // time, every other column in language order. The record key settles ties, so paging
    // never shows a row twice.
    if (sort.IsDefault() || sort.column >= layout.cells.size())
        return " ORDER BY machine_no DESC, " + NumberOf("record_no") +
               " DESC NULLS LAST, record_no DESC, date_date DESC, time_time DESC";
    const HistoryColumn& column = layout.columns[sort.column];
    const QString dir =
        sort.descending ? QStringLiteral(" DESC NULLS LAST") : QStringLiteral(" ASC NULLS FIRST");
    QStringList terms;
    if (column.kind == HistoryColumn::Fixed && (column.index == 1 || column.index == 5)) {
        terms << NumberOf(kFixedNames[column.index]) + dir << kFixedNames[column.index] + dir;
    } else if (column.kind == HistoryColumn::Fixed && column.index == 2) {
        terms << "date_date" + dir << "time_time" + dir;
    } else if (column.kind == HistoryColumn::Fixed && column.index == 3) {
        terms << "time_time" + dir;
    } else {
        terms << layout.cells[sort.column] + m_collate + dir;
    }
    // Ties in the order the records were downloaded: by device, then record number.
    terms << QStringLiteral("machine_no") << NumberOf("record_no") + " NULLS FIRST"
          << QStringLiteral("record_no, date_date, time_time");
    return " ORDER BY " + terms.join(QStringLiteral(", "));
}

bool CCentralRecordSource::SortsByKey(const HistorySort& sort, const Layout& layout) const {
    // The default order, or a column of the record key (device, number, date, time).
    if (sort.IsDefault() || sort.column >= layout.cells.size())
        return true;
    const HistoryColumn& column = layout.columns[sort.column];
    return column.kind == HistoryColumn::Fixed && column.index <= 3;
}

HistoryRow CCentralRecordSource::MakeRow(const PgResult& r, int i, int cellCount) const {
    HistoryRow row;
    row.cells.reserve(cellCount);
    for (int c = 0; c < cellCount; ++c)
        row.cells << r.Text(i, c);
    row.path = r.Text(i, cellCount);
    row.machineNo = r.Text(i, cellCount + 1);
    row.recordNo = r.Text(i, cellCount + 2);
    row.date = r.Text(i, cellCount + 3);
    row.time = r.Text(i, cellCount + 4);
    row.desks = r.Text(i, cellCount + 5).toInt();
    return row;
}

bool CCentralRecordSource::Columns(const HistoryFilter& filter, QVector<HistoryColumn>& columns,
                                   QString* error) {
    Layout layout;
    if (!Connect(error) || !MakeLayout(filter, layout, error))
        return false;
    columns = layout.columns;
    return true;
}

bool CCentralRecordSource::Count(const HistoryFilter& filter, qint64& count, QString* error) {
    count = 0;
    Layout layout;
    if (!Connect(error) || !MakeLayout(filter, layout, error))
        return false;
    if (m_empty)
        return true;
    QVector<PgParam> params;
    // With a filter of devices and days only, the server counts in the index of shown copies.
    const QString sql = "SELECT count(*) FROM records" + Where(filter, layout, params, false);
    PgResult r = m_db.Exec(sql, params);
    if (!r.Ok()) {
        if (error)
            *error = r.Error();
        return false;
    }
    count = r.Text(0, 0).toLongLong();
    return true;
}

bool CCentralRecordSource::Fetch(const HistoryFilter& filter, const HistorySort& sort,
                                 qint64 offset, int limit, QVector<HistoryRow>& rows,
                                 QString* error) {
    rows.clear();
    Layout layout;
    if (!Connect(error) || !MakeLayout(filter, layout, error))
        return false;
    if (m_empty || limit <= 0)
        return true;
    QVector<PgParam> params;
    const QString page =
        QStringLiteral(" LIMIT %1 OFFSET %2").arg(limit).arg(qMax<qint64>(0, offset));
    const QString select = "SELECT " + layout.cells.join(',') +
                           ",coalesce(path,''),machine_no,record_no,date_date,time_time," +
                           DesksExpression() + " FROM records";
    QString sql;
    if (m_flagged && KeyFilter(filter) && SortsByKey(sort, layout)) {
        // The page's keys first, from the key index alone; then only its rows are read.
        sql = select +
              " JOIN (SELECT machine_no AS k1, record_no AS k2, date_date AS k3, time_time AS k4, "
              "station AS k5 FROM records" +
              Where(filter, layout, params, true, true) + OrderBy(sort, layout) + page +
              ") k ON records.machine_no = k.k1 AND records.record_no = k.k2 AND "
              "records.date_date = k.k3 AND records.time_time = k.k4 AND records.station = k.k5" +
              OrderBy(sort, layout);
    } else {
        sql = select + Where(filter, layout, params) + OrderBy(sort, layout) + page;
    }
    PgResult r = m_db.Exec(sql, params);
    if (!r.Ok()) {
        if (error)
            *error = r.Error();
        return false;
    }
    rows.reserve(r.Rows());
    for (int i = 0; i < r.Rows(); ++i)
        rows.append(MakeRow(r, i, int(layout.cells.size())));
    return true;
}

bool CCentralRecordSource::Stream(const HistoryFilter& filter, const HistorySort& sort,
                                  const std::function<bool(const HistoryRow&)>& sink,
                                  QString* error) {
    Layout layout;
    if (!Connect(error) || !MakeLayout(filter, layout, error))
        return false;
    if (m_empty)
        return true;
    QVector<PgParam> params;
    const QString sql = "DECLARE brtx_rows NO SCROLL CURSOR FOR SELECT " + layout.cells.join(',') +
                        ",coalesce(path,''),machine_no,record_no,date_date,time_time," +
                        DesksExpression() + " FROM records" + Where(filter, layout, params) +
                        OrderBy(sort, layout);
    QString why;
    // A cursor reads the list in pieces, so memory stays flat however long it is.
    bool ok =
        m_db.Command(QStringLiteral("BEGIN READ ONLY"), &why) && m_db.Command(sql, params, &why);
    bool more = ok;
    while (more) {
        PgResult r = m_db.Exec(QStringLiteral("FETCH 2000 FROM brtx_rows"));
        if (!r.Ok()) {
            why = r.Error();
            ok = false;
            break;
        }
        for (int i = 0; i < r.Rows() && more; ++i)
            more = sink(MakeRow(r, i, int(layout.cells.size())));
        more = more && r.Rows() > 0;
    }
    m_db.Command(QStringLiteral("ROLLBACK"), nullptr);
    if (!ok && error)
        *error = why;
    return ok;
}

QByteArray CCentralRecordSource::Picture(const HistoryRow& row) {
    // The copy on this desk first: no need to ask the server for it. The Path comes from the
    // server: only a file right inside this desk's folder of the record's device is opened.
    if (const QString path =
            ResolvePicturePath(m_picRoot, DevicePicturePath(row.machineNo, row.path));
        !path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            if (!bytes.isEmpty())
                return bytes;
        }
    }
    if (!Connect(nullptr) || m_empty)
        return QByteArray();
    // Every desk's copy with the hash it was sent with and the one its desk sealed: the first
    // whose bytes still hash to both is shown; a changed photograph is never shown as the
    // record's.
    PgResult r = m_db.Exec(
        QStringLiteral("SELECT p.bytes, p.sha256, coalesce(s.picturehash, '') FROM pictures p "
                       "LEFT JOIN seals s ON s.machine_no = p.machine_no AND s.record_no = "
                       "p.record_no AND s.date_date = p.date_date AND s.time_time = p.time_time "
                       "AND s.station = p.station WHERE p.machine_no = $1 AND p.record_no = $2 "
                       "AND p.date_date = $3 AND p.time_time = $4 ORDER BY p.station"),
        {PgParam::Text(row.machineNo), PgParam::Text(row.recordNo), PgParam::Text(row.date),
         PgParam::Text(row.time)},
        true);
    for (int i = 0; r.Ok() && i < r.Rows(); ++i) {
        const QByteArray bytes = r.Bytes(i, 0);
        const QString hash = Sha256::hex(bytes);
        const QString sealed = QString::fromUtf8(r.Bytes(i, 2));
        if (hash == QString::fromUtf8(r.Bytes(i, 1)) && (sealed.isEmpty() || sealed == hash))
            return bytes;
    }
    return QByteArray();
}

bool CCentralRecordSource::Stats(const HistoryFilter& filter, const StatsRequest& request,
                                 QVector<StatsRow>& rows, QString* error, bool* noColumn) {
    rows.clear();
    if (noColumn)
        *noColumn = false;
    Layout layout;
    if (!Connect(error) || !MakeLayout(filter, layout, error))
        return false;
    if (request.by == StatsBy::Bin && !(request.binWidth > 0)) {
        if (error)
            *error = QStringLiteral("no bin width");
        return false;
    }
    const int field =
        request.by == StatsBy::Field ? Central::FindHeading(layout.columns, request.field) : -1;
    if (request.by == StatsBy::Field && field < 0) {
        if (noColumn)
            *noColumn = true;
        if (error) {
            QStringList headings;
            for (const HistoryColumn& c : layout.columns)
                headings << c.heading;
            *error = QStringLiteral("no column \"%1\"; the columns are: %2")
                         .arg(request.field, headings.join(QStringLiteral(", ")));
        }
        return false;
    }
    if (m_empty)
        return true;
    // Counted by the server: only one row per group and unit comes back.
    QVector<PgParam> params;
    const QString where = Where(filter, layout, params, false);
    const QString cell =
        field < 0 ? QString() : Central::Rebind(layout.cells[field], layout.params, params);
    PgResult r = m_db.Exec(Central::StatsStatement(request, cell, where, params), params);
    if (!r.Ok()) {
        if (error)
            *error = r.Error();
        return false;
    }
    rows = Central::StatsRows(request, r);
    return true;
}
