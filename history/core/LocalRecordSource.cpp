#include "history/core/LocalRecordSource.h"

#include "base/Paths.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr int kFixedColumns = 7;
constexpr int kFields = 20;
const int kBusyTimeoutMs = 5000;

// The columns every row statement reads, in this order; the shown cells are picked from them.
// 0..6 fixed, 7..26 Field1..Field20, 27 GPS, 28 Path.
constexpr int kRawField1 = 7;
constexpr int kRawGps = 27;
constexpr int kRawPath = 28;
const char* const kFixedNames[kFixedColumns] = {
    "Machine_NO", "Record_No", "Date_Date", "Time_Time", "Test_Mode", "Test_Result", "Test_Unit"};
// The stored test modes (exact case) in the order of TestModeFilter::Auto ...
const char* const kStoredModes[] = {"Auto", "Manual", "Refuse", "Discontinued"};

// A value bound to one "?" of a statement.
struct Bind {
    bool real = false;
    QByteArray text;
    double number = 0;
};

// A piece of statement text with the values of its "?" in order.
struct Sql {
    QString text;
    QVector<Bind> binds;
    Sql& Add(const QString& t) {
        text += t;
        return *this;
    }
    Sql& AddText(const QString& value) {
        text += QLatin1Char('?');
        binds.append({false, value.toUtf8(), 0});
        return *this;
    }
    Sql& AddNumber(double value) {
        text += QLatin1Char('?');
        binds.append({true, {}, value});
        return *this;
    }
    Sql& Add(const Sql& other) {
        text += other.text;
        binds += other.binds;
        return *this;
    }
};

// ---------------------------------------------------------------------------------------
// Functions the statements use

// brtx_num(x): x as a number when it reads as one (surrounding spaces allowed), else NULL.
bool ParseNumber(const char* text, int n, double& out) {
    while (n > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --n;
    }
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        --n;
    if (n > 0 && *text == '+') {
        ++text;
        --n;
    }
    if (n <= 0)
        return false;
    // Only plain decimal notation: from_chars would also take "inf" and "nan".
    for (int i = 0; i < n; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == 'e' || c == 'E'))
            return false;
    }
    const auto result = std::from_chars(text, text + n, out, std::chars_format::general);
    return result.ec == std::errc() && result.ptr == text + n && std::isfinite(out);
}

void NumberFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    switch (sqlite3_value_type(argv[0])) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        sqlite3_result_double(ctx, sqlite3_value_double(argv[0]));
        return;
    case SQLITE_TEXT: {
        const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
        double value = 0;
        if (text && ParseNumber(text, sqlite3_value_bytes(argv[0]), value))
            sqlite3_result_double(ctx, value);
        else
            sqlite3_result_null(ctx);
        return;
    }
    default:
        sqlite3_result_null(ctx);
    }
}

// brtx_bin(x, width): the bin of x as a number (StatsBin), NULL when x is no number.
void BinFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    double value = 0;
    bool number = false;
    switch (sqlite3_value_type(argv[0])) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        value = sqlite3_value_double(argv[0]);
        number = true;
        break;
    case SQLITE_TEXT: {
        const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
        number = text && ParseNumber(text, sqlite3_value_bytes(argv[0]), value);
        break;
    }
    default:
        break;
    }
    const double width = sqlite3_value_double(argv[1]);
    if (number && width > 0)
        sqlite3_result_int64(ctx, StatsBin(value, width));
    else
        sqlite3_result_null(ctx);
}

// brtx_find(a, b, ...): 1 when one of the texts holds the search text, ignoring case in
// every script (Unicode case folding, not only A-Z as LIKE and lower() do).
struct Needle {
    QByteArray ascii; // the folded text when it is plain ASCII, else empty
    QString folded;
};

inline char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

bool IsAscii(const unsigned char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] >= 0x80)
            return false;
    return true;
}

bool ContainsAscii(const char* text, int n, const QByteArray& needle) {
    const int m = int(needle.size());
    const char first = needle[0];
    for (int i = 0; i + m <= n; ++i) {
        if (LowerAscii(text[i]) != first)
            continue;
        int j = 1;
        while (j < m && LowerAscii(text[i + j]) == needle[j])
            ++j;
        if (j == m)
            return true;
    }
    return false;
}

void FindFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    const Needle* needle = static_cast<const Needle*>(sqlite3_user_data(ctx));
    for (int a = 0; a < argc; ++a) {
        const unsigned char* text = sqlite3_value_text(argv[a]);
        if (!text)
            continue;
        const int n = sqlite3_value_bytes(argv[a]);
        if (IsAscii(text, n)) {
            // Folded ASCII stays ASCII: only an ASCII search text can match.
            if (!needle->ascii.isEmpty() &&
                ContainsAscii(reinterpret_cast<const char*>(text), n, needle->ascii)) {
                sqlite3_result_int(ctx, 1);
                return;
            }
            continue;
        }
        const QString folded =
            QString::fromUtf8(reinterpret_cast<const char*>(text), n).toCaseFolded();
        if (folded.contains(needle->folded)) {
            sqlite3_result_int(ctx, 1);
            return;
        }
    }
    sqlite3_result_int(ctx, 0);
}

