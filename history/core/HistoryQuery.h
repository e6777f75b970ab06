#pragma once
// The record list of the history page without widgets: the device list, the column layout
// built from "ShowFields" and the device's field titles, the query over ValueInfo and the
// rows as the page shows them (test mode translated), with each row's stored picture Path.
//
// Every operation opens the database file afresh, runs its statements and closes it.
#include "base/Language.h"

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

namespace SQLite {
class Table;
}

// One column of the list: its heading and what it shows.
struct HistoryColumn {
    QString heading;
    // 0..6: the fixed columns Machine_NO, Record_No, Date_Date, Time_Time, Test_Mode,
    // Test_Result, Test_Unit; 1..20 as field: FieldN (see kind); GPS.
    enum Kind { Fixed, Field, Gps } kind = Fixed;
    int index = 0; // Fixed: 0..6; Field: field number 1..20; Gps: unused
};

class CHistoryQuery {
public:
    static constexpr int kTitleCount = 20;
    static constexpr int kTitleChars = 199; // a title buffer holds 199 characters

    // dbPath empty: the program's database (GetDatabasePath()). The headings and test-mode
    // texts come from texts.
    explicit CHistoryQuery(const QString& dbPath = QString(), CLanguage texts = CLanguage());

    QString DatabasePath() const;

    // "SELECT distinct DeviceID FROM TitleInfo ORDER BY DeviceID": the device numbers, sorted.
    QStringList DeviceList() const;

    // Loads the titles of the device and lays out the columns. The hidden-field list is
    // rebuilt from scratch. Afterwards ResultRows()/ResultColumns() hold the counts of the
    // title look-up, and the previous query result is dropped.
    void LoadColumns(const QString& device);

    // Runs the query for the device of the last LoadColumns with the two date texts
    // ("yyyy-MM-dd"; compared as text, both ends included). Fills Rows() and Paths().
    // Returns false when the statement failed (the result is then empty).
    bool Query(const QString& startDate, const QString& endDate);

    // The statement Query runs (values quoted).
    QString QueryStatement(const QString& startDate, const QString& endDate) const;

    // Column layout of the last LoadColumns.
    const QString& Device() const { return m_device; }
    const QVector<HistoryColumn>& Columns() const { return m_columns; }
    QStringList Headings() const;
    const QStringList& Titles() const { return m_titles; } // 20 entries
    int TitleCount() const { return m_titleCount; }        // non-empty titles
    const QVector<int>& HiddenFields() const { return m_hiddenFields; }

    // Result of the last Query: one entry per list row, cells in column order.
    const QVector<QStringList>& Rows() const { return m_rows; }
    const QStringList& Paths() const { return m_paths; } // stored Path of each row
    int RowCount() const { return static_cast<int>(m_rows.size()); }
    // Row and column counts of the last statement's result (title load or query).
    int ResultRows() const { return m_resultRows; }
    int ResultColumns() const { return m_resultCols; }

    // The shown text of a stored test mode: "Auto", "Manual", "Refuse" and "Discontinued"
    // (exact case) become the texts of "TestModeAuto" ... ; anything else is shown as stored.
    static QString TestModeText(const CLanguage& texts, const QString& stored);

    // The columns for a device with the given field titles (title1 .. title20): the fixed
    // columns named by "ShowFields", each titled field under its title in field order, GPS.
    // hiddenFields, when given, receives the untitled fields before the last titled one.
    static QVector<HistoryColumn> LayoutColumns(const CLanguage& texts, const QStringList& titles,
                                                QVector<int>* hiddenFields = nullptr);

    // The columns of every device at once: the fixed columns, one field column per distinct
    // title in first-seen order (devices in the given order, fields in order), GPS last.
    // sources[u] names, for each device that has the title of field column u + 1, the field
    // (1..20) whose value shows under it: the device's first field of that title.
    struct UnionLayout {
        QVector<HistoryColumn> columns;
        QVector<QVector<QPair<QString, int>>> sources;
    };
    static UnionLayout LayoutUnion(const CLanguage& texts,
                                   const QVector<QPair<QString, QStringList>>& titledDevices);

    // The default headings of the seven fixed columns.
    static QStringList DefaultHeadings();

    // Drops the query result (the list is emptied).
    void ClearRows();

private:
    QString m_dbPath;
    CLanguage m_texts;
    QString m_device;
    QStringList m_titles;
    int m_titleCount = 0;
    QVector<int> m_hiddenFields;
    QVector<HistoryColumn> m_columns;
    QVector<QStringList> m_rows;
    QStringList m_paths;
    int m_resultRows = 0;
    int m_resultCols = 0;
};

// The whole list as the page shows it after choosing a device and pressing Query: for the
// command-line tool and the exports.
struct HistoryList {
    QStringList headings;
    QVector<QStringList> rows;
    QStringList paths; // stored Path of each row
};
HistoryList QueryHistoryList(const CLanguage& texts, const QString& device,
                             const QString& startDate, const QString& endDate,
                             const QString& dbPath = QString());

// The widest date range a query can ask for ("yyyy-MM-dd" texts, compared as text).
QString EarliestQueryDate(); // "0000-01-01"
QString LatestQueryDate();   // "9999-12-31"
