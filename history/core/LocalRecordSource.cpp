#include "history/core/LocalRecordSource.h"

#include "base/Paths.h"
#include "history/core/CalibrationStates.h"
#include "store/SQLite.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr int kFixedColumns = 7;
constexpr int kFields = 20;

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

// An argument as a number: integers and reals as they are, a text when it reads as one.
bool NumberArg(const SQLite::FunctionArgs& args, int i, double& out) {
    using Type = SQLite::FunctionArgs::Type;
    switch (args.TypeOf(i)) {
    case Type::Integer:
    case Type::Float:
        out = args.Double(i);
        return true;
    case Type::Text: {
        const QByteArrayView text = args.Text(i);
        return !text.isNull() && ParseNumber(text.data(), int(text.size()), out);
    }
    default:
        return false;
    }
}

void NumberFunction(const SQLite::FunctionArgs& args, SQLite::FunctionResult& result) {
    double value = 0;
    if (NumberArg(args, 0, value))
        result.SetDouble(value);
    else
        result.SetNull();
}

// brtx_bin(x, width): the bin of x as a number (StatsBin), NULL when x is no number.
void BinFunction(const SQLite::FunctionArgs& args, SQLite::FunctionResult& result) {
    double value = 0;
    const bool number = NumberArg(args, 0, value);
    const double width = args.Double(1);
    if (number && width > 0)
        result.SetInteger(StatsBin(value, width));
    else
        result.SetNull();
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

bool Finds(const Needle& needle, const SQLite::FunctionArgs& args) {
    for (int a = 0; a < args.Count(); ++a) {
        const QByteArrayView text = args.Text(a);
        if (text.isNull())
            continue;
        const int n = int(text.size());
        if (IsAscii(reinterpret_cast<const unsigned char*>(text.data()), n)) {
            // Folded ASCII stays ASCII: only an ASCII search text can match.
            if (!needle.ascii.isEmpty() && ContainsAscii(text.data(), n, needle.ascii))
                return true;
            continue;
        }
        if (QString::fromUtf8(text).toCaseFolded().contains(needle.folded))
            return true;
    }
    return false;
}

// COLLATE brtx_locale: the user's locale order for text columns.
int LocaleCollation(const QCollator& collator, QByteArrayView a, QByteArrayView b) {
    if (a == b)
        return 0;
    return collator.compare(QString::fromUtf8(a), QString::fromUtf8(b));
}

// ---------------------------------------------------------------------------------------
// One read-only connection for one call.

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
        const int rc = m_db.Open(path, SQLite::Database::Access::ReadOnly, true);
        if (rc != 0) {
            Fail(
                error,
                QStringLiteral("cannot open the database %1: %2").arg(path, SQLite::ErrorText(rc)));
            return false;
        }
        if (stop && *stop)
            m_db.SetInterrupt(*stop);
        m_db.CreateFunction("brtx_num", 1, NumberFunction);
        m_db.CreateFunction("brtx_bin", 2, BinFunction);
        m_db.CreateCollation("brtx_locale", [collator = std::make_shared<QCollator>()](
                                                QByteArrayView a, QByteArrayView b) {
            return LocaleCollation(*collator, a, b);
        });
        m_path = path;
        // A damaged file shows here: reading its schema fails.
        auto stmt = Prepare("SELECT name FROM sqlite_master WHERE type='table'", error);
        if (!stmt)
            return false;
        while (stmt->Next()) {
            const QByteArrayView name = stmt->Bytes(0);
            if (name == "ValueInfo")
                m_hasValues = true;
            if (name == "TitleInfo")
                m_hasTitles = true;
            if (name == "InstrumentLog")
                m_hasLog = true;
        }
        if (stmt->Failed()) {
            Fail(error, Message());
            return false;
        }
        return true;
    }

    void SetSearch(const QString& search) {
        m_needle.folded = search.toCaseFolded();
        const QByteArray utf8 = m_needle.folded.toUtf8();
        m_needle.ascii =
            IsAscii(reinterpret_cast<const unsigned char*>(utf8.constData()), int(utf8.size()))
                ? utf8
                : QByteArray();
        const Needle* needle = &m_needle;
        m_db.CreateFunction(
            "brtx_find", -1,
            [needle](const SQLite::FunctionArgs& args, SQLite::FunctionResult& result) {
                result.SetInteger(Finds(*needle, args) ? 1 : 0);
            });
    }

    // The statement with its values bound, or nullptr with *error.
    std::unique_ptr<SQLite::Query> Prepare(const QString& text, QString* error,
                                           const QVector<Bind>& binds = {}) {
        auto stmt = std::make_unique<SQLite::Query>(m_db, text.toUtf8());
        if (!stmt->ok()) {
            Fail(error, Message());
            return nullptr;
        }
        for (int i = 0; i < binds.size(); ++i) {
            const Bind& b = binds[i];
            if (b.real)
                stmt->BindDouble(i + 1, b.number);
            else
                stmt->BindText(i + 1, b.text);
        }
        return stmt;
    }

    QString Message() const {
        return QStringLiteral("cannot read the database %1: %2").arg(m_path, m_db.ErrorMessage());
    }

    static void Fail(QString* error, const QString& text) {
        if (error)
            *error = text;
    }

    bool HasValues() const { return m_hasValues; }
    bool HasTitles() const { return m_hasTitles; }
    bool HasLog() const { return m_hasLog; } // the instruments' logs are kept
    SQLite::Database& Database() { return m_db; }

