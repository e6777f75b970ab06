#include "history/core/HistoryQuery.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "store/SQLite.h"
#include "store/Statements.h"

#include <iterator>

namespace {

constexpr int kFixedColumns = 7;

// The stored test modes that are shown translated (exact case), with their text keys.
struct TestMode {
    const char* stored;
    const char* key;
};
constexpr TestMode kTestModes[] = {{"Auto", "TestModeAuto"},
                                   {"Manual", "TestModeManual"},
                                   {"Refuse", "TestModeRefuse"},
                                   {"Discontinued", "TestModeDiscontinued"}};
constexpr int kTestModeCount = int(std::size(kTestModes));

// The entry of kTestModes for a stored test mode, or -1.
int TestModeIndex(const QString& stored) {
    for (int m = 0; m < kTestModeCount; ++m)
        if (stored == QLatin1String(kTestModes[m].stored))
            return m;
    return -1;
}

// Opens the database for one operation; closed when the object goes.
struct OpenDatabase {
    SQLite::Database db;
    bool ok = false;
    explicit OpenDatabase(const QString& path) { ok = db.Open(path) == 0 && db.IsOpen(); }
};

} // namespace

CHistoryQuery::CHistoryQuery(const QString& dbPath, CLanguage texts)
    : m_dbPath(dbPath), m_texts(std::move(texts)) {
    for (int i = 0; i < kTitleCount; ++i)
        m_titles << QString();
}

QString CHistoryQuery::DatabasePath() const {
    return m_dbPath.isEmpty() ? GetDatabasePath() : m_dbPath;
}

QStringList CHistoryQuery::DefaultHeadings() {
    return {"Machine No", "Record No", "Date", "Time", "Test Mode", "Test Result", "Unit"};
}

QString CHistoryQuery::TestModeText(const CLanguage& texts, const QString& stored) {
    const int mode = TestModeIndex(stored);
    return mode < 0 ? stored : texts.GetText(QLatin1String(kTestModes[mode].key));
}

QStringList CHistoryQuery::DeviceList() const {
    QStringList devices;
    OpenDatabase open(DatabasePath());
    if (!open.ok)
        return devices;
    const SQLite::Table table = open.db.QuerySQL(Statements::SelectDeviceList());
    for (int r = 0; r < table.GetRowCount(); ++r)
        if (table.GetColCount() > 0)
            devices << table.Cell(r, 0);
    return devices;
}

void CHistoryQuery::LoadColumns(const QString& device) {
    m_device = device;
    ClearRows();

    // Titles title1 .. title20 of the device, each cut to its buffer.
    for (QString& title : m_titles)
        title.clear();
    m_titleCount = 0;
    m_resultRows = 0;
    m_resultCols = 0;
    {
        OpenDatabase open(DatabasePath());
        if (open.ok) {
            const SQLite::Table table = open.db.QuerySQL(Statements::SelectTitles(device));
            m_resultRows = table.GetRowCount();
            m_resultCols = table.GetColCount();
            if (table.GetRowCount() > 0) {
                const int count = qMin(kTitleCount, table.GetColCount() - 2);
                for (int i = 0; i < count; ++i)
                    m_titles[i] = table.Cell(0, i).left(kTitleChars);
            }
        }
    }
    for (const QString& title : m_titles)
        if (!title.isEmpty())
            ++m_titleCount;

    // The hidden-field list belongs to this device only.
    m_hiddenFields.clear();
    m_columns = LayoutColumns(m_texts, m_titles, &m_hiddenFields);
}

CHistoryQuery::UnionLayout
CHistoryQuery::LayoutUnion(const CLanguage& texts,
                           const QVector<QPair<QString, QStringList>>& titledDevices) {
    UnionLayout layout;
    QStringList unionTitles;
    for (const auto& [device, titles] : titledDevices) {
        QVector<bool> taken; // union columns this device feeds already
        for (int k = 1; k <= qMin<int>(kTitleCount, titles.size()); ++k) {
            const QString& title = titles[k - 1];
            if (title.isEmpty())
                continue;
            int u = int(unionTitles.indexOf(title));
            if (u < 0) {
                unionTitles << title;
                layout.sources.append(QVector<QPair<QString, int>>());
                u = int(unionTitles.size()) - 1;
            }
            if (taken.size() <= u)
                taken.resize(u + 1);
            if (!taken[u]) { // a title twice in one device: its first field
                taken[u] = true;
                layout.sources[u].append({device, k});
            }
        }
    }
    const QVector<HistoryColumn> base = LayoutColumns(texts, QStringList());
    for (const HistoryColumn& column : base)
        if (column.kind == HistoryColumn::Fixed)
            layout.columns.append(column);
    for (int u = 0; u < unionTitles.size(); ++u)
        layout.columns.append({unionTitles[u], HistoryColumn::Field, u + 1});
    for (const HistoryColumn& column : base)
        if (column.kind == HistoryColumn::Gps)
            layout.columns.append(column);
    return layout;
}

