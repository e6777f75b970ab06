#include "history/page/StatsView.h"

#include "app/shell/ControlId.h"
#include "history/core/RecordWorker.h"
#include "reports/Csv.h"
#include "reports/ExportJob.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDate>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QLocale>
#include <QMap>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QStackedBarSeries>
#include <QSvgGenerator>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include <climits>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kTopValues = 20;     // values of a free field shown one by one; the rest: "others"
constexpr int kManyGroups = 10000; // a count of more groups gives back what it freed
const char* const kModeKeys[4] = {"TestModeAuto", "TestModeManual", "TestModeRefuse",
                                  "TestModeDiscontinued"};

template <class T> T* Made(T* control, int id) {
    SetControlId(control, id);
    return control;
}

QString Percent(qint64 part, qint64 whole) {
    return whole > 0 ? QString::number(100.0 * double(part) / double(whole), 'f', 1) : QString();
}

// The first and last day of a period group ("yyyy-MM-dd" day or Monday, "yyyy-MM" month).
bool PeriodRange(StatsBy by, const QString& group, QString& first, QString& last) {
    QDate start = QDate::fromString(by == StatsBy::Month ? group + QStringLiteral("-01") : group,
                                    Qt::ISODate);
    if (!start.isValid())
        return false;
    const QDate end = by == StatsBy::Day    ? start
                      : by == StatsBy::Week ? start.addDays(6)
                                            : start.addMonths(1).addDays(-1);
    first = start.toString(Qt::ISODate);
    last = end.toString(Qt::ISODate);
    return true;
}

// A count over a free field with a value per record builds and frees tens of megabytes of
// groups. glibc then raises its threshold for giving freed memory back (it follows the largest
// block freed), so that memory would stay with the process after every such count: give back
// what is free now, once per count.
void ReleaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// A group's rows of every unit added up (the rows come in group order).
struct Total {
    QString group;
    qint64 order = 0; // the group's place in the rows
    qint64 tests = 0, modes[4] = {0, 0, 0, 0}, over[2] = {0, 0}, results = 0;
};
// Adds (sign 1) or takes away (sign -1) the counts of a row or of another total.
template <class Counts> void Add(Total& to, const Counts& t, qint64 sign = 1) {
    to.tests += sign * t.tests;
    for (int m = 0; m < 4; ++m)
        to.modes[m] += sign * t.modes[m];
    to.over[0] += sign * t.over[0];
    to.over[1] += sign * t.over[1];
    to.results += sign * t.results;
}
QVector<Total> ByGroup(const QVector<StatsRow>& rows) {
    QVector<Total> totals;
    for (const StatsRow& row : rows) {
        if (totals.isEmpty() || totals.last().group != row.group) {
            totals.append(Total());
            totals.last().group = row.group;
            totals.last().order = totals.size() - 1;
        }
        Add(totals.last(), row);
    }
    return totals;
}

// The n groups with the most tests, most first (equal counts in group order), the total of
// every group and of the rest, in one pass over the rows (in group order) that keeps no more
// than n groups' totals: a free field may have a value per record.
QVector<Total> TopGroups(const QVector<StatsRow>& rows, qsizetype n, Total& all, Total& others,
                         bool& hasOthers) {
    const auto before = [](const Total& x, const Total& y) {
        return x.tests != y.tests ? x.tests > y.tests : x.order < y.order;
    };
    std::vector<Total> top; // a heap whose front is the one the others go before
    top.reserve(size_t(n) + 1);
    Total current;
    qint64 groups = 0;
    auto close = [&] {
        Add(all, current);
        if (qsizetype(top.size()) < n) {
            top.push_back(std::move(current));
            std::push_heap(top.begin(), top.end(), before);
        } else if (n > 0 && before(current, top.front())) {
            std::pop_heap(top.begin(), top.end(), before);
            top.back() = std::move(current);
            std::push_heap(top.begin(), top.end(), before);
        }
    };
    for (const StatsRow& row : rows) {
        if (groups == 0 || current.group != row.group) {
            if (groups > 0)
                close();
            current = Total();
            current.group = row.group;
            current.order = groups++;
        }
        Add(current, row);
    }
    if (groups > 0)
        close();
    std::sort(top.begin(), top.end(), before);
    // The rest: every group but the top ones.
    others = all;
    for (const Total& t : top)
        Add(others, t, -1);
    others.group.clear();
    others.order = 0;
    hasOthers = groups > n;
    return QVector<Total>(top.begin(), top.end());
}

} // namespace

