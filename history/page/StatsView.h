#pragma once
// The statistics tab of the history page: charts with their tables of numbers over exactly
// the records the list's filter selects. One chart at a time, chosen in a box: tests per
// day, week or month stacked by test mode; the distribution of one unit's results with its
// legal limits; tests by weekday and hour (a coloured table); per value of one free field the
// tests, refusal rate and over-limit rate next to the overall rates; tests per device.
//
// The numbers are counted by the record source in the database, on a worker thread of the
// tab's own (the list's reads never wait behind a count); the window never waits. Hovering a
// bar shows its numbers; clicking it asks the page to list exactly its records
// (barClicked). Every chart saves as PNG and SVG, its table as CSV.
#include "base/Language.h"
#include "history/core/HistoryFilter.h"
#include "history/core/HistoryQuery.h"
#include "history/core/Limits.h"
#include "history/core/RecordSource.h"

#include <QWidget>

#include <atomic>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QSplitter;
class QTableWidget;
class CRecordWorker;
class QChart;
class QChartView;

namespace StatsIds {
constexpr int kChart = 1120;  // which chart
constexpr int kPeriod = 1121; // day / week / month
constexpr int kUnit = 1122;   // the unit of the distribution
constexpr int kField = 1123;  // the free field
constexpr int kPng = 1124;
constexpr int kSvg = 1125;
constexpr int kCsv = 1126;
constexpr int kStatus = 1127; // "Counting…", "No records", a failure
constexpr int kView = 1128;   // the chart
constexpr int kHeat = 1129;   // the weekday × hour table
constexpr int kTable = 1130;  // the numbers
} // namespace StatsIds

class CStatsView : public QWidget {
    Q_OBJECT
public:
    enum Chart { Period, Results, Heat, Field, Device };

    CStatsView(const CLanguage& texts, QWidget* parent = nullptr);
    ~CStatsView() override;

    // Counts from now on read this source (on a worker of the tab's own).
    void SetSource(std::shared_ptr<IRecordSource> source);
    // The records to count (the list's filter), the list's columns (for the free fields) and
    // the legal limits. Counts again at once when the tab is shown, else when it is.
    void SetFilter(const HistoryFilter& filter, const QVector<HistoryColumn>& columns,
                   const CLimits& limits);

    Chart CurrentChart() const;
    void SetChart(Chart chart);

    // One bar (or heat-map cell) as shown: its bar set's name, its category, its numbers (the
    // hover text) and the filter a click lists.
    struct Bar {
        QString set;
        QString category;
        QString tip;
        qint64 records = 0; // the records a click lists
        bool clickable = false;
        HistoryFilter filter;
    };
    QVector<Bar> Bars() const { return m_bars; }
    // Does what a click on bar i does.
    void ClickBar(int i);
    // True while a count runs or waits.
    bool Busy() const { return m_busy || m_stale; }

    // The chart as a picture and the table as CSV; false with a reason in *error.
    bool SavePng(const QString& path, QString* error) const;
    bool SaveSvg(const QString& path, QString* error) const;
    bool SaveCsv(const QString& path, QString* error) const;
    // The table as shown: headings, then rows.
    QVector<QStringList> TableCells() const;

signals:
    // A bar was clicked: list exactly these records.
    void barClicked(const HistoryFilter& filter);
    void statusChanged(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Answer;
    QString Text(const char* key) const;
    void Recount();
    void Show(const Answer& answer);
    void ShowPeriod(const Answer& answer);
    void ShowResults(const Answer& answer);
    void ShowHeat(const Answer& answer);
    void ShowField(const Answer& answer);
    void ShowDevice(const Answer& answer);
    void SetTable(const QStringList& headings, const QVector<QStringList>& rows);
    void ShowEmpty(const QString& text);
    void Replace(QChart* chart); // shows chart in place of the one shown
    // The headings of a table of counts: first, tests, each test mode, over each limit.
    QStringList CountHeadings(const char* first) const;
    QWidget* Picture() const; // what the picture exports draw: the chart or the heat map
    void Save(const char* kind);

    CLanguage m_texts;
    QComboBox* m_chart = nullptr;
    QComboBox* m_period = nullptr;
    QComboBox* m_unit = nullptr;
    QComboBox* m_field = nullptr;
    QPushButton* m_png = nullptr;
    QPushButton* m_svg = nullptr;
    QPushButton* m_csv = nullptr;
    QLabel* m_status = nullptr;
    QSplitter* m_split = nullptr;
    QChartView* m_view = nullptr;
    QTableWidget* m_heat = nullptr;
    QTableWidget* m_table = nullptr;

    std::shared_ptr<IRecordSource> m_source;
    CRecordWorker* m_worker = nullptr;
    HistoryFilter m_filter;
    QVector<HistoryColumn> m_columns;
    CLimits m_limits;
    QVector<Bar> m_bars;
    quint64 m_ticket = 0;
    // The ticket of the count shown next, read by the worker: an older count ends early.
    std::shared_ptr<std::atomic<quint64>> m_live = std::make_shared<std::atomic<quint64>>(0);
    bool m_busy = false;
    bool m_stale = false; // the filter changed while the tab was hidden
};