// COLLATE brtx_locale: the user's locale order for text columns.
int LocaleCollation(void* collator, int n1, const void* a, int n2, const void* b) {
    if (n1 == n2 && std::memcmp(a, b, size_t(n1)) == 0)
        return 0;
    return static_cast<QCollator*>(collator)->compare(
        QString::fromUtf8(static_cast<const char*>(a), n1),
        QString::fromUtf8(static_cast<const char*>(b), n2));
}

void DeleteCollator(void* collator) {
    delete static_cast<QCollator*>(collator);
}

// ---------------------------------------------------------------------------------------
// One read-only connection for one call.

int AskInterrupt(void* stop) {
    const auto& f = *static_cast<const std::function<bool()>*>(stop);
    return f && f() ? 1 : 0;
}

class Connection {
public:
    // The file must exist: opening read-only never creates it. A statement ends early when
    // stop (if given) returns true.
    bool Open(const QString& path, QString* error, const std::function<bool()>* stop = nullptr) {
        const QFileInfo info(path);
        if (!info.exists()) {
            Fail(error, QStringLiteral("no database at %1").arg(path));
            return false;
        }
        const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            Fail(error, QStringLiteral("cannot open the database %1: %2")
                            .arg(path, QString::fromUtf8(sqlite3_errstr(rc))));
            return false;
        }
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        if (stop && *stop)
            sqlite3_progress_handler(m_db, 20000, AskInterrupt,
                                     const_cast<std::function<bool()>*>(stop));
        sqlite3_create_function_v2(m_db, "brtx_num", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   NumberFunction, nullptr, nullptr, nullptr);
        sqlite3_create_function_v2(m_db, "brtx_bin", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   BinFunction, nullptr, nullptr, nullptr);
        sqlite3_create_collation_v2(m_db, "brtx_locale", SQLITE_UTF8, new QCollator,
                                    LocaleCollation, DeleteCollator);
        m_path = path;
        // A damaged file shows here: reading its schema fails.
        sqlite3_stmt* stmt = Prepare("SELECT name FROM sqlite_master WHERE type='table'", error);
        if (!stmt)
            return false;
        int step;
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
            const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            if (name && std::strcmp(name, "ValueInfo") == 0)
                m_hasValues = true;
            if (name && std::strcmp(name, "TitleInfo") == 0)
                m_hasTitles = true;
        }
        sqlite3_finalize(stmt);
        if (step != SQLITE_DONE) {
            Fail(error, Message(step));
            return false;
        }
        return true;
    }
    ~Connection() {
        if (m_db)
            sqlite3_close_v2(m_db);
    }

    void SetSearch(const QString& search) {
        m_needle.folded = search.toCaseFolded();
        const QByteArray utf8 = m_needle.folded.toUtf8();
        m_needle.ascii =
            IsAscii(reinterpret_cast<const unsigned char*>(utf8.constData()), int(utf8.size()))
                ? utf8
                : QByteArray();
        sqlite3_create_function_v2(m_db, "brtx_find", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                   &m_needle, FindFunction, nullptr, nullptr, nullptr);
    }

    sqlite3_stmt* Prepare(const QString& text, QString* error, const QVector<Bind>& binds = {}) {
        sqlite3_stmt* stmt = nullptr;
        const QByteArray utf8 = text.toUtf8();
        const int rc = sqlite3_prepare_v2(m_db, utf8.constData(), int(utf8.size()), &stmt, nullptr);
        if (rc != SQLITE_OK) {
            Fail(error, Message(rc));
            return nullptr;
        }
        for (int i = 0; i < binds.size(); ++i) {
            const Bind& b = binds[i];
            if (b.real)
                sqlite3_bind_double(stmt, i + 1, b.number);
            else
                sqlite3_bind_text(stmt, i + 1, b.text.constData(), int(b.text.size()),
                                  SQLITE_TRANSIENT);
        }
        return stmt;
    }

    QString Message(int rc) const {
        const char* text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        return QStringLiteral("cannot read the database %1: %2")
            .arg(m_path, QString::fromUtf8(text ? text : sqlite3_errstr(rc)));
    }

    static void Fail(QString* error, const QString& text) {
        if (error)
            *error = text;
    }

    bool HasValues() const { return m_hasValues; }
    bool HasTitles() const { return m_hasTitles; }

private:
    sqlite3* m_db = nullptr;
    QString m_path;
    Needle m_needle;
    bool m_hasValues = false;
    bool m_hasTitles = false;
};

QString Text(sqlite3_stmt* stmt, int column) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)) : QString("");
}

QString FilterKey(const HistoryFilter& f) {
    return QStringList{f.allDevices ? QStringLiteral("*") : QStringLiteral("=") + f.device,
                       f.startDate,
                       f.endDate,
                       f.search,
                       QString::number(int(f.mode)),
                       f.minResult ? QString::number(*f.minResult, 'g', 17) : QString(),
                       f.maxResult ? QString::number(*f.maxResult, 'g', 17) : QString(),
                       QString::number(f.overLimit),
                       f.unit.trimmed().toLower(),
                       QString::number(f.binWidth, 'g', 17),
                       QString::number(f.bin),
                       QString::number(f.hour),
                       QString::number(f.weekday),
                       f.fieldHeading,
                       f.fieldValue ? QStringLiteral("=") + *f.fieldValue : QString()}
        .join(QChar(0x1F));
}

} // namespace