// What the worker counted for the chart asked for.
struct CStatsView::Answer {
    quint64 ticket = 0;
    Chart chart = Period;
    bool ok = true;
    QString error;
    StatsRequest request;
    HistoryFilter filter;
    QVector<StatsRow> rows;    // (Field: none, see fieldTop)
    qint64 tests = 0;          // the records counted
    QStringList units;         // Results: the units that have results, most results first
    QString unit;              // the one shown
    QMap<qint64, qint64> bins; // Results: its bins (StatsBin -> results)
    // Field: every value's total, the values with the most tests (ties in group order) and
    // the rest added up, so that the window thread gets a handful of lines, not every value.
    Total fieldAll, fieldOthers;
    QVector<Total> fieldTop;
    bool hasOthers = false;
};

CStatsView::CStatsView(const CLanguage& texts, QWidget* parent) : QWidget(parent), m_texts(texts) {
    using namespace StatsIds;
    m_chart = Made(new QComboBox(this), kChart);
    m_chart->addItem(Text("StatsChartPeriod"), Period);
    m_chart->addItem(Text("StatsChartResults"), Results);
    m_chart->addItem(Text("StatsChartHeat"), Heat);
    m_chart->addItem(Text("StatsChartField"), Field);
    m_chart->addItem(Text("StatsChartDevice"), Device);
    m_period = Made(new QComboBox(this), kPeriod);
    m_period->addItem(Text("StatsByDay"), int(StatsBy::Day));
    m_period->addItem(Text("StatsByWeek"), int(StatsBy::Week));
    m_period->addItem(Text("StatsByMonth"), int(StatsBy::Month));
    m_unit = Made(new QComboBox(this), kUnit);
    m_field = Made(new QComboBox(this), kField);
    m_png = Made(new QPushButton(Text("StatsSavePng"), this), kPng);
    m_svg = Made(new QPushButton(Text("StatsSaveSvg"), this), kSvg);
    m_csv = Made(new QPushButton(Text("StatsSaveCsv"), this), kCsv);
    m_status = Made(new QLabel(this), kStatus);

    m_split = new QSplitter(Qt::Vertical, this);
    m_view = Made(new QChartView(m_split), kView);
    m_view->setRenderHint(QPainter::Antialiasing);
    m_heat = Made(new QTableWidget(m_split), kHeat);
    m_heat->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_heat->setMouseTracking(true);
    m_table = Made(new QTableWidget(m_split), kTable);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->setVisible(false);
    m_split->addWidget(m_view);
    m_split->addWidget(m_heat);
    m_split->addWidget(m_table);
    m_split->setStretchFactor(0, 3);
    m_split->setStretchFactor(1, 3);
    m_split->setStretchFactor(2, 2);
    m_heat->hide();
    m_split->setSizes({600, 600, 260}); // the chart gets most of the height

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_chart);
    bar->addWidget(m_period);
    bar->addWidget(m_unit);
    bar->addWidget(m_field);
    bar->addWidget(m_status, 1);
    bar->addWidget(m_png);
    bar->addWidget(m_svg);
    bar->addWidget(m_csv);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(m_split, 1);

    for (QComboBox* box : {m_chart, m_period, m_unit, m_field})
        connect(box, &QComboBox::activated, this, [this] { Recount(); });
    connect(m_png, &QPushButton::clicked, this, [this] { Save("png"); });
    connect(m_svg, &QPushButton::clicked, this, [this] { Save("svg"); });
    connect(m_csv, &QPushButton::clicked, this, [this] { Save("csv"); });
    connect(m_heat, &QTableWidget::cellClicked, this,
            [this](int r, int c) { ClickBar(r * 24 + c); });
    connect(m_heat, &QTableWidget::cellEntered, this, [this](int r, int c) {
        const int i = r * 24 + c;
        if (i < m_bars.size())
            QToolTip::showText(QCursor::pos(), m_bars[i].tip, m_heat);
    });
    ShowEmpty(Text("StatsNoRecords"));
}