QVector<HistoryColumn> CHistoryQuery::LayoutColumns(const CLanguage& texts,
                                                    const QStringList& titles,
                                                    QVector<int>* hiddenFields) {
    QVector<HistoryColumn> columns;

    // Fixed columns: the default heading, replaced by the text of the matching "ShowFields"
    // key cut to the default heading's length. Keys past the seventh have no column to name.
    QStringList keys;
    texts.GetTextList(keys, "ShowFields", ",");
    const QStringList defaults = DefaultHeadings();
    for (int i = 0; i < kFixedColumns; ++i) {
        QString heading = defaults[i];
        if (i < keys.size())
            heading = texts.GetText(keys[i]).left(defaults[i].size());
        if (heading.isEmpty())
            continue; // a column without heading is not created
        columns.append({heading, HistoryColumn::Fixed, i});
    }

    // Field columns: each titled field under its own title, in field order. Untitled fields
    // before the last titled one are hidden from the statement.
    auto title = [&titles](int k) { return k <= titles.size() ? titles[k - 1] : QString(); };
    int lastTitled = 0;
    for (int k = 1; k <= kTitleCount; ++k)
        if (!title(k).isEmpty())
            lastTitled = k;
    for (int k = 1; k <= lastTitled; ++k) {
        if (title(k).isEmpty()) {
            if (hiddenFields)
                hiddenFields->append(k);
        } else {
            columns.append({title(k), HistoryColumn::Field, k});
        }
    }

    const QString gps = texts.GetText("GPS");
    if (!gps.isEmpty())
        columns.append({gps, HistoryColumn::Gps, 0});
    return columns;
}

QStringList CHistoryQuery::Headings() const {
    QStringList headings;
    for (const HistoryColumn& column : m_columns)
        headings << column.heading;
    return headings;
}

QString CHistoryQuery::QueryStatement(const QString& startDate, const QString& endDate) const {
    QList<int> fields;
    for (int k = 1; k <= kTitleCount; ++k)
        if (!m_hiddenFields.contains(k))
            fields << k;
    return Statements::SelectHistory(fields, m_device, startDate, endDate);
}

void CHistoryQuery::ClearRows() {
    m_rows.clear();
    m_paths.clear();
}

bool CHistoryQuery::Query(const QString& startDate, const QString& endDate) {
    ClearRows();
    m_resultRows = 0;
    m_resultCols = 0;

    OpenDatabase open(DatabasePath());
    if (!open.ok)
        return false;
    SQLite::Table table = open.db.QuerySQL(QueryStatement(startDate, endDate));
    const bool ok = open.db.GetLastError() == 0;
    m_resultRows = table.GetRowCount();
    m_resultCols = table.GetColCount();

    // Result columns: the seven fixed ones, the selected fields in order, GPS, Path,
    // PictureName.
    QVector<int> fieldColumn(kTitleCount + 1, -1);
    int next = kFixedColumns;
    for (int k = 1; k <= kTitleCount; ++k)
        if (!m_hiddenFields.contains(k))
            fieldColumn[k] = next++;
    const int gpsColumn = next;
    const int pathColumn = m_resultCols - 2;

    QVector<int> source;
    source.reserve(m_columns.size());
    for (const HistoryColumn& column : m_columns) {
        switch (column.kind) {
        case HistoryColumn::Fixed:
            source << column.index;
            break;
        case HistoryColumn::Field:
            source << fieldColumn[column.index];
            break;
        case HistoryColumn::Gps:
            source << gpsColumn;
            break;
        }
    }

    // The test-mode texts, looked up once for the whole result.
    QString modes[kTestModeCount];
    for (int m = 0; m < kTestModeCount; ++m)
        modes[m] = m_texts.GetText(QLatin1String(kTestModes[m].key));
    auto modeText = [&modes](const QString& stored) -> QString {
        const int mode = TestModeIndex(stored);
        return mode < 0 ? stored : modes[mode];
    };

    // In the usual layout the shown cells are the leading result columns in order; each
    // result row then becomes its list row in place (no copy of its cells).
    bool leading = true;
    for (int i = 0; i < source.size(); ++i)
        leading = leading && source[i] == i;
    m_rows.reserve(m_resultRows);
    m_paths.reserve(m_resultRows);
    for (int r = 0; r < m_resultRows; ++r) {
        QStringList& cells = table.m_rows[r];
        m_paths << (pathColumn >= 0 && pathColumn < cells.size() ? cells[pathColumn] : QString());
        QStringList shown;
        if (leading && cells.size() >= source.size()) {
            cells.resize(source.size());
            shown = std::move(cells);
            if (shown.size() > 4)
                shown[4] = modeText(shown[4]);
        } else {
            shown.reserve(source.size());
            for (int c : source) {
                const QString cell = c >= 0 && c < cells.size() ? cells[c] : QString();
                shown << (c == 4 ? modeText(cell) : cell);
            }
        }
        m_rows.append(std::move(shown));
    }
    return ok;
}

HistoryList QueryHistoryList(const CLanguage& texts, const QString& device,
                             const QString& startDate, const QString& endDate,
                             const QString& dbPath) {
    CHistoryQuery query(dbPath, texts);
    query.LoadColumns(device);
    query.Query(startDate, endDate);
    return {query.Headings(), query.Rows(), query.Paths()};
}

QString EarliestQueryDate() {
    return QStringLiteral("0000-01-01");
}

QString LatestQueryDate() {
    return QStringLiteral("9999-12-31");
}