// What the rows look like for a filter: the columns and where each cell comes from.
struct CLocalRecordSource::Layout {
    QVector<HistoryColumn> columns;
    // All devices: per device, the field number under each union column (0: none).
    QHash<QString, QVector<int>> unionFields;
    // All devices: the union column's title -> for each device the field it holds it in.
    QVector<QVector<QPair<QString, int>>> unionSources;
    QString modeTexts[4];

    // The SQL of a column's shown value (for search and sort).
    Sql Expression(const HistoryColumn& column) const {
        Sql sql;
        switch (column.kind) {
        case HistoryColumn::Fixed:
            if (column.index == 4) {
                sql.Add("(CASE Test_Mode");
                for (int m = 0; m < 4; ++m)
                    sql.Add(QStringLiteral(" WHEN '%1' THEN ").arg(QLatin1String(kStoredModes[m])))
                        .AddText(modeTexts[m]);
                sql.Add(" ELSE Test_Mode END)");
            } else {
                sql.Add(QLatin1String(kFixedNames[column.index]));
            }
            break;
        case HistoryColumn::Field:
            if (unionSources.isEmpty()) {
                sql.Add(QStringLiteral("Field%1").arg(column.index));
            } else {
                sql.Add("(CASE Machine_NO");
                for (const auto& [device, field] : unionSources[column.index - 1])
                    sql.Add(" WHEN ").AddText(device).Add(
                        QStringLiteral(" THEN Field%1").arg(field));
                sql.Add(" ELSE NULL END)");
            }
            break;
        case HistoryColumn::Gps:
            sql.Add("GPS");
            break;
        }
        return sql;
    }

    // Every column's shown value, comma-separated: what a search looks through.
    // The column of a heading (exactly, else ignoring case), or -1.
    int Find(const QString& heading) const {
        for (int pass = 0; pass < 2; ++pass)
            for (int c = 0; c < columns.size(); ++c)
                if (columns[c].heading.compare(heading,
                                               pass ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0)
                    return c;
        return -1;
    }
    QString Headings() const {
        QStringList headings;
        for (const HistoryColumn& column : columns)
            headings << column.heading;
        return headings.join(QStringLiteral(", "));
    }
    // The column a filter's fieldValue is about; false with a message when there is none.
    bool FieldOf(const HistoryFilter& filter, Sql& expression, QString* error) const {
        if (!filter.fieldValue)
            return true;
        const int c = Find(filter.fieldHeading);
        if (c < 0) {
            if (error)
                *error = QStringLiteral("no column \"%1\"; the columns are: %2")
                             .arg(filter.fieldHeading, Headings());
            return false;
        }
        expression = Expression(columns[c]);
        return true;
    }
    Sql SearchArgs() const {
        Sql sql;
        for (int c = 0; c < columns.size(); ++c) {
            if (c)
                sql.Add(",");
            sql.Add(Expression(columns[c]));
        }
        return sql;
    }
};

struct CLocalRecordSource::Statement {
    Sql sql;
};

CLocalRecordSource::CLocalRecordSource(const QString& dbPath, CLanguage texts)
    : m_dbPath(dbPath), m_texts(std::move(texts)) {}

CLocalRecordSource::~CLocalRecordSource() = default;

QString CLocalRecordSource::DatabasePath() const {
    return m_dbPath.isEmpty() ? GetDatabasePath() : m_dbPath;
}

bool CLocalRecordSource::DeviceList(QStringList& devices, QString* error) {
    devices.clear();
    Connection db;
    if (!db.Open(DatabasePath(), error))
        return false;
    QStringList parts;
    if (db.HasTitles())
        parts << QStringLiteral("SELECT DeviceID FROM TitleInfo WHERE DeviceID IS NOT NULL");
    if (db.HasValues())
        parts << QStringLiteral("SELECT DISTINCT Machine_NO FROM ValueInfo WHERE Machine_NO IS NOT "
                                "NULL");
    if (parts.isEmpty())
        return true;
    sqlite3_stmt* stmt = db.Prepare(parts.join(QStringLiteral(" UNION ")) + " ORDER BY 1", error);
    if (!stmt)
        return false;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        devices << Text(stmt, 0);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        Connection::Fail(error, db.Message(rc));
        devices.clear();
        return false;
    }
    return true;
}