CStatsView::~CStatsView() {
    m_live->store(0); // a running count ends at its next step
    delete m_worker;  // waits for a running count, whose answer then finds nobody
    m_worker = nullptr;
}

QString CStatsView::Text(const char* key) const {
    return m_texts.GetText(QLatin1String(key));
}

void CStatsView::SetSource(std::shared_ptr<IRecordSource> source) {
    m_source = source ? source->Another() : nullptr;
    if (m_worker && m_source)
        m_worker->SetSource(m_source);
}

void CStatsView::SetFilter(const HistoryFilter& filter, const QVector<HistoryColumn>& columns,
                           const CLimits& limits) {
    m_filter = filter;
    m_columns = columns;
    m_limits = limits;
    // The free fields of the list's columns, keeping the one chosen when it is still there.
    const QString field = m_field->currentText();
    m_field->clear();
    for (const HistoryColumn& column : columns)
        if (column.kind == HistoryColumn::Field)
            m_field->addItem(column.heading);
    const int keep = m_field->findText(field);
    if (keep >= 0)
        m_field->setCurrentIndex(keep);
    m_stale = true;
    if (isVisible())
        Recount();
}

CStatsView::Chart CStatsView::CurrentChart() const {
    return Chart(m_chart->currentData().toInt());
}

void CStatsView::SetChart(Chart chart) {
    m_chart->setCurrentIndex(m_chart->findData(int(chart)));
    Recount();
}

void CStatsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_stale)
        Recount();
}

void CStatsView::Recount() {
    m_stale = false;
    const Chart chart = CurrentChart();
    m_period->setVisible(chart == Period);
    m_unit->setVisible(chart == Results);
    m_field->setVisible(chart == Field);
    if (!m_source)
        return;
    if (!m_worker)
        m_worker = new CRecordWorker(m_source, this);

    Answer ask;
    ask.ticket = ++m_ticket;
    ask.chart = chart;
    ask.filter = m_filter;
    ask.request.limits = m_limits;
    // No chart shows a mean or median: none keeps the results for one.
    ask.request.medians = false;
    ask.unit = m_unit->currentText();
    switch (chart) {
    case Period:
        ask.request.by = StatsBy(m_period->currentData().toInt());
        break;
    case Results:
        ask.request.by = StatsBy::Bin;
        break;
    case Heat:
        ask.request.by = StatsBy::HourWeekday;
        break;
    case Field:
        ask.request.by = StatsBy::Field;
        ask.request.field = m_field->currentText();
        if (ask.request.field.isEmpty()) {
            ShowEmpty(Text("StatsNoField"));
            return;
        }
        break;
    case Device:
        ask.request.by = StatsBy::Device;
        break;
    }
    m_busy = true;
    m_status->setText(Text("StatsCounting"));
    const quint64 ticket = ask.ticket;
    m_live->store(ticket);
    auto live = m_live;
    m_worker->Run<Answer>(
        this,
        [ask, live](IRecordSource& source) {
            Answer a = ask;
            if (live->load() != a.ticket)
                return a; // not wanted any more
            const quint64 mine = a.ticket;
            source.SetInterrupt([live, mine] { return live->load() != mine; });
            if (a.chart == Results) {
                // The units with results, then the chosen unit's bins (a width that suits it).
                StatsBins bins;
                a.ok = source.ResultBins(a.filter, a.request.limits, a.unit, bins, &a.error);
                source.SetInterrupt({});
                a.units = bins.units;
                if (!a.ok || a.units.isEmpty())
                    return a;
                a.unit = bins.unit;
                a.filter.unit = a.unit;
                a.request.binWidth = bins.width;
                a.tests = bins.tests;
                a.bins = bins.bins;
                return a;
            }
            a.ok = source.Stats(a.filter, a.request, a.rows, &a.error);
            source.SetInterrupt({});
            for (const StatsRow& row : a.rows)
                a.tests += row.tests;
            if (a.ok && a.chart == Period)
                FillEmptyGroups(a.request, QString(), QString(), a.rows); // first to last test
            const qsizetype groups = a.rows.size();
            if (a.ok && a.chart == Field) {
                a.fieldTop = TopGroups(a.rows, kTopValues, a.fieldAll, a.fieldOthers, a.hasOthers);
                a.rows = QVector<StatsRow>(); // a free field may have a value per record
            }
            // Only a count of many groups frees enough to be worth the walk over the heap.
            if (groups > kManyGroups)
                ReleaseFreedMemory();
            return a;
        },
        [this, ticket](Answer a) {
            if (ticket != m_ticket)
                return; // a newer count was asked for
            m_busy = false;
            Show(a);
        });
}