private:
    Needle m_needle; // before the connection: its function points here until it closes
    SQLite::Database m_db;
    QString m_path;
    bool m_hasValues = false;
    bool m_hasTitles = false;
    bool m_hasLog = false;
};

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
    auto stmt = db.Prepare(parts.join(QStringLiteral(" UNION ")) + " ORDER BY 1", error);
    if (!stmt)
        return false;
    while (stmt->Next())
        devices << stmt->Text(0);
    if (stmt->Failed()) {
        Connection::Fail(error, db.Message());
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
            auto stmt = db.Prepare(text, error, binds);
            if (!stmt)
                return false;
            while (stmt->Next()) {
                QStringList titles;
                for (int k = 1; k <= kFields; ++k)
                    titles << stmt->Text(k).left(CHistoryQuery::kTitleChars);
                titled.append({stmt->Text(0), titles});
            }
            if (stmt->Failed()) {
                Connection::Fail(error, db.Message());
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
    auto stmt = db.Prepare(st.sql.text, error, st.sql.binds);
    if (!stmt)
        return false;
    const int n = int(st.sql.binds.size());
    stmt->BindInt64(n - 1, limit).BindInt64(n, offset);

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
    // The calibration column: worked out from the devices' logs, read once per device.
    std::unique_ptr<CCalibrationStates> calibration;
    if (db.HasLog())
        calibration = std::make_unique<CCalibrationStates>(db.Database(), m_texts);
    const QString unknown = CCalibrationStates::UnknownText(m_texts);
    const QVector<int> none;
    QString lastDevice;
    const QVector<int>* fieldOf = &none;
    HistoryRow row;
    while (stmt->Next()) {
        row.machineNo = stmt->Text(0);
        row.recordNo = stmt->Text(1);
        row.date = stmt->Text(2);
        row.time = stmt->Text(3);
        row.path = stmt->Text(kRawPath);
        row.calibration =
            calibration ? calibration->Text(row.machineNo, row.date, row.time) : unknown;
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
                row.cells << (field > 0 ? stmt->Text(kRawField1 + field - 1) : QString(""));
            } else if (s == 0) {
                row.cells << row.machineNo;
            } else if (s == 1) {
                row.cells << row.recordNo;
            } else if (s == 2) {
                row.cells << row.date;
            } else if (s == 3) {
                row.cells << row.time;
            } else if (s == 4) {
                const QString stored = stmt->Text(4);
                QString shown = stored;
                for (int m = 0; m < 4; ++m)
                    if (stored == QLatin1String(kStoredModes[m]))
                        shown = layout.modeTexts[m];
                row.cells << shown;
            } else {
                row.cells << stmt->Text(s);
            }
        }
        if (!sink(row))
            break;
    }
    if (stmt->Failed()) {
        Connection::Fail(error, db.Message());
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
    auto stmt = db.Prepare(sql.text, error, sql.binds);
    if (!stmt)
        return false;
    const bool counted = stmt->Next();
    if (counted)
        count = stmt->Int64(0);
    if (!counted) {
        Connection::Fail(error, db.Message());
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

bool CLocalRecordSource::Stats(const HistoryFilter& filter, const StatsRequest& request,
                               QVector<StatsRow>& rows, QString* error, bool* noColumn) {
    rows.clear();
    if (noColumn)
        *noColumn = false;
    Layout layout;
    if (!LoadLayout(filter, layout, error))
        return false;
    const Sql searchArgs = layout.SearchArgs();

    // The group of a row.
    Sql group;
    switch (request.by) {
    case StatsBy::Day:
        group.Add("Date_Date");
        break;
    case StatsBy::Week: // the Monday of the week
        group.Add("date(Date_Date,'-'||((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7)||' "
                  "days')");
        break;
    case StatsBy::Month:
        group.Add("substr(Date_Date,1,7)");
        break;
    case StatsBy::Hour:
        group.Add("substr(Time_Time,1,2)");
        break;
    case StatsBy::Weekday: // 1 Monday .. 7 Sunday
        group.Add("((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7+1)");
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
        group.Add("brtx_bin(Test_Result,").AddNumber(request.binWidth).Add(")");
        break;
    case StatsBy::HourWeekday:
        group.Add(
            "((CAST(strftime('%w',Date_Date) AS INTEGER)+6)%7+1)||'-'||substr(Time_Time,1,2)");
        break;
    }

    // Each row with its group, unit, mode, result as a number and its unit's thresholds.
    Sql inner;
    inner.Add("SELECT ").Add(group).Add(" AS g,trim(coalesce(Test_Unit,'')) AS u,Test_Mode AS m,"
                                        "brtx_num(Test_Result) AS n");
    for (int k = 0; k < 2; ++k) {
        Sql t;
        t.Add("(CASE lower(trim(Test_Unit))");
        bool any = false;
        for (const UnitLimits& u : request.limits.Units()) {
            if (k >= u.thresholds.size())
                continue;
            t.Add(" WHEN ").AddText(u.unit.toLower()).Add(" THEN ").AddNumber(u.thresholds[k]);
            any = true;
        }
        t.Add(" ELSE NULL END)");
        if (any)
            inner.Add(",").Add(t).Add(QStringLiteral(" AS t%1").arg(k + 1));
        else
            inner.Add(QStringLiteral(",NULL AS t%1").arg(k + 1));
    }
    inner.Add(" FROM ValueInfo");
    Sql field;
    if (!layout.FieldOf(filter, field, error) ||
        !WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), inner, error))
        return false;

    // One pass: every selected row with its group, unit, mode and result, sorted by group,
    // unit and result (SQLite's sorter holds them, not this program); the counts add up while
    // the rows pass, and a group's results, already in order, give its median when the group
    // ends (only that group's numbers are held).
    Sql rowsSql;
    rowsSql.Add("SELECT g,u,m,n,n>=t1,n>=t2 FROM (").Add(inner).Add(") ORDER BY g,u,n");

    Connection db;
    if (!db.Open(DatabasePath(), error, &m_interrupt))
        return false;
    if (!db.HasValues())
        return true;
    db.SetSearch(filter.search);
    auto stmt = db.Prepare(rowsSql.text, error, rowsSql.binds);
    if (!stmt)
        return false;
    static const QByteArray modeNames[4] = {"Auto", "Manual", "Refuse", "Discontinued"};
    QByteArray curGroup, curUnit; // of the row being added up (a missing group reads "")
    bool open = false;            // rows.last() is being added up
    QVector<double> results;
    double sum = 0;
    auto finish = [&] {
        if (!open)
            return;
        StatsRow& row = rows.last();
        const qsizetype c = results.size();
        row.results = c;
        if (c > 0) {
            row.mean = sum / double(c);
            row.max = results.last();
            row.median = (results[(c - 1) / 2] + results[c / 2]) / 2;
        }
        results.clear();
        sum = 0;
    };
    auto bytes = [&stmt](int column) {
        const QByteArrayView text = stmt->Bytes(column);
        return QByteArray::fromRawData(text.data(), text.size());
    };
    while (stmt->Next()) {
        const QByteArray g = bytes(0), u = bytes(1);
        if (!open || g != curGroup || u != curUnit) {
            finish();
            curGroup = QByteArray(g.constData(), g.size()); // a copy: the row's text goes
            curUnit = QByteArray(u.constData(), u.size());
            StatsRow row;
            row.group = QString::fromUtf8(curGroup);
            if (request.by == StatsBy::Weekday && !row.group.isEmpty())
                row.group = QLocale::c().dayName(row.group.toInt());
            row.unit = QString::fromUtf8(curUnit);
            rows.append(row);
            open = true;
        }
        StatsRow& row = rows.last();
        ++row.tests;
        const QByteArray m = bytes(2);
        for (int k = 0; k < 4; ++k)
            if (m == modeNames[k])
                ++row.modes[k];
        if (!stmt->IsNull(3)) {
            const double v = stmt->Double(3);
            results.append(v);
            sum += v;
            row.over[0] += stmt->Int64(4);
            row.over[1] += stmt->Int64(5);
        }
    }
    finish();
    if (stmt->Failed()) {
        Connection::Fail(error, db.Message());
        rows.clear();
        return false;
    }
    return true;
}