bool CLocalRecordSource::LoadLayout(const HistoryFilter& filter, Layout& layout, QString* error) {
    for (int m = 0; m < 4; ++m)
        layout.modeTexts[m] = CHistoryQuery::TestModeText(m_texts, QLatin1String(kStoredModes[m]));

    // Titles of the device, or of every device in device order.
    QVector<QPair<QString, QStringList>> titled;
    {
        Connection db;
        if (!db.Open(DatabasePath(), error))
            return false;
        if (db.HasTitles()) {
            QString text = QStringLiteral("SELECT DeviceID");
            for (int k = 1; k <= kFields; ++k)
                text += QStringLiteral(",title%1").arg(k);
            text += QStringLiteral(" FROM TitleInfo WHERE titleindex=1");
            QVector<Bind> binds;
            if (!filter.allDevices) {
                text += QStringLiteral(" AND DeviceID=?");
                binds.append({false, filter.device.toUtf8(), 0});
            }
            text += QStringLiteral(" ORDER BY DeviceID");
            sqlite3_stmt* stmt = db.Prepare(text, error, binds);
            if (!stmt)
                return false;
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                QStringList titles;
                for (int k = 1; k <= kFields; ++k)
                    titles << Text(stmt, k).left(CHistoryQuery::kTitleChars);
                titled.append({Text(stmt, 0), titles});
            }
            sqlite3_finalize(stmt);
            if (rc != SQLITE_DONE) {
                Connection::Fail(error, db.Message(rc));
                return false;
            }
        }
    }

    layout.unionFields.clear();
    layout.unionSources.clear();
    if (!filter.allDevices) {
        layout.columns = CHistoryQuery::LayoutColumns(
            m_texts, titled.isEmpty() ? QStringList() : titled.first().second);
        return true;
    }

    // Every device: the union of the titles between the fixed columns and GPS; each device's
    // field under each union column, for reading its rows.
    CHistoryQuery::UnionLayout all = CHistoryQuery::LayoutUnion(m_texts, titled);
    layout.columns = all.columns;
    layout.unionSources = all.sources;
    for (int u = 0; u < layout.unionSources.size(); ++u) {
        for (const auto& [device, field] : layout.unionSources[u]) {
            QVector<int>& fieldOf = layout.unionFields[device];
            if (fieldOf.size() <= u)
                fieldOf.resize(u + 1);
            fieldOf[u] = field;
        }
    }
    return true;
}

bool CLocalRecordSource::Columns(const HistoryFilter& filter, QVector<HistoryColumn>& columns,
                                 QString* error) {
    Layout layout;
    if (!LoadLayout(filter, layout, error))
        return false;
    columns = layout.columns;
    return true;
}

namespace {

// The WHERE clause of a filter (starting with " WHERE").
// recordOrder: the rows are wanted in record order; the date terms then do not pick the
// (device, date) index, so that the (device, record) index gives the order without a sort.
bool WhereClause(const HistoryFilter& filter, const Sql& searchArgs, const Sql& field,
                 const CLimits& limits, Sql& where, QString* error, bool recordOrder = false) {
    if (filter.minResult && filter.maxResult && *filter.minResult > *filter.maxResult) {
        if (error)
            *error = QStringLiteral("the minimum result is above the maximum");
        return false;
    }
    const char* date = recordOrder ? "+Date_Date" : "Date_Date";
    where.Add(QStringLiteral(" WHERE %1>=").arg(QLatin1String(date))).AddText(filter.startDate);
    where.Add(QStringLiteral(" AND %1<=").arg(QLatin1String(date))).AddText(filter.endDate);
    if (!filter.allDevices)
        where.Add(" AND Machine_NO=").AddText(filter.device);
    if (filter.mode != TestModeFilter::Any)
        where.Add(" AND Test_Mode=").AddText(QLatin1String(kStoredModes[int(filter.mode) - 1]));
    if (filter.minResult)
        where.Add(" AND brtx_num(Test_Result)>=").AddNumber(*filter.minResult);
    if (filter.maxResult)
        where.Add(" AND brtx_num(Test_Result)<=").AddNumber(*filter.maxResult);
    if (!filter.search.isEmpty())
        where.Add(" AND brtx_find(").Add(searchArgs).Add(")");
    if (filter.overLimit > 0) {
        // The result at or over the unit's threshold, as the statistics count it; no unit with
        // that many thresholds: no row.
        Sql threshold;
        threshold.Add("(CASE lower(trim(Test_Unit))");
        bool any = false;
        for (const UnitLimits& u : limits.Units()) {
            if (filter.overLimit > u.thresholds.size())
                continue;
            threshold.Add(" WHEN ")
                .AddText(u.unit.toLower())
                .Add(" THEN ")
                .AddNumber(u.thresholds[filter.overLimit - 1]);
            any = true;
        }
        threshold.Add(" ELSE NULL END)");
        if (any)
            where.Add(" AND brtx_num(Test_Result)>=").Add(threshold);
        else
            where.Add(" AND 0");
    }
    // What a chart's bar adds.
    if (!filter.unit.isEmpty())
        where.Add(" AND lower(trim(coalesce(Test_Unit,'')))=")
            .AddText(filter.unit.trimmed().toLower());
    if (filter.binWidth > 0)
        where.Add(" AND brtx_bin(Test_Result,")
            .AddNumber(filter.binWidth)
            .Add(")=")
            .AddNumber(double(filter.bin));
    if (filter.hour >= 0)
        where.Add(" AND substr(Time_Time,1,2)=")
            .AddText(QStringLiteral("%1").arg(filter.hour, 2, 10, QLatin1Char('0')));
    if (filter.weekday > 0)
        where.Add(" AND ((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7+1)=")
            .AddNumber(filter.weekday);
    if (filter.fieldValue)
        where.Add(" AND coalesce(").Add(field).Add(",'')=").AddText(*filter.fieldValue);
    return true;
}

} // namespace