void CStatsView::ShowEmpty(const QString& text) {
    m_bars.clear();
    auto* chart = new QChart;
    chart->setTitle(text);
    chart->legend()->hide();
    Replace(chart);
    m_view->show();
    m_heat->hide();
    m_table->show();
    SetTable({}, {});
    m_status->setText(text);
}

void CStatsView::Show(const Answer& answer) {
    if (!answer.ok) {
        ShowEmpty(Text("StatsFailed") + QLatin1Char(' ') + answer.error);
        emit statusChanged(Text("StatsFailed") + QLatin1Char(' ') + answer.error);
        return;
    }
    if (answer.chart == Results) {
        const QSignalBlocker blocker(m_unit);
        m_unit->clear();
        m_unit->addItems(answer.units);
        m_unit->setCurrentIndex(qMax(0, answer.units.indexOf(answer.unit)));
    }
    const qint64 tests = answer.tests;
    if (tests == 0) {
        ShowEmpty(Text("StatsNoRecords"));
        return;
    }
    m_bars.clear();
    m_status->setText(Text("StatsRecords").arg(tests));
    m_view->setVisible(answer.chart != Heat);
    m_heat->setVisible(answer.chart == Heat);
    m_table->setVisible(answer.chart != Heat);
    switch (answer.chart) {
    case Period:
        ShowPeriod(answer);
        break;
    case Results:
        ShowResults(answer);
        break;
    case Heat:
        ShowHeat(answer);
        break;
    case Field:
        ShowField(answer);
        break;
    case Device:
        ShowDevice(answer);
        break;
    }
}

void CStatsView::SetTable(const QStringList& headings, const QVector<QStringList>& rows) {
    m_table->clear();
    m_table->setColumnCount(headings.size());
    m_table->setRowCount(rows.size());
    m_table->setHorizontalHeaderLabels(headings);
    for (int r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c) {
            auto* item = new QTableWidgetItem(rows[r][c]);
            if (c > 0)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(r, c, item);
        }
    m_table->resizeColumnsToContents();
}

QVector<QStringList> CStatsView::TableCells() const {
    const QTableWidget* table = m_heat->isVisibleTo(this) ? m_heat : m_table;
    QVector<QStringList> cells;
    QStringList headings;
    if (table == m_heat)
        headings << Text("StatsWeekday");
    for (int c = 0; c < table->columnCount(); ++c)
        headings << (table->horizontalHeaderItem(c) ? table->horizontalHeaderItem(c)->text()
                                                    : QString());
    cells << headings;
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList row;
        if (table == m_heat)
            row << (table->verticalHeaderItem(r) ? table->verticalHeaderItem(r)->text()
                                                 : QString());
        for (int c = 0; c < table->columnCount(); ++c)
            row << (table->item(r, c) ? table->item(r, c)->text() : QString());
        cells << row;
    }
    return cells;
}

// A bar chart of the given sets over the categories; every bar of set s at category i is
// m_bars[first + s * categories + i].
static QChart* NewChart(const QString& title) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->legend()->setAlignment(Qt::AlignBottom);
    return chart;
}

// Adds a bar series to the chart with its category axis along the bottom (labels upright once
// there are more than angleAbove categories) and a count axis on the left, which comes back.
static QValueAxis* AddBars(QChart* chart, QAbstractBarSeries* series, const QStringList& categories,
                           int angleAbove) {
    chart->addSeries(series);
    auto* x = new QBarCategoryAxis;
    x->append(categories);
    x->setLabelsAngle(categories.size() > angleAbove ? -90 : 0);
    chart->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto* y = new QValueAxis;
    y->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    return y;
}

void CStatsView::Replace(QChart* chart) {
    QChart* old = m_view->chart();
    m_view->setChart(chart);
    delete old;
}

