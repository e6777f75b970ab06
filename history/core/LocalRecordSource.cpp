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

// A function's argument or a row's cell as a number: integers and reals as they are, a text
// when it reads as one.
QByteArrayView TextOf(const SQLite::FunctionArgs& args, int i) {
    return args.Text(i);
}
QByteArrayView TextOf(const SQLite::Query& row, int i) {
    return row.Bytes(i);
}
template <class Cells> bool NumberCell(const Cells& cells, int i, double& out) {
    using Type = SQLite::FunctionArgs::Type;
    switch (cells.TypeOf(i)) {
    case Type::Integer:
    case Type::Float:
        out = cells.Double(i);
        return true;
    case Type::Text: {
        const QByteArrayView text = TextOf(cells, i);
        return ParseNumber(text.data(), int(text.size()), out);
    }
    default:
        return false;
    }
}

void NumberFunction(const SQLite::FunctionArgs& args, SQLite::FunctionResult& result) {
    double value = 0;
    if (NumberCell(args, 0, value))
        result.SetDouble(value);
    else
        result.SetNull();
}

// brtx_bin(x, width): the bin of x as a number (StatsBin), NULL when x is no number.
void BinFunction(const SQLite::FunctionArgs& args, SQLite::FunctionResult& result) {
    double value = 0;
    const bool number = NumberCell(args, 0, value);
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
        auto stmt = Prepare("SELECT name,type FROM sqlite_master WHERE type='table' OR "
                            "(type='index' AND tbl_name='ValueInfo')",
                            error);
        if (!stmt)
            return false;
        while (stmt->Next()) {
            const QByteArrayView name = stmt->Bytes(0);
            if (stmt->Bytes(1) == "index") {
                if (name == "ValueInfo_Record")
                    m_hasRecordIndex = true;
                continue;
            }
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

    // A read of the selected records: the database opened, the search's words set and sql
    // prepared. False on a failure (with *error); true with a null *stmt when there is no
    // records table yet (nothing to read).
    bool Select(const QString& path, const std::function<bool()>* stop, const QString& search,
                const Sql& sql, std::unique_ptr<SQLite::Query>* stmt, QString* error) {
        stmt->reset();
        if (!Open(path, error, stop))
            return false;
        if (!HasValues())
            return true;
        SetSearch(search);
        *stmt = Prepare(sql.text, error, sql.binds);
        return *stmt != nullptr;
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
    // The (device, record, date, time) index of the records exists: a file that could not
    // take it lacks it.
    bool HasRecordIndex() const { return m_hasRecordIndex; }

    // A read transaction: the statements between Begin and its end see one state of the file.
    // It ends when the connection closes.
    bool Begin(QString* error) {
        if (m_db.ExecuteSQL(QStringLiteral("BEGIN")) == 0)
            return true;
        Fail(error, Message());
        return false;
    }
    SQLite::Database& Database() { return m_db; }

private:
    Needle m_needle; // before the connection: its function points here until it closes
    SQLite::Database m_db;
    QString m_path;
    bool m_hasValues = false;
    bool m_hasTitles = false;
    bool m_hasLog = false;
    bool m_hasRecordIndex = false;
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
    // When the filter and the order need only the columns of the (device, record) index: the
    // same selection and order as sql giving only each row's rowid, read from that index
    // alone, and the statement reading one row by its rowid. Sorting the index's small
    // entries and then reading the rows in that order is far cheaper than sorting whole rows.
    Sql keys;
    QString byRowid;
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
// deviceRange: the device asked as a range of one (see below).
bool WhereClause(const HistoryFilter& filter, const Sql& searchArgs, const Sql& field,
                 const CLimits& limits, Sql& where, QString* error, bool recordOrder = false,
                 bool deviceRange = false) {
    if (filter.minResult && filter.maxResult && *filter.minResult > *filter.maxResult) {
        if (error)
            *error = QStringLiteral("the minimum result is above the maximum");
        return false;
    }
    const char* date = recordOrder ? "+Date_Date" : "Date_Date";
    where.Add(QStringLiteral(" WHERE %1>=").arg(QLatin1String(date))).AddText(filter.startDate);
    where.Add(QStringLiteral(" AND %1<=").arg(QLatin1String(date))).AddText(filter.endDate);
    // Read by the (device, record) index in record order, the device is a range of one:
    // SQLite then reads the index from the newest record down, and its top rows for the page
    // are found at once instead of each later row displacing an earlier one (half the time
    // for a device of 333,333 records).
    if (!filter.allDevices && deviceRange)
        where.Add(" AND Machine_NO>=")
            .AddText(filter.device)
            .Add(" AND Machine_NO<=")
            .AddText(filter.device);
    else if (!filter.allDevices)
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
    select += QStringLiteral(",GPS,Path FROM ValueInfo");
    // Record number orders over a filter of devices, dates and times: keys first (see
    // Statement).
    const bool recordSort =
        sort.IsDefault() || (layout.columns[sort.column].kind == HistoryColumn::Fixed &&
                             layout.columns[sort.column].index == 1);
    const bool keysFilter = filter.mode == TestModeFilter::Any && !filter.minResult &&
                            !filter.maxResult && filter.search.isEmpty() && filter.overLimit <= 0 &&
                            filter.unit.isEmpty() && filter.binWidth <= 0 && !filter.fieldValue;
    Sql where;
    if (!WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), where, error,
                     sort.IsDefault(), sort.IsDefault() && keysFilter))
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
    Sql order;
    order.Add(" ORDER BY ");
    for (int i = 0; i < terms.size(); ++i) {
        if (i)
            order.Add(",");
        order.Add(terms[i].key).Add(terms[i].descending != reversed ? " DESC" : "");
    }
    sql.Add(select).Add(where).Add(order);

    if (recordSort && keysFilter) {
        st.keys.Add("SELECT rowid FROM ValueInfo INDEXED BY ValueInfo_Record")
            .Add(where)
            .Add(order);
        st.byRowid = select + QStringLiteral(" WHERE rowid=?");
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
    Connection db;
    if (!db.Open(DatabasePath(), error, &m_interrupt))
        return false;
    if (!db.HasValues())
        return true; // no records table yet: nothing to read
    db.SetSearch(filter.search);
    // A page of rows: keys first. Every row (limit -1): one statement, whose sort of whole
    // rows costs less than reading each row by itself.
    const bool byKeys = limit >= 0 && !st.keys.text.isEmpty() && db.HasRecordIndex();
    Sql& select = byKeys ? st.keys : st.sql;
    select.Add(" LIMIT ").AddNumber(double(limit)).Add(" OFFSET ").AddNumber(double(offset));
    // Limits are bound as integers below; AddNumber keeps the placeholder order.
    std::unique_ptr<SQLite::Query> stmt = db.Prepare(select.text, error, select.binds);
    if (!stmt)
        return false;
    const int n = int(select.binds.size());
    stmt->BindInt64(n - 1, limit).BindInt64(n, offset);
    // Keys first: the key statement's rowids, then one read per row, both in one transaction
    // so that the rows are those the keys were taken from while another process writes.
    SQLite::Query* rows = stmt.get();
    std::unique_ptr<SQLite::Query> byRowid;
    std::vector<qint64> keys;
    if (byKeys) {
        byRowid = db.Prepare(st.byRowid, error);
        if (!byRowid || !db.Begin(error))
            return false;
        while (stmt->Next())
            keys.push_back(stmt->Int64(0));
        if (stmt->Failed()) {
            Connection::Fail(error, db.Message());
            return false;
        }
        rows = byRowid.get();
    }
    size_t nextKey = 0;
    bool missing = false;
    auto next = [&]() {
        if (!byKeys)
            return rows->Next();
        if (nextKey == keys.size())
            return false;
        rows->Reset().BindInt64(1, keys[nextKey++]);
        if (rows->Next())
            return true;
        missing = !rows->Failed();
        return false;
    };

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
    while (next()) {
        row.machineNo = rows->Text(0);
        row.recordNo = rows->Text(1);
        row.date = rows->Text(2);
        row.time = rows->Text(3);
        row.path = rows->Text(kRawPath);
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
                row.cells << (field > 0 ? rows->Text(kRawField1 + field - 1) : QString(""));
            } else if (s == 0) {
                row.cells << row.machineNo;
            } else if (s == 1) {
                row.cells << row.recordNo;
            } else if (s == 2) {
                row.cells << row.date;
            } else if (s == 3) {
                row.cells << row.time;
            } else if (s == 4) {
                const QString stored = rows->Text(4);
                QString shown = stored;
                for (int m = 0; m < 4; ++m)
                    if (stored == QLatin1String(kStoredModes[m]))
                        shown = layout.modeTexts[m];
                row.cells << shown;
            } else {
                row.cells << rows->Text(s);
            }
        }
        if (!sink(row))
            break;
    }
    if (rows->Failed()) {
        Connection::Fail(error, db.Message());
        return false;
    }
    if (missing) { // cannot happen inside the transaction; never a row silently left out
        Connection::Fail(error, QStringLiteral("the records changed while they were read"));
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
    std::unique_ptr<SQLite::Query> stmt;
    const bool selected = db.Select(DatabasePath(), &m_interrupt, filter.search, sql, &stmt, error);
    if (!selected || !stmt)
        return selected; // a failure, or no records table yet: nothing to read
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

namespace {

// Distinct keys (a text and a small number) numbered in the order they came, each with a value,
// found by their hash without copying the row's text. A key, its hash and its value share one
// node (a short text within it, a longer one in a block of its own), so that finding a key
// and adding to its value touch a slot and a node; nodes stay where they are as more come.
template <class Value> class KeyTable {
public:
    static size_t Hash(QByteArrayView text, int tag) {
        return qHashBits(text.data(), size_t(text.size()),
                         size_t(QHashSeed::globalSeed()) ^ (size_t(tag) * 0x9E3779B97F4A7C15ull));
    }
    // The number of the key, or -1.
    int Find(QByteArrayView text, int tag, size_t hash) const {
        if (m_slots.empty())
            return -1;
        const quint32 check = Check(hash);
        for (size_t i = hash & m_mask;; i = (i + 1) & m_mask) {
            const Slot& s = m_slots[i];
            if (s.index < 0)
                return -1;
            if (s.check == check) {
                const Node& n = At(s.index);
                if (n.hash == hash && n.tag == tag && Text(n) == text)
                    return s.index;
            }
        }
    }
    // A key Find did not find; its number.
    int Add(QByteArrayView text, int tag, size_t hash) {
        if ((size_t(m_size) + 1) * 2 > m_slots.size())
            Grow();
        if ((m_size & (kChunk - 1)) == 0)
            m_chunks.push_back(std::make_unique<Node[]>(kChunk));
        Node& n = At(m_size);
        n.hash = hash;
        n.size = size_t(text.size());
        n.tag = tag;
        if (n.size <= sizeof n.key.bytes) {
            std::copy(text.begin(), text.end(), n.key.bytes);
        } else {
            n.key.at = m_long.size();
            m_long.append(text.data(), n.size);
        }
        Place(hash, m_size);
        return m_size++;
    }
    // Starts bringing a key's slot into the cache, then (once its slot is there) its node.
    void PrefetchSlot(size_t hash) const {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[hash & m_mask]);
    }
    void PrefetchNode(size_t hash) const {
        if (m_slots.empty())
            return;
        const Slot& s = m_slots[hash & m_mask];
        if (s.index >= 0 && s.check == Check(hash))
            __builtin_prefetch(&At(s.index));
    }
    QByteArrayView Text(int i) const { return Text(At(i)); }
    int Tag(int i) const { return At(i).tag; }
    Value& operator[](int i) { return At(i).value; }
    const Value& operator[](int i) const { return At(i).value; }
    int Size() const { return m_size; }

private:
    static constexpr int kChunk = 1024; // nodes a block
    struct alignas(64) Node {
        size_t hash = 0;
        size_t size = 0; // of the text
        int tag = 0;
        union {
            char bytes[16]; // a text of up to 16 bytes
            size_t at;      // else where in m_long
        } key = {};
        Value value = {};
    };
    struct Slot {
        quint32 check = 0; // more bits of the hash: most other keys fail here
        int index = -1;    // -1: free
    };
    static quint32 Check(size_t hash) { return quint32(quint64(hash) >> 32); }
    Node& At(int i) { return m_chunks[size_t(i) / kChunk][size_t(i) % kChunk]; }
    const Node& At(int i) const { return m_chunks[size_t(i) / kChunk][size_t(i) % kChunk]; }
    QByteArrayView Text(const Node& n) const {
        return n.size <= sizeof n.key.bytes
                   ? QByteArrayView(n.key.bytes, qsizetype(n.size))
                   : QByteArrayView(m_long.data() + n.key.at, qsizetype(n.size));
    }
    void Place(size_t hash, int index) {
        size_t i = hash & m_mask;
        while (m_slots[i].index >= 0)
            i = (i + 1) & m_mask;
        m_slots[i] = {Check(hash), index};
    }
    void Grow() {
        m_slots.assign(std::max<size_t>(64, m_slots.size() * 2), Slot());
        m_mask = m_slots.size() - 1;
        for (int i = 0; i < m_size; ++i)
            Place(At(i).hash, i);
    }

    std::vector<std::unique_ptr<Node[]>> m_chunks;
    int m_size = 0;
    std::vector<Slot> m_slots; // a power of two, at most half used
    size_t m_mask = 0;
    std::string m_long; // the texts longer than a node holds
};

// SQLite's trim(x) of a cell's text: without the spaces (only ' ') at either end.
QByteArrayView TrimSpaces(QByteArrayView text) {
    qsizetype from = 0, to = text.size();
    while (from < to && text[from] == ' ')
        ++from;
    while (to > from && text[to - 1] == ' ')
        --to;
    return text.sliced(from, to - from);
}

// SQLite's substr(x,1,n) of a cell: false for NULL; else its first n characters as SQLite
// counts them in a text (a byte from 0xC0 up takes the bytes 0x80..0xBF after it; a NUL byte
// ends the text), its first n bytes when it is a blob.
bool Leading(const SQLite::Query& row, int c, int n, QByteArrayView& out) {
    using Type = SQLite::FunctionArgs::Type;
    const Type type = row.TypeOf(c); // before Bytes, which may convert the cell
    if (type == Type::Null)
        return false;
    const QByteArrayView bytes = row.Bytes(c);
    if (type == Type::Blob) {
        out = bytes.first(std::min<qsizetype>(n, bytes.size()));
        return true;
    }
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = begin + bytes.size();
    const unsigned char* p = begin;
    for (; n > 0 && p < end && *p; --n)
        if (*p++ >= 0xC0)
            while (p < end && (*p & 0xC0) == 0x80)
                ++p;
    out = bytes.first(p - begin);
    return true;
}

// A unit's thresholds.
struct StatsUnit {
    double thresholds[2] = {0, 0};
    bool has[2] = {false, false};
};

// One group and unit being added up.
struct StatsCount {
    qint64 tests = 0, modes[4] = {0, 0, 0, 0}, over[2] = {0, 0}, results = 0;
    double max = 0;
};

// Threshold k of a unit as the statements' "CASE lower(trim(Test_Unit)) WHEN ..." picks it:
// the first unit of the limits with that many thresholds, written alike but for the case of
// A-Z (SQLite's lower()).
bool ThresholdOf(const CLimits& limits, QByteArrayView unit, int k, double& out) {
    QByteArray lower = unit.toByteArray();
    for (char& c : lower)
        c = LowerAscii(c);
    for (const UnitLimits& u : limits.Units())
        if (k < u.thresholds.size() && u.unit.toLower().toUtf8() == lower) {
            out = u.thresholds[k];
            return true;
        }
    return false;
}

// The test mode's place among the stored modes, or -1.
int ModeOf(QByteArrayView mode) {
    static const QByteArrayView names[4] = {"Auto", "Manual", "Refuse", "Discontinued"};
    for (int k = 0; k < 4; ++k)
        if (mode == names[k])
            return k;
    return -1;
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

    // The group of a row as SQLite gives it, or what this function derives it from: the date
    // (week, weekday, weekday-hour), the first characters of the date or time (month, hour),
    // the result (bin). Taking those characters here rather than by substr() in the statement
    // gives the same texts for a fraction of the time.
    Sql group;
    int leading = 0; // > 0: the group is the first characters of column 0
    switch (request.by) {
    case StatsBy::Day:
    case StatsBy::Week:
    case StatsBy::Weekday:
    case StatsBy::HourWeekday:
        group.Add("Date_Date");
        break;
    case StatsBy::Month:
        group.Add("Date_Date"); // substr(Date_Date,1,7)
        leading = 7;
        break;
    case StatsBy::Hour:
        group.Add("Time_Time"); // substr(Time_Time,1,2)
        leading = 2;
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
    }

    // One pass over the selected rows in stored order, no sort: the group, unit, mode and
    // result of each (and the time for weekday-hour); the counts add up per group and unit
    // here, and each group's results (8 bytes a result, no more of a row) give its median at
    // the end. The unit is trimmed here as trim(coalesce(Test_Unit,'')) would.
    Sql sql;
    sql.Add("SELECT ").Add(group).Add(",Test_Unit,Test_Mode,Test_Result,");
    sql.Add(request.by == StatsBy::HourWeekday ? "Time_Time" : "NULL").Add(" FROM ValueInfo");
    Sql field;
    if (!layout.FieldOf(filter, field, error) ||
        !WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), sql, error))
        return false;

    Connection db;
    std::unique_ptr<SQLite::Query> stmt;
    const bool selected = db.Select(DatabasePath(), &m_interrupt, filter.search, sql, &stmt, error);
    if (!selected || !stmt)
        return selected; // a failure, or no records table yet: nothing to read
    // The weekday (1 Monday .. 7 Sunday) and the Monday of a date as SQLite's date functions
    // read it (empty for a text that is no date), asked once per date; rows of one date mostly
    // come together, so the last date is tried first.
    const bool byDate = request.by == StatsBy::Week || request.by == StatsBy::Weekday ||
                        request.by == StatsBy::HourWeekday;
    auto dateStmt =
        byDate ? db.Prepare("SELECT ((CAST(strftime('%w',?1) AS INTEGER)+6)%7+1),date(?1,'-'||"
                            "((CAST(strftime('%w',?1) AS INTEGER)+6)%7)||' days')",
                            error)
               : nullptr;
    if (byDate && !dateStmt)
        return false;
    struct DateGroups {
        QByteArray weekday, monday;
    };
    QHash<QByteArray, DateGroups> dates;
    QByteArray lastDate;
    DateGroups lastGroups;
    bool haveLast = false, dateFailed = false;
    auto dateGroups = [&](QByteArrayView date) -> const DateGroups& {
        if (haveLast && lastDate == date)
            return lastGroups;
        lastDate = date.toByteArray();
        haveLast = true;
        auto it = dates.constFind(lastDate);
        if (it != dates.constEnd()) {
            lastGroups = it.value();
            return lastGroups;
        }
        dateStmt->BindText(1, lastDate);
        lastGroups = DateGroups();
        if (dateStmt->Next()) {
            auto cell = [&dateStmt](int c) {
                return dateStmt->IsNull(c) ? QByteArray() : dateStmt->Bytes(c).toByteArray();
            };
            lastGroups = {cell(0), cell(1)};
        } else {
            dateFailed = dateStmt->Failed();
        }
        dateStmt->Reset();
        dates.insert(lastDate, lastGroups);
        return lastGroups;
    };

    const bool numericGroup = request.by == StatsBy::Weekday || request.by == StatsBy::Bin;
    KeyTable<StatsUnit> units;   // the units as read, trimmed (tag 0), with their thresholds
    KeyTable<StatsCount> groups; // the groups as read (tag: the unit's number), their counts
    std::vector<QVector<double>> results; // per group, its results for its median
    int unit = -1;                        // the previous row's unit
    std::string made;                     // a weekday-hour group, keeping its room from row to row
    char binText[24];

    // Rows are added up a batch at a time: first each row's group is hashed and its slot
    // asked for, then its node, then the counts added, so that the memory reads of a batch
    // overlap instead of each row waiting for its own (a field may have a value per record,
    // far more groups than the processor's caches hold).
    struct Pending {
        size_t hash;
        size_t at, size; // the group's text in batchText
        int unit, mode;
        bool number;
        double value;
    };
    constexpr size_t kBatch = 64;
    std::vector<Pending> batch;
    batch.reserve(kBatch);
    std::string batchText;
    auto addBatch = [&] {
        for (const Pending& p : batch)
            groups.PrefetchSlot(p.hash);
        for (const Pending& p : batch)
            groups.PrefetchNode(p.hash);
        for (const Pending& p : batch) {
            const QByteArrayView g(batchText.data() + p.at, qsizetype(p.size));
            int at = groups.Find(g, p.unit, p.hash);
            if (at < 0) {
                at = groups.Add(g, p.unit, p.hash);
                if (request.medians)
                    results.emplace_back();
            }
            StatsCount& count = groups[at];
            ++count.tests;
            if (p.mode >= 0)
                ++count.modes[p.mode];
            if (p.number) {
                if (request.medians)
                    results[size_t(at)].append(p.value);
                else
                    count.max = count.results++ ? std::max(count.max, p.value) : p.value;
                const StatsUnit& limits = units[p.unit];
                for (int k = 0; k < 2; ++k)
                    count.over[k] += limits.has[k] && p.value >= limits.thresholds[k];
            }
        }
        batch.clear();
        batchText.clear();
    };
    while (stmt->Next()) {
        // The result as a number, as brtx_num reads it.
        double value = 0;
        const bool number = NumberCell(*stmt, 3, value);
        const QByteArrayView u = TrimSpaces(stmt->Bytes(1));
        if (unit < 0 || units.Text(unit) != u) {
            const size_t hash = KeyTable<StatsUnit>::Hash(u, 0);
            unit = units.Find(u, 0, hash);
            if (unit < 0) {
                unit = units.Add(u, 0, hash);
                StatsUnit& limits = units[unit];
                for (int k = 0; k < 2; ++k)
                    limits.has[k] = ThresholdOf(request.limits, u, k, limits.thresholds[k]);
            }
        }
        QByteArrayView g; // "" for a missing group
        if (request.by == StatsBy::Bin) {
            if (number) {
                const auto end = std::to_chars(binText, binText + sizeof binText,
                                               StatsBin(value, request.binWidth));
                g = QByteArrayView(binText, end.ptr - binText);
            }
        } else if (leading > 0) {
            Leading(*stmt, 0, leading, g); // NULL: ""
        } else if (byDate) {
            const DateGroups& d = dateGroups(stmt->Bytes(0));
            QByteArrayView hour;
            if (request.by == StatsBy::Week)
                g = d.monday;
            else if (request.by == StatsBy::Weekday)
                g = d.weekday;
            else if (!d.weekday.isEmpty() && Leading(*stmt, 4, 2, hour)) {
                // A missing date or hour gives no group, as "||" with NULL does.
                made.assign(d.weekday.constData(), size_t(d.weekday.size()));
                made.append(1, '-').append(hour.data(), size_t(hour.size()));
                g = QByteArrayView(made.data(), qsizetype(made.size()));
            }
        } else {
            g = stmt->Bytes(0);
        }
        batch.push_back({KeyTable<StatsCount>::Hash(g, unit), batchText.size(), size_t(g.size()),
                         unit, ModeOf(stmt->Bytes(2)), number, value});
        batchText.append(g.data(), size_t(g.size()));
        if (batch.size() == kBatch)
            addBatch();
    }
    addBatch();
    if (stmt->Failed() || dateFailed) {
        Connection::Fail(error, db.Message());
        return false;
    }

    // Groups in order (texts byte by byte, numbers as numbers, a missing group first), a
    // group's units together. A text's first 16 bytes as two numbers (the first byte highest,
    // zeros after a shorter text) order as the bytes do, so most comparisons need not read the
    // texts themselves, spread over the table's nodes.
    struct Order {
        quint64 prefix[2];
        QByteArrayView group, unit;
        int index;
        bool numeric;
        qint64 number;
    };
    std::vector<Order> order(size_t(groups.Size()));
    for (int i = 0; i < groups.Size(); ++i) {
        Order& o = order[size_t(i)];
        o.group = groups.Text(i);
        o.unit = units.Text(groups.Tag(i));
        for (int w = 0; w < 2; ++w) {
            o.prefix[w] = 0;
            for (qsizetype b = w * 8; b < w * 8 + 8; ++b)
                o.prefix[w] = o.prefix[w] << 8 | (b < o.group.size() ? quint8(o.group[b]) : 0);
        }
        o.index = i;
        o.numeric = numericGroup && !o.group.isEmpty();
        o.number = 0;
        if (o.numeric)
            std::from_chars(o.group.data(), o.group.data() + o.group.size(), o.number);
    }
    std::sort(order.begin(), order.end(), [](const Order& x, const Order& y) {
        if (x.numeric != y.numeric)
            return !x.numeric; // the missing group ("") first
        if (x.numeric && x.number != y.number)
            return x.number < y.number;
        if (!x.numeric) {
            if (x.prefix[0] != y.prefix[0])
                return x.prefix[0] < y.prefix[0];
            if (x.prefix[1] != y.prefix[1])
                return x.prefix[1] < y.prefix[1];
            if (x.group != y.group)
                return x.group < y.group;
        }
        return x.unit < y.unit;
    });
    QVector<QString> unitNames(units.Size());
    for (int i = 0; i < units.Size(); ++i)
        unitNames[i] = QString::fromUtf8(units.Text(i));
    rows.reserve(qsizetype(order.size()));
    for (const Order& o : order) {
        const StatsCount& count = groups[o.index];
        StatsRow row;
        row.group = QString::fromUtf8(o.group);
        if (request.by == StatsBy::Weekday && !row.group.isEmpty())
            row.group = QLocale::c().dayName(row.group.toInt());
        row.unit = unitNames[groups.Tag(o.index)];
        row.tests = count.tests;
        std::copy(count.modes, count.modes + 4, row.modes);
        std::copy(count.over, count.over + 2, row.over);
        row.results = count.results;
        row.max = count.max;
        if (request.medians) {
            QVector<double>& values = results[size_t(o.index)];
            std::sort(values.begin(), values.end());
            const qsizetype c = values.size();
            row.results = c;
            if (c > 0) {
                double sum = 0;
                for (double v : values)
                    sum += v;
                row.mean = sum / double(c);
                row.max = values.last();
                row.median = (values[(c - 1) / 2] + values[c / 2]) / 2;
            }
            values = QVector<double>();
        }
        rows.append(std::move(row));
    }
    return true;
}