bool CLocalRecordSource::BuildSelect(const HistoryFilter& filter, const HistorySort& sort,
                                     bool reversed, Statement& st, Layout& layout, QString* error) {
    if (!LoadLayout(filter, layout, error))
        return false;
    if (sort.column >= layout.columns.size()) {
        if (error)
            *error = QStringLiteral("there is no column %1 to sort by").arg(sort.column + 1);
        return false;
    }
    const Sql searchArgs = layout.SearchArgs();
    Sql field;
    if (!layout.FieldOf(filter, field, error))
        return false;
    Sql& sql = st.sql;
    // Only the fields some column shows are read; the others stand as NULL in their place.
    QVector<bool> needed(kFields + 1, false);
    for (const HistoryColumn& column : layout.columns) {
        if (column.kind != HistoryColumn::Field)
            continue;
        if (layout.unionSources.isEmpty())
            needed[column.index] = true;
        else
            for (const auto& source : layout.unionSources[column.index - 1])
                needed[source.second] = true;
    }
    QString select = QStringLiteral("SELECT Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,"
                                    "Test_Result,Test_Unit");
    for (int k = 1; k <= kFields; ++k)
        select += needed[k] ? QStringLiteral(",Field%1").arg(k) : QStringLiteral(",NULL");
    sql.Add(select + QStringLiteral(",GPS,Path FROM ValueInfo"));
    if (!WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), sql, error,
                     sort.IsDefault()))
        return false;

    // The order: the sort keys, then the stored order so that every row has one place.
    struct Term {
        Sql key;
        bool descending;
    };
    QVector<Term> terms;
    auto plain = [](const char* name) {
        Sql s;
        s.Add(QLatin1String(name));
        return s;
    };
    if (sort.IsDefault()) {
        // Newest first: the device, then the record number as a number (record 40 before
        // record 9; a number that is not one after every number), the stored text settling
        // numbers written alike ("7", "07"). The (device, record) index gives the devices in
        // order; the records of each device are sorted.
        Sql number;
        number.Add("brtx_num(Record_No)");
        terms.append({plain("Machine_NO"), true});
        terms.append({number, true});
        for (const char* name : {"Record_No", "Date_Date", "Time_Time", "rowid"})
            terms.append({plain(name), true});
    } else {
        const HistoryColumn& column = layout.columns[sort.column];
        const bool d = sort.descending;
        if (column.kind == HistoryColumn::Fixed && (column.index == 1 || column.index == 5)) {
            const char* name = kFixedNames[column.index];
            Sql number;
            number.Add(QStringLiteral("brtx_num(%1)").arg(QLatin1String(name)));
            terms.append({number, d});
            terms.append({plain(name), d});
        } else if (column.kind == HistoryColumn::Fixed && column.index == 2) {
            terms.append({plain("Date_Date"), d});
            terms.append({plain("Time_Time"), d});
        } else if (column.kind == HistoryColumn::Fixed && column.index == 3) {
            terms.append({plain("Time_Time"), d});
        } else {
            Sql key = layout.Expression(column);
            key.Add(" COLLATE brtx_locale");
            terms.append({key, d});
        }
        terms.append({plain("rowid"), false});
    }
    sql.Add(" ORDER BY ");
    for (int i = 0; i < terms.size(); ++i) {
        if (i)
            sql.Add(",");
        sql.Add(terms[i].key).Add(terms[i].descending != reversed ? " DESC" : "");
    }
    return true;
}