QStringList CStatsView::CountHeadings(const char* first) const {
    QStringList headings{Text(first), Text("StatsTests")};
    for (const char* key : kModeKeys)
        headings << Text(key);
    return headings << Text("StatsOverLimit1") << Text("StatsOverLimit2");
}

void CStatsView::ShowPeriod(const Answer& answer) {
    // The chart draws the newest periods only (thousands of bars could not be told apart and
    // would take hundreds of megabytes); the table lists every period.
    constexpr int kChartPeriods = 120;
    const QVector<Total> all = ByGroup(answer.rows);
    const QVector<Total> totals =
        all.size() > kChartPeriods ? all.mid(all.size() - kChartPeriods) : all;
    if (totals.size() < all.size())
        m_status->setText(m_status->text() + QStringLiteral("  ") +
                          Text("StatsLastPeriods").arg(totals.size()).arg(all.size()));
    QStringList categories;
    for (const Total& t : totals)
        categories << t.group;
    auto* series = new QStackedBarSeries;
    for (int m = 0; m < 4; ++m) {
        auto* set = new QBarSet(Text(kModeKeys[m]));
        for (const Total& t : totals) {
            *set << double(t.modes[m]);
            Bar b;
            b.set = set->label();
            b.category = t.group;
            // One arg() over every part: a part holding "%1" is taken as it is.
            b.tip = QStringLiteral("%1\n%2: %3 / %4 %5")
                        .arg(t.group, set->label(), QString::number(t.modes[m]),
                             QString::number(t.tests), Text("StatsTests"));
            QString first, last;
            b.filter = answer.filter;
            b.records = t.modes[m];
            b.clickable = t.modes[m] > 0 && PeriodRange(answer.request.by, t.group, first, last);
            b.filter.startDate = qMax(first, answer.filter.startDate);
            b.filter.endDate = qMin(last, answer.filter.endDate);
            b.filter.mode = TestModeFilter(m + 1);
            m_bars.append(b);
        }
        const int base = m * int(totals.size());
        connect(set, &QBarSet::clicked, this, [this, base](int i) { ClickBar(base + i); });
        connect(set, &QBarSet::hovered, this, [this, base](bool on, int i) {
            if (on && base + i < m_bars.size())
                QToolTip::showText(QCursor::pos(), m_bars[base + i].tip, m_view);
        });
        series->append(set);
    }
    QChart* chart = NewChart(m_period->currentText());
    AddBars(chart, series, categories, 12);
    Replace(chart);

    const QStringList headings = CountHeadings("StatsPeriod");
    QVector<QStringList> rows;
    for (const Total& t : all) {
        QStringList row{t.group, QString::number(t.tests)};
        for (qint64 m : t.modes)
            row << QString::number(m);
        row << QString::number(t.over[0]) << QString::number(t.over[1]);
        rows << row;
    }
    SetTable(headings, rows);
}