bool CLocalRecordSource::ResultBins(const HistoryFilter& filter, const CLimits& limits,
                                    const QString& wanted, StatsBins& out, QString* error) {
    out = StatsBins();
    Layout layout;
    if (!LoadLayout(filter, layout, error))
        return false;
    const Sql searchArgs = layout.SearchArgs();
    Sql sql;
    sql.Add("SELECT trim(coalesce(Test_Unit,'')),Test_Result FROM ValueInfo");
    Sql field;
    if (!layout.FieldOf(filter, field, error) ||
        !WhereClause(filter, searchArgs, field, CLimits::Read(m_texts), sql, error))
        return false;
    Connection db;
    std::unique_ptr<SQLite::Query> stmt;
    const bool selected = db.Select(DatabasePath(), &m_interrupt, filter.search, sql, &stmt, error);
    if (!selected || !stmt)
        return selected; // a failure, or no records table yet: nothing to read

    // Per unit as stored (trimmed): its records, its results and how often each value came.
    // Results are few distinct values (a few decimals each), so the counts stay small; binning
    // a value once for all its records gives what binning each record gives.
    struct Unit {
        qint64 tests = 0, results = 0;
        double max = 0;
        QHash<double, qint64> values;
    };
    QHash<QByteArray, Unit> units;
    QByteArray lastName;
    Unit* last = nullptr; // valid until the next unit is added
    while (stmt->Next()) {
        const QByteArrayView name = stmt->Bytes(0);
        if (!last || lastName != name) {
            lastName = name.toByteArray();
            last = &units[lastName];
        }
        ++last->tests;
        double value = 0;
        if (!NumberCell(*stmt, 1, value))
            continue;
        last->max = last->results++ ? std::max(last->max, value) : value;
        ++last->values[value];
    }
    if (stmt->Failed()) {
        Connection::Fail(error, db.Message());
        return false;
    }

    // The units with results, most first, then in order (as the list of units reads).
    QMap<QString, QPair<qint64, double>> seen; // unit -> results, highest
    for (auto it = units.cbegin(); it != units.cend(); ++it)
        StatsNoteUnit(seen, QString::fromUtf8(it.key()), it->results, it->max);
    if (!StatsChooseUnit(seen, limits, wanted, out))
        return true;
    // The unit's records as a filter on the unit selects them: every stored unit written alike
    // but for the case of A-Z (SQLite's lower()).
    const QByteArray chosen = out.unit.trimmed().toLower().toUtf8();
    for (auto it = units.cbegin(); it != units.cend(); ++it) {
        QByteArray lower = it.key();
        for (char& c : lower)
            c = LowerAscii(c);
        if (lower != chosen)
            continue;
        out.tests += it->tests;
        for (auto v = it->values.cbegin(); v != it->values.cend(); ++v)
            out.bins[StatsBin(v.key(), out.width)] += v.value();
    }
    return true;
}