bool CLocalRecordSource::Run(const HistoryFilter& filter, const HistorySort& sort, qint64 offset,
                             qint64 limit, bool reversed,
                             const std::function<bool(const HistoryRow&)>& sink, QString* error) {
    Statement st;
    Layout layout;
    if (!BuildSelect(filter, sort, reversed, st, layout, error))
        return false;
    st.sql.Add(" LIMIT ").AddNumber(double(limit)).Add(" OFFSET ").AddNumber(double(offset));
    // Limits are bound as integers below; AddNumber keeps the placeholder order.
    Connection db;
    if (!db.Open(DatabasePath(), error, &m_interrupt))
        return false;
    if (!db.HasValues())
        return true; // no records table yet: nothing to list
    db.SetSearch(filter.search);
    sqlite3_stmt* stmt = db.Prepare(st.sql.text, error, st.sql.binds);
    if (!stmt)
        return false;
    const int n = int(st.sql.binds.size());
    sqlite3_bind_int64(stmt, n - 1, limit);
    sqlite3_bind_int64(stmt, n, offset);

    // Where each shown cell comes from.
    QVector<int> source;
    for (const HistoryColumn& column : layout.columns) {
        switch (column.kind) {
        case HistoryColumn::Fixed:
            source << column.index;
            break;
        case HistoryColumn::Field:
            source << (layout.unionSources.isEmpty() ? kRawField1 + column.index - 1
                                                     : -column.index); // per device below
            break;
        case HistoryColumn::Gps:
            source << kRawGps;
            break;
        }
    }
    const QVector<int> none;
    QString lastDevice;
    const QVector<int>* fieldOf = &none;
    HistoryRow row;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        row.machineNo = Text(stmt, 0);
        row.recordNo = Text(stmt, 1);
        row.date = Text(stmt, 2);
        row.time = Text(stmt, 3);
        row.path = Text(stmt, kRawPath);
        if (!layout.unionSources.isEmpty() && (fieldOf == &none || row.machineNo != lastDevice)) {
            lastDevice = row.machineNo;
            const auto it = layout.unionFields.constFind(row.machineNo);
            fieldOf = it == layout.unionFields.constEnd() ? &none : &it.value();
        }
        row.cells.clear();
        row.cells.reserve(source.size());
        for (int s : source) {
            if (s < 0) {
                const int u = -s - 1;
                const int field = u < fieldOf->size() ? (*fieldOf)[u] : 0;
                row.cells << (field > 0 ? Text(stmt, kRawField1 + field - 1) : QString(""));
            } else if (s == 0) {
                row.cells << row.machineNo;
            } else if (s == 1) {
                row.cells << row.recordNo;
            } else if (s == 2) {
                row.cells << row.date;
            } else if (s == 3) {
                row.cells << row.time;
            } else if (s == 4) {
                const QString stored = Text(stmt, 4);
                QString shown = stored;
                for (int m = 0; m < 4; ++m)
                    if (stored == QLatin1String(kStoredModes[m]))
                        shown = layout.modeTexts[m];
                row.cells << shown;
            } else {
                row.cells << Text(stmt, s);
            }
        }
        if (!sink(row))
            break;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        Connection::Fail(error, db.Message(rc));
        return false;
    }
    return true;
}

bool CLocalRecordSource::Count(const HistoryFilter& filter, qint64& count, QString* error) {
    count = 0;
    Layout layout;
    if (!LoadLayout(filter, layout, error))
        return false;
    const Sql searchArgs = layout.SearchArgs();
    Sql field;
    if (!layout.FieldOf(filter, field, error))
        return false;
    Sql sql;
    sql.Add("SELECT count(*) FROM ValueInfo");
    if (!WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), sql, error))
        return false;
    Connection db;
    if (!db.Open(DatabasePath(), error, &m_interrupt))
        return false;
    if (!db.HasValues())
        return true;
    db.SetSearch(filter.search);
    sqlite3_stmt* stmt = db.Prepare(sql.text, error, sql.binds);
    if (!stmt)
        return false;
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        count = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) {
        Connection::Fail(error, db.Message(rc));
        return false;
    }
    m_countKey = FilterKey(filter);
    m_count = count;
    return true;
}

bool CLocalRecordSource::Fetch(const HistoryFilter& filter, const HistorySort& sort, qint64 offset,
                               int limit, QVector<HistoryRow>& rows, QString* error) {
    rows.clear();
    if (offset < 0 || limit <= 0)
        return true;
    // A page in the second half of a long list is read from its end: SQLite steps over the
    // rows before an offset one by one, so the last page is as quick as the first.
    const bool fromEnd = m_count > 0 && offset > m_count / 2 && m_countKey == FilterKey(filter);
    qint64 runOffset = offset;
    qint64 runLimit = limit;
    if (fromEnd) {
        if (offset >= m_count)
            return true;
        runLimit = qMin<qint64>(limit, m_count - offset);
        runOffset = m_count - offset - runLimit;
    }
    rows.reserve(int(runLimit));
    const bool ok = Run(
        filter, sort, runOffset, runLimit, fromEnd,
        [&rows](const HistoryRow& row) {
            rows.append(row);
            return true;
        },
        error);
    if (!ok)
        rows.clear();
    else if (fromEnd)
        std::reverse(rows.begin(), rows.end());
    return ok;
}

bool CLocalRecordSource::Stream(const HistoryFilter& filter, const HistorySort& sort,
                                const std::function<bool(const HistoryRow&)>& sink,
                                QString* error) {
    return Run(filter, sort, 0, -1, false, sink, error);
}

void CLocalRecordSource::SetInterrupt(std::function<bool()> stop) {
    m_interrupt = std::move(stop);
}