void CStatsView::ShowResults(const Answer& answer) {
    const double width = answer.request.binWidth;
    // The bins from the lowest to the highest that has results, empty ones included.
    const QMap<qint64, qint64>& counts = answer.bins;
    if (counts.isEmpty()) {
        ShowEmpty(Text("StatsNoRecords"));
        return;
    }
    const qint64 low = counts.firstKey();
    const qint64 high = qMax(counts.lastKey(), low);
    const int decimals = qMax(0, int(-std::floor(std::log10(width) + 1e-9)));
    auto edge = [&](qint64 k) { return QString::number(double(k) * width, 'f', decimals); };
    QStringList categories;
    auto* set = new QBarSet(Text("StatsTests"));
    QVector<QStringList> rows;
    qint64 highest = 0;
    for (qint64 k = low; k <= high && k - low < 2000; ++k) {
        const qint64 n = counts.value(k);
        highest = qMax(highest, n);
        const QString range = edge(k) + QStringLiteral("–") + edge(k + 1);
        categories << range;
        *set << double(n);
        Bar b;
        b.set = set->label();
        b.category = range;
        b.tip = QStringLiteral("%1 %2 (≥ %3, < %4)\n%5 %6")
                    .arg(range, answer.unit, edge(k), edge(k + 1), QString::number(n),
                         Text("StatsTests"));
        b.records = n;
        b.clickable = n > 0;
        b.filter = answer.filter;
        b.filter.unit = answer.unit;
        b.filter.binWidth = width;
        b.filter.bin = k;
        m_bars.append(b);
        rows << QStringList{edge(k), edge(k + 1), QString::number(n)};
    }
    connect(set, &QBarSet::clicked, this, [this](int i) { ClickBar(i); });
    connect(set, &QBarSet::hovered, this, [this](bool on, int i) {
        if (on && i < m_bars.size())
            QToolTip::showText(QCursor::pos(), m_bars[i].tip, m_view);
    });
    auto* series = new QBarSeries;
    series->setBarWidth(1.0);
    series->append(set);
    QChart* chart = NewChart(Text("StatsChartResults") + QStringLiteral(" (%1)").arg(answer.unit));
    QValueAxis* y = AddBars(chart, series, categories, 8);
    y->setRange(0, double(qMax<qint64>(1, highest)) * 1.1);
    // The legal limits as upright lines where they fall between the bins: a hidden value axis
    // runs along the categories (category i spans i - 0.5 .. i + 0.5).
    if (const UnitLimits* limits = answer.request.limits.For(answer.unit)) {
        auto* along = new QValueAxis;
        along->setRange(-0.5, double(categories.size()) - 0.5);
        along->setVisible(false);
        chart->addAxis(along, Qt::AlignTop);
        const QColor colours[2] = {QColor(230, 140, 0), QColor(200, 0, 0)};
        for (int k = 0; k < limits->thresholds.size() && k < 2; ++k) {
            const double at = limits->thresholds[k] / width - double(low) - 0.5;
            auto* line = new QLineSeries;
            line->setName(OverLimitText(m_texts, *limits, k + 1));
            line->append(at, 0);
            line->append(at, double(qMax<qint64>(1, highest)) * 1.1);
            QPen pen(colours[k]);
            pen.setWidth(2);
            pen.setStyle(Qt::DashLine);
            line->setPen(pen);
            chart->addSeries(line);
            line->attachAxis(along);
            line->attachAxis(y);
        }
    }
    Replace(chart);
    SetTable({Text("StatsFrom") + QStringLiteral(" (%1)").arg(answer.unit), Text("StatsBelow"),
              Text("StatsTests")},
             rows);
}

void CStatsView::ShowHeat(const Answer& answer) {
    qint64 grid[7][24] = {};
    qint64 highest = 0;
    for (const StatsRow& row : answer.rows) {
        const QStringList parts = row.group.split(QLatin1Char('-'));
        bool a = false, b = false;
        const int d = parts.value(0).toInt(&a), h = parts.value(1).toInt(&b);
        if (a && b && d >= 1 && d <= 7 && h >= 0 && h < 24) {
            grid[d - 1][h] += row.tests;
            highest = qMax(highest, grid[d - 1][h]);
        }
    }
    m_heat->clear();
    m_heat->setRowCount(7);
    m_heat->setColumnCount(24);
    QStringList hours, days;
    for (int h = 0; h < 24; ++h)
        hours << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
    for (int d = 1; d <= 7; ++d)
        days << QLocale().standaloneDayName(d, QLocale::ShortFormat);
    m_heat->setHorizontalHeaderLabels(hours);
    m_heat->setVerticalHeaderLabels(days);
    for (int d = 0; d < 7; ++d)
        for (int h = 0; h < 24; ++h) {
            const qint64 n = grid[d][h];
            auto* item = new QTableWidgetItem(QString::number(n));
            item->setTextAlignment(Qt::AlignCenter);
            // White for none to deep red for the busiest hour.
            const double f = highest > 0 ? double(n) / double(highest) : 0;
            item->setBackground(QColor::fromRgbF(1.0, 1.0 - 0.8 * f, 1.0 - 0.9 * f));
            item->setForeground(f > 0.6 ? Qt::white : Qt::black);
            m_heat->setItem(d, h, item);
            Bar b;
            b.set = days[d];
            b.category = hours[h];
            b.tip = QStringLiteral("%1 %2:00–%2:59\n%3 %4")
                        .arg(days[d], hours[h], QString::number(n), Text("StatsTests"));
            b.records = n;
            b.clickable = n > 0;
            b.filter = answer.filter;
            b.filter.weekday = d + 1;
            b.filter.hour = h;
            m_bars.append(b);
        }
    m_heat->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_heat->verticalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    SetTable({}, {});
}

void CStatsView::ShowField(const Answer& answer) {
    const QVector<Total>& totals = answer.fieldTop;
    const Total& all = answer.fieldAll;
    const Total& others = answer.fieldOthers;
    const bool hasOthers = answer.hasOthers;
    struct Line {
        QString name;
        Total t;
        int kind; // 0 all, 1 a value, 2 the others
    };
    QVector<Line> lines{{Text("StatsAll"), all, 0}};
    for (const Total& t : totals)
        lines.append({t.group.isEmpty() ? Text("StatsEmptyValue") : t.group, t, 1});
    if (hasOthers)
        lines.append({Text("StatsOthers"), others, 2});

    const QString heading = answer.request.field;
    auto* refusals = new QBarSet(Text("StatsRefusalRate"));
    auto* overs = new QBarSet(Text("StatsOverRate"));
    QStringList categories;
    QVector<QStringList> rows;
    for (int s = 0; s < 2; ++s)
        for (const Line& line : lines) {
            const qint64 part = s == 0 ? line.t.modes[2] : line.t.over[0];
            const double rate = line.t.tests ? 100.0 * double(part) / double(line.t.tests) : 0;
            *(s == 0 ? refusals : overs) << rate;
            Bar b;
            b.set = (s == 0 ? refusals : overs)->label();
            b.category = line.name;
            b.tip =
                QStringLiteral("%1\n%2 %3\n%4: %5 (%6 %)\n%7: %8 (%9 %)")
                    .arg(line.name, QString::number(line.t.tests), Text("StatsTests"),
                         Text("StatsRefusals"), QString::number(line.t.modes[2]),
                         Percent(line.t.modes[2], line.t.tests), Text("StatsOverLimit1"),
                         QString::number(line.t.over[0]), Percent(line.t.over[0], line.t.tests));
            b.filter = answer.filter;
            b.records = line.t.tests;
            b.clickable = line.kind != 2;
            if (line.kind == 1) {
                b.filter.fieldHeading = heading;
                b.filter.fieldValue = line.t.group;
            }
            m_bars.append(b);
        }
    for (const Line& line : lines) {
        categories << line.name;
        rows << QStringList{line.name,
                            QString::number(line.t.tests),
                            QString::number(line.t.modes[2]),
                            Percent(line.t.modes[2], line.t.tests),
                            Percent(all.modes[2], all.tests),
                            QString::number(line.t.over[0]),
                            Percent(line.t.over[0], line.t.tests),
                            Percent(all.over[0], all.tests)};
    }
    const int n = int(lines.size());
    connect(refusals, &QBarSet::clicked, this, [this](int i) { ClickBar(i); });
    connect(overs, &QBarSet::clicked, this, [this, n](int i) { ClickBar(n + i); });
    connect(refusals, &QBarSet::hovered, this, [this](bool on, int i) {
        if (on && i < m_bars.size())
            QToolTip::showText(QCursor::pos(), m_bars[i].tip, m_view);
    });
    connect(overs, &QBarSet::hovered, this, [this, n](bool on, int i) {
        if (on && n + i < m_bars.size())
            QToolTip::showText(QCursor::pos(), m_bars[n + i].tip, m_view);
    });
    auto* series = new QBarSeries;
    series->append(refusals);
    series->append(overs);
    QChart* chart = NewChart(heading);
    QValueAxis* y = AddBars(chart, series, categories, 8);
    y->setRange(0, 100);
    y->setLabelFormat(QStringLiteral("%d %"));
    Replace(chart);
    SetTable({heading, Text("StatsTests"), Text("StatsRefusals"), Text("StatsRefusalRate"),
              Text("StatsRefusalRateAll"), Text("StatsOverLimit1"), Text("StatsOverRate"),
              Text("StatsOverRateAll")},
             rows);
}