QByteArray CLocalRecordSource::Picture(const HistoryRow& row) {
    // A Path that would leave the picture folder names no picture.
    const QString path = ResolvePicturePath(GetPicFolder(), row.path);
    if (path.isEmpty())
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

namespace {

// One group and unit being added up.
struct StatsAcc {
    StatsRow row;
    QByteArray group, unit; // as read ("" for a missing value)
    bool numeric = false;   // the group is a number (weekday, bin): ordered as one
    qint64 number = 0;
    double thresholds[2] = {0, 0};
    bool hasThreshold[2] = {false, false};
    QVector<double> results; // the group's results, for its median
};

// Threshold k of a unit as the statements' "CASE lower(trim(Test_Unit)) WHEN ..." picks it:
// the first unit of the limits with that many thresholds, written alike but for the case of
// A-Z (SQLite's lower()).
bool ThresholdOf(const CLimits& limits, const QByteArray& unit, int k, double& out) {
    QByteArray lower = unit;
    for (char& c : lower)
        c = LowerAscii(c);
    for (const UnitLimits& u : limits.Units())
        if (k < u.thresholds.size() && u.unit.toLower().toUtf8() == lower) {
            out = u.thresholds[k];
            return true;
        }
    return false;
}

} // namespace

bool CLocalRecordSource::Stats(const HistoryFilter& filter, const StatsRequest& request,
                               QVector<StatsRow>& rows, QString* error, bool* noColumn) {
    rows.clear();
    if (noColumn)
        *noColumn = false;
    Layout layout;
    if (!LoadLayout(filter, layout, error))
        return false;
    const Sql searchArgs = layout.SearchArgs();

    // The group of a row as SQLite gives it, or (week, weekday, weekday-hour, bin) what this
    // function derives it from: the date (and the hour), the result.
    Sql group;
    switch (request.by) {
    case StatsBy::Day:
    case StatsBy::Week:
    case StatsBy::Weekday:
        group.Add("Date_Date");
        break;
    case StatsBy::Month:
        group.Add("substr(Date_Date,1,7)");
        break;
    case StatsBy::Hour:
        group.Add("substr(Time_Time,1,2)");
        break;
    case StatsBy::Device:
        group.Add("Machine_NO");
        break;
    case StatsBy::Mode:
        group.Add("Test_Mode");
        break;
    case StatsBy::Field: {
        const int found = layout.Find(request.field);
        if (found < 0) {
            if (noColumn)
                *noColumn = true;
            Connection::Fail(error, QStringLiteral("no column \"%1\"; the columns are: %2")
                                        .arg(request.field, layout.Headings()));
            return false;
        }
        group.Add("coalesce(").Add(layout.Expression(layout.columns[found])).Add(",'')");
        break;
    }
    case StatsBy::Bin:
        if (!(request.binWidth > 0)) {
            Connection::Fail(error, QStringLiteral("no bin width"));
            return false;
        }
        group.Add("NULL");
        break;
    case StatsBy::HourWeekday:
        group.Add("Date_Date");
        break;
    }

    // One pass over the selected rows in stored order, no sort: the group, unit, mode and
    // result of each; the counts add up per group and unit here, and each group's results
    // (8 bytes a result, no more of a row) give its median at the end.
    Sql sql;
    sql.Add("SELECT ").Add(group).Add(",trim(coalesce(Test_Unit,'')),Test_Mode,Test_Result,");
    sql.Add(request.by == StatsBy::HourWeekday ? "substr(Time_Time,1,2)" : "NULL")
        .Add(" FROM ValueInfo");
    Sql field;
    if (!layout.FieldOf(filter, field, error) ||
        !WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), sql, error))
        return false;

    Connection db;
    if (!db.Open(DatabasePath(), error, &m_interrupt))
        return false;
    if (!db.HasValues())
        return true;
    db.SetSearch(filter.search);
    sqlite3_stmt* stmt = db.Prepare(sql.text, error, sql.binds);
    if (!stmt)
        return false;
    // The weekday (1 Monday .. 7 Sunday) and the Monday of a date as SQLite's date functions
    // read it (NULL for a text that is no date), asked once per date.
    const bool byDate = request.by == StatsBy::Week || request.by == StatsBy::Weekday ||
                        request.by == StatsBy::HourWeekday;
    sqlite3_stmt* dateStmt =
        byDate ? db.Prepare("SELECT ((CAST(strftime('%w',?1) AS INTEGER)+6)%7+1),date(?1,'-'||"
                            "((CAST(strftime('%w',?1) AS INTEGER)+6)%7)||' days')",
                            error)
               : nullptr;
    if (byDate && !dateStmt) {
        sqlite3_finalize(stmt);
        return false;
    }
    QHash<QByteArray, QPair<QByteArray, QByteArray>> dates; // date -> weekday, Monday
    auto dateGroups = [&](const QByteArray& date) -> QPair<QByteArray, QByteArray> {
        auto it = dates.constFind(date);
        if (it != dates.constEnd())
            return it.value();
        sqlite3_bind_text(dateStmt, 1, date.constData(), int(date.size()), SQLITE_TRANSIENT);
        QPair<QByteArray, QByteArray> value;
        if (sqlite3_step(dateStmt) == SQLITE_ROW) {
            const char* w = reinterpret_cast<const char*>(sqlite3_column_text(dateStmt, 0));
            const char* m = reinterpret_cast<const char*>(sqlite3_column_text(dateStmt, 1));
            value = {w ? QByteArray(w) : QByteArray(), m ? QByteArray(m) : QByteArray()};
        }
        sqlite3_reset(dateStmt);
        dates.insert(QByteArray(date.constData(), date.size()), value);
        return value;
    };

    static const QByteArray modeNames[4] = {"Auto", "Manual", "Refuse", "Discontinued"};
    const bool numericGroup = request.by == StatsBy::Weekday || request.by == StatsBy::Bin;
    std::vector<StatsAcc> accs;
    QHash<QByteArray, int> find; // length-prefixed group, then unit -> accs index
    int last = -1;               // the index of the previous row's group and unit
    QByteArray key;
    constexpr int kRecent = 8;
    int recent[kRecent] = {-1, -1, -1, -1, -1, -1, -1, -1};
    auto bytes = [stmt](int column) {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        return QByteArray::fromRawData(text ? text : "", sqlite3_column_bytes(stmt, column));
    };
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        // The result as a number, as brtx_num reads it.
        double value = 0;
        bool number = false;
        switch (sqlite3_column_type(stmt, 3)) {
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            value = sqlite3_column_double(stmt, 3);
            number = true;
            break;
        case SQLITE_TEXT: {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
            number = text && ParseNumber(text, sqlite3_column_bytes(stmt, 3), value);
            break;
        }
        default:
            break;
        }
        QByteArray g = bytes(0);
        if (request.by == StatsBy::Bin) {
            g = number ? QByteArray::number(StatsBin(value, request.binWidth)) : QByteArray();
        } else if (byDate) {
            const QPair<QByteArray, QByteArray> d = dateGroups(g);
            if (request.by == StatsBy::Week)
                g = d.second;
            else if (request.by == StatsBy::Weekday)
                g = d.first;
            else // a missing date or hour gives no group, as "||" with NULL does
                g = d.first.isEmpty() || sqlite3_column_type(stmt, 4) == SQLITE_NULL
                        ? QByteArray()
                        : d.first + '-' + bytes(4);
        }
        const QByteArray u = bytes(1);
        if (last < 0 || accs[size_t(last)].group != g || accs[size_t(last)].unit != u) {
            // The groups met lately first (a few devices or modes take turns row by row),
            // then every group.
            last = -1;
            for (int i = 0; i < kRecent && recent[i] >= 0; ++i) {
                const StatsAcc& a = accs[size_t(recent[i])];
                if (a.group == g && a.unit == u) {
                    last = recent[i];
                    break;
                }
            }
            if (last < 0) {
                key.clear(); // keeps its room: no allocation per row
                const qsizetype size = g.size();
                key.append(reinterpret_cast<const char*>(&size), sizeof size).append(g).append(u);
                auto it = find.constFind(key);
                if (it != find.constEnd())
                    last = it.value();
            }
            if (last < 0) {
                StatsAcc acc;
                acc.group = QByteArray(g.constData(), g.size()); // copies: the row's text goes
                acc.unit = QByteArray(u.constData(), u.size());
                acc.numeric = numericGroup && !acc.group.isEmpty();
                acc.number = acc.numeric ? acc.group.toLongLong() : 0;
                for (int k = 0; k < 2; ++k)
                    acc.hasThreshold[k] =
                        ThresholdOf(request.limits, acc.unit, k, acc.thresholds[k]);
                accs.push_back(std::move(acc));
                last = int(accs.size()) - 1;
                find.insert(key, last);
            }
            std::move_backward(recent, recent + kRecent - 1, recent + kRecent);
            recent[0] = last;
        }
        StatsAcc& acc = accs[size_t(last)];
        ++acc.row.tests;
        const QByteArray m = bytes(2);
        for (int k = 0; k < 4; ++k)
            if (m == modeNames[k])
                ++acc.row.modes[k];
        if (number) {
            if (request.medians)
                acc.results.append(value);
            else
                acc.row.max = acc.row.results++ ? std::max(acc.row.max, value) : value;
            for (int k = 0; k < 2; ++k)
                acc.row.over[k] += acc.hasThreshold[k] && value >= acc.thresholds[k];
        }
    }
    sqlite3_finalize(stmt);
    if (dateStmt)
        sqlite3_finalize(dateStmt);
    if (rc != SQLITE_DONE) {
        Connection::Fail(error, db.Message(rc));
        return false;
    }

    // Groups in order (texts byte by byte, numbers as numbers, a missing group first), a
    // group's units together.
    std::vector<int> order(accs.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::sort(order.begin(), order.end(), [&accs](int a, int b) {
        const StatsAcc& x = accs[size_t(a)];
        const StatsAcc& y = accs[size_t(b)];
        if (x.numeric != y.numeric)
            return !x.numeric; // the missing group ("") first
        if (x.numeric && x.number != y.number)
            return x.number < y.number;
        if (!x.numeric && x.group != y.group)
            return x.group < y.group;
        return x.unit < y.unit;
    });
    rows.reserve(int(order.size()));
    for (int i : order) {
        StatsAcc& acc = accs[size_t(i)];
        StatsRow row = acc.row;
        row.group = QString::fromUtf8(acc.group);
        if (request.by == StatsBy::Weekday && !row.group.isEmpty())
            row.group = QLocale::c().dayName(row.group.toInt());
        row.unit = QString::fromUtf8(acc.unit);
        std::sort(acc.results.begin(), acc.results.end());
        const qsizetype c = acc.results.size();
        if (request.medians)
            row.results = c;
        if (c > 0) {
            double sum = 0;
            for (double v : acc.results)
                sum += v;
            row.mean = sum / double(c);
            row.max = acc.results.last();
            row.median = (acc.results[(c - 1) / 2] + acc.results[c / 2]) / 2;
        }
        acc.results = QVector<double>();
        rows.append(row);
    }
    return true;
}