void CStatsView::ShowDevice(const Answer& answer) {
    const QVector<Total> totals = ByGroup(answer.rows);
    auto* set = new QBarSet(Text("StatsTests"));
    QStringList categories;
    QVector<QStringList> rows;
    for (const Total& t : totals) {
        *set << double(t.tests);
        categories << t.group;
        Bar b;
        b.set = set->label();
        b.category = t.group;
        b.tip =
            QStringLiteral("%1\n%2 %3").arg(t.group, QString::number(t.tests), Text("StatsTests"));
        b.records = t.tests;
        b.clickable = t.tests > 0;
        b.filter = answer.filter;
        b.filter.allDevices = false;
        b.filter.device = t.group;
        m_bars.append(b);
        QStringList row{t.group, QString::number(t.tests)};
        for (qint64 m : t.modes)
            row << QString::number(m);
        row << QString::number(t.over[0]) << QString::number(t.over[1]);
        rows << row;
    }
    connect(set, &QBarSet::clicked, this, [this](int i) { ClickBar(i); });
    connect(set, &QBarSet::hovered, this, [this](bool on, int i) {
        if (on && i < m_bars.size())
            QToolTip::showText(QCursor::pos(), m_bars[i].tip, m_view);
    });
    auto* series = new QBarSeries;
    series->append(set);
    QChart* chart = NewChart(Text("StatsChartDevice"));
    chart->legend()->hide();
    AddBars(chart, series, categories, INT_MAX);
    Replace(chart);
    SetTable(CountHeadings("StatsDevice"), rows);
}

void CStatsView::ClickBar(int i) {
    if (i < 0 || i >= m_bars.size() || !m_bars[i].clickable)
        return;
    emit barClicked(m_bars[i].filter);
}

QWidget* CStatsView::Picture() const {
    return m_heat->isVisibleTo(this) ? static_cast<QWidget*>(m_heat)
                                     : static_cast<QWidget*>(m_view);
}

namespace {
// Writes through a private temporary file next to the target, then puts it in place.
bool WriteFile(const QString& path, const std::function<bool(const QString&)>& write,
               QString* error) {
    const QString temp = MakeExportTempFile(path, error);
    if (temp.isEmpty())
        return false;
    if (!write(temp)) {
        QFile::remove(temp);
        if (error)
            *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    if (!PlaceExportFile(temp, path, error)) {
        QFile::remove(temp);
        return false;
    }
    return true;
}
} // namespace

bool CStatsView::SavePng(const QString& path, QString* error) const {
    QWidget* picture = Picture();
    const QSize size = picture->size().isEmpty() ? QSize(900, 500) : picture->size();
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        picture->render(&painter);
    }
    return WriteFile(
        path, [&image](const QString& temp) { return image.save(temp, "PNG"); }, error);
}

bool CStatsView::SaveSvg(const QString& path, QString* error) const {
    QWidget* picture = Picture();
    const QSize size = picture->size().isEmpty() ? QSize(900, 500) : picture->size();
    return WriteFile(
        path,
        [&](const QString& temp) {
            QSvgGenerator svg;
            svg.setFileName(temp);
            svg.setSize(size);
            svg.setViewBox(QRect(QPoint(0, 0), size));
            svg.setTitle(m_chart->currentText());
            QPainter painter;
            if (!painter.begin(&svg))
                return false;
            picture->render(&painter);
            return painter.end();
        },
        error);
}

bool CStatsView::SaveCsv(const QString& path, QString* error) const {
    const QVector<QStringList> cells = TableCells();
    return WriteFile(
        path,
        [&cells](const QString& temp) {
            QFile file(temp);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            QByteArray bytes(Csv::kBom);
            for (const QStringList& row : cells)
                bytes += Csv::Line(row);
            return file.write(bytes) == bytes.size() && file.flush();
        },
        error);
}

void CStatsView::Save(const char* kind) {
    const QString filter = QStringLiteral("*.%1").arg(QLatin1String(kind));
    QString path = QFileDialog::getSaveFileName(window(), QString(), QString(), filter);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().compare(QLatin1String(kind), Qt::CaseInsensitive) != 0)
        path += QLatin1Char('.') + QLatin1String(kind);
    QString error;
    const bool ok = qstrcmp(kind, "png") == 0   ? SavePng(path, &error)
                    : qstrcmp(kind, "svg") == 0 ? SaveSvg(path, &error)
                                                : SaveCsv(path, &error);
    emit statusChanged(ok ? Text("StatsSaved") + QLatin1Char(' ') + path
                          : Text("StatsSaveFailed") + QLatin1Char(' ') + path +
                                QStringLiteral(" (") + error + QLatin1Char(')'));
}
