// The history page's workbench: filters beside Query, sorting by heading, all devices, the
// meter showing the selected result, a long list read a block at a time (and again after a
// Cancel cut its read off).
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/StatusWindow.h"
#include "common/TestSupport.h"
#include "controls/Meter.h"
#include "history/page/History.h"
#include "history/page/HistoryModel.h"
#include "history/page/StatsView.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTabBar>
#include <QTableView>
#include <QThread>
#include <gtest/gtest.h>

using historytest::Db;
using historytest::Record;
using namespace HistoryIds;

namespace {

class HistoryWorkbenchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Db db;
        db.Titles("D1", {"Alc"});
        db.Titles("D2", {"Plate", "Alc"});
        db.Add({"D1", "1", "2024-05-01", "08:00:00", "Auto", "0.250", "mg/L"});
        db.Add({"D1", "2", "2024-05-02", "08:00:00", "Refuse", "", "mg/L"});
        db.Add({"D1", "10", "2024-05-03", "08:00:00", "Manual", "3.5", "mg/L"});
        db.Add({"D2", "7", "2024-05-04", "08:00:00", "Auto", "45", "mg/100mL"});
    }
    template <class T> T* Get(CHistory& page, int id) { return qobject_cast<T*>(page.Control(id)); }
    QStringList Column(CHistory& page, int c) {
        QStringList out;
        for (int r = 0; r < page.ListRowCount(); ++r)
            out << page.ListCell(r, c);
        return out;
    }
    brtxtest::TempHome home;
    brtxtest::StatusWindow status;
};

} // namespace

TEST_F(HistoryWorkbenchTest, FiltersApplyOnQueryAndEnter) {
    CHistory page;
    status.Follow(&page);
    struct Case {
        QString search;
        int mode; // index in the mode box
        QString min, max;
        QStringList records;
    };
    const QVector<Case> cases = {
        {"", 0, "", "", {"10", "2", "1"}}, {"REFUSED", 0, "", "", {"2"}}, {"", 1, "", "", {"1"}},
        {"", 0, "0.3", "", {"10"}},        {"", 0, "", "1", {"1"}},       {"%", 0, "", "", {}},
    };
    for (const Case& c : cases) {
        Get<QLineEdit>(page, kSearch)->setText(c.search);
        Get<QComboBox>(page, kMode)->setCurrentIndex(c.mode);
        Get<QLineEdit>(page, kMinResult)->setText(c.min);
        Get<QLineEdit>(page, kMaxResult)->setText(c.max);
        page.OnBnClickedQuery();
        EXPECT_EQ(Column(page, 1), c.records) << c.search.toStdString() << c.mode;
    }
    EXPECT_EQ(Get<QLabel>(page, kRowCount)->text(), "0 records");

    // Enter in the search box queries.
    Get<QLineEdit>(page, kSearch)->setText("F1-10");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(Get<QLineEdit>(page, kSearch), &enter);
    EXPECT_EQ(Column(page, 1), QStringList({"10"}));
    EXPECT_EQ(Get<QLabel>(page, kRowCount)->text(), "1 records");

    // Bad bounds: said so, the list stays as it is.
    for (auto [min, max, text] : {std::tuple{"x", "", "The result range needs numbers"},
                                  std::tuple{"2", "1", "The minimum result is above"}}) {
        Get<QLineEdit>(page, kMinResult)->setText(min);
        Get<QLineEdit>(page, kMaxResult)->setText(max);
        page.OnBnClickedQuery();
        EXPECT_TRUE(status.status().contains(text)) << status.status().toStdString();
        EXPECT_EQ(Column(page, 1), QStringList({"10"}));
    }
}

TEST_F(HistoryWorkbenchTest, HeadingClicksSortAndReverse) {
    CHistory page;
    status.Follow(&page);
    page.OnBnClickedQuery();
    EXPECT_EQ(Column(page, 1), QStringList({"10", "2", "1"})); // as numbers, descending
    QHeaderView* header = Get<QTableView>(page, kList)->horizontalHeader();
    emit header->sectionClicked(1);
    EXPECT_EQ(Column(page, 1), QStringList({"1", "2", "10"})); // as numbers
    emit header->sectionClicked(1);
    EXPECT_EQ(Column(page, 1), QStringList({"10", "2", "1"}));
    emit header->sectionClicked(5);
    EXPECT_EQ(Column(page, 5), QStringList({"", "0.250", "3.5"}));
    EXPECT_EQ(header->sortIndicatorSection(), 5);
    EXPECT_EQ(page.ListRowCount(), 3);
}

TEST_F(HistoryWorkbenchTest, AllDevicesListEveryDeviceUnderUnitedTitles) {
    CHistory page;
    status.Follow(&page);
    page.WaitForList(); // the device list comes from the worker
    Get<QComboBox>(page, kDeviceBox)->setCurrentIndex(0);
    ASSERT_TRUE(page.AllDevices());
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListHeading(7), "Alc");
    EXPECT_EQ(page.ListHeading(8), "Plate");
    EXPECT_EQ(Column(page, 1), QStringList({"7", "10", "2", "1"}));
    EXPECT_EQ(Column(page, 7), QStringList({"F2-7", "F1-10", "F1-2", "F1-1"}));
    EXPECT_EQ(Column(page, 8), QStringList({"F1-7", "", "", ""}));
}

TEST_F(HistoryWorkbenchTest, MeterShowsTheSelectedResult) {
    CHistory page;
    status.Follow(&page);
    page.OnBnClickedQuery();
    page.WaitForList();
    auto* meter = Get<CMeter>(page, kMeter);
    auto* list = Get<QTableView>(page, kList);
    const int faces = meter->FaceBuildCount();
    struct Case {
        int row;
        QString text;
        double value;
        double full;
    };
    for (const Case& c : {Case{2, "0.250 mg/L", 0.25, 2.0}, Case{0, "3.5 mg/L", 2.0, 2.0},
                          Case{1, QString::fromUtf8("\u2014"), 0.0, 2.0}}) {
        list->selectRow(c.row);
        EXPECT_EQ(meter->ValueText(), c.text);
        EXPECT_DOUBLE_EQ(meter->Value(), c.value); // off the scale: pinned at its end
        EXPECT_DOUBLE_EQ(meter->Maximum(), c.full);
    }
    EXPECT_LE(meter->FaceBuildCount(), faces + 1); // drawn again only for the new scale
    page.OnBnClickedQuery();
    EXPECT_EQ(meter->ValueText(), "0.0");
    EXPECT_DOUBLE_EQ(meter->Value(), 0.0);
}

TEST_F(HistoryWorkbenchTest, LongListIsHeldABlockAtATime) {
    {
        Db db;
        db.AddMany("BIG", 5000, "2024-06-01");
    }
    CHistory page;
    status.Follow(&page);
    page.resize(1000, 600);
    page.show();
    page.WaitForList(); // the device list comes from the worker
    auto* box = Get<QComboBox>(page, kDeviceBox);
    box->setCurrentIndex(box->findText("BIG"));
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 5000);
    CHistoryModel* model = page.Model();
    EXPECT_LE(model->HeldBlocks(), 3);
    // The end of the list comes as it is scrolled to; the rows agree with the source's order.
    Get<QTableView>(page, kList)->scrollToBottom();
    ASSERT_TRUE(brtxtest::waitFor([&] { return model->HasRow(4999); }));
    EXPECT_EQ(page.ListCell(4999, 1), "1");
    EXPECT_EQ(page.ListCell(0, 1), "5000");
    // Blocks whose reads a Cancel cut off are read again when they are drawn again.
    for (const int r : {1000, 1400}) {
        ASSERT_FALSE(model->HasRow(r));
        model->Request(r); // as scrolling there does
    }
    page.CancelReads();
    page.WaitForList();
    for (const int r : {1000, 1400}) {
        // Drawn again while waiting, as a view repaints: the cut-off read's answer may come in
        // after the first draw.
        ASSERT_TRUE(brtxtest::waitFor([&] {
            model->data(model->index(r, 1));
            return model->HasRow(r);
        })) << r;
        EXPECT_EQ(page.ListCell(r, 1), QString::number(5000 - r));
    }
    // Selecting a row whose block is not held reads it on the worker, then shows the record.
    const int far = 2500;
    ASSERT_FALSE(model->HasRow(far));
    Get<QTableView>(page, kList)->selectRow(far);
    EXPECT_TRUE(page.ReadPending());
    page.WaitForList();
    ASSERT_TRUE(model->HasRow(far));
    EXPECT_EQ(page.SelectedRow(), far);
    EXPECT_EQ(page.SelectedPath(), model->Row(far)->path);
    EXPECT_FALSE(page.SelectedPath().isEmpty());
    EXPECT_TRUE(page.PictureShown());
    for (int r = 0; r < 5000; r += 97)
        page.ListCell(r, 0);
    EXPECT_LE(model->HeldBlocks(), CHistoryModel::kMaxBlocks);
}

TEST_F(HistoryWorkbenchTest, SearchAndSortAsTheUserSeesThem) {
    // A station's day: names, plates and places; with BRTX_SHOT_DIR set the page is kept as a
    // picture (the screenshots of docs/history.md).
    {
        Db db;
        db.Titles("0123456789", {"Name", "Plate", "Place"});
        const char* names[] = {"Anna Müller", "Wang Wei", "张伟",       "Jean Dupont",
                               "Li Na",       "O'Brien",  "Søren Kjær", "Maria García"};
        const char* places[] = {"Ring road km 12", "人民广场", "Harbour gate", "Main street 4"};
        for (int n = 1; n <= 40; ++n) {
            QStringList v = historytest::Values(
                {"0123456789", QString::number(n),
                 QStringLiteral("2024-06-%1").arg(1 + n % 28, 2, 10, QChar('0')),
                 QStringLiteral("%1:%2:00")
                     .arg(7 + n % 12, 2, 10, QChar('0'))
                     .arg(n * 7 % 60, 2, 10, QChar('0')),
                 n % 9 == 0 ? "Refuse" : (n % 4 == 0 ? "Manual" : "Auto"),
                 n % 9 == 0 ? "" : QString::number((n * 37 % 90) / 100.0, 'f', 3), "mg/L"});
            v[15] = QString::fromUtf8(names[n % 8]);
            v[16] = QStringLiteral("B-%1").arg(n * 7919 % 100000, 5, 10, QChar('0'));
            v[17] = QString::fromUtf8(places[n % 4]);
            db.db().ExecuteSQL(Statements::InsertValueInfo(v));
        }
    }
    CHistory page;
    status.Follow(&page);
    page.resize(1280, 640);
    page.show();
    page.WaitForList(); // the device list comes from the worker
    auto* box = Get<QComboBox>(page, kDeviceBox);
    box->setCurrentIndex(box->findText("0123456789"));
    Get<QLineEdit>(page, kSearch)->setText("müller");
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 5);
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ(page.ListCell(r, 7), "Anna Müller");
    auto* list = Get<QTableView>(page, kList);
    list->selectRow(1);
    page.WaitForList(); // the photograph comes from the worker
    const QString dir = qEnvironmentVariable("BRTX_SHOT_DIR");
    auto keep = [&](const char* name) {
        QCoreApplication::processEvents();
        if (!dir.isEmpty())
            page.grab().save(dir + '/' + QLatin1String(name));
    };
    keep("history-search.png");

    Get<QLineEdit>(page, kSearch)->clear();
    page.OnBnClickedQuery();
    emit list->horizontalHeader()->sectionClicked(5);
    emit list->horizontalHeader()->sectionClicked(5);
    EXPECT_EQ(page.ListCell(0, 5), "0.890");
    list->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    keep("history-sorted.png");
}

TEST_F(HistoryWorkbenchTest, StatisticsTabAsTheUserSeesIt) {
    // Three instruments over two months with officers and the usual limits; with
    // BRTX_SHOT_DIR set the tab is kept as pictures (the screenshots of docs/history.md).
    QFile assets(brtxtest::sourceDir() + "/assets/Language.ini");
    ASSERT_TRUE(assets.open(QIODevice::ReadOnly));
    home.writeLanguage(
        assets.readAll().replace("[Global]", "[Global]\nLimits=mg/L:0.25,0.40;g/L:0.5,0.8"));
    {
        Db db;
        const char* devices[] = {"0123456789", "0123456790", "0123456791"};
        const char* officers[] = {"Anna Müller", "Wang Wei",   "Jean Dupont", "Li Na",
                                  "O'Brien",     "Søren Kjær", "Maria García"};
        db.db().ExecuteSQL("BEGIN");
        for (const char* d : devices)
            db.Titles(d, {"Officer", "Plate", "Place"});
        for (int n = 1; n <= 900; ++n) {
            const int device = n % 7 < 4 ? 0 : (n % 7 < 6 ? 1 : 2);
            const int day = (n * 37) % 61;
            const int hour = (n % 5 == 0) ? 22 + n % 3 : 7 + (n * 13) % 12;
            const bool refused = n % 17 == 0 || (n % 7 == 3 && n % 3 == 0);
            // Most results low, a tail over the limits.
            const double result =
                (n * 7919 % 1000) < 700 ? (n * 31 % 120) / 1000.0 : (n * 53 % 600) / 1000.0;
            QStringList v =
                historytest::Values({devices[device], QString::number(n),
                                     QDate(2024, 5, 1).addDays(day).toString(Qt::ISODate),
                                     QStringLiteral("%1:%2:00")
                                         .arg(hour % 24, 2, 10, QChar('0'))
                                         .arg(n * 7 % 60, 2, 10, QChar('0')),
                                     refused ? "Refuse" : (n % 11 == 0 ? "Manual" : "Auto"),
                                     refused ? "" : QString::number(result, 'f', 3), "mg/L"});
            v[15] = QString::fromUtf8(officers[(n * 3 + n / 5) % 7]);
            v[16] = QStringLiteral("B-%1").arg(n * 7919 % 100000, 5, 10, QChar('0'));
            v[17] = QStringLiteral("Checkpoint %1").arg(n % 4 + 1);
            db.db().ExecuteSQL(Statements::InsertValueInfo(v));
        }
        db.db().ExecuteSQL("COMMIT");
    }
    CHistory page;
    status.Follow(&page);
    page.resize(1280, 760);
    page.show();
    page.WaitForList();                                   // the device list comes from the worker
    Get<QComboBox>(page, kDeviceBox)->setCurrentIndex(0); // every device
    page.OnBnClickedQuery();
    ASSERT_TRUE(page.WaitForList());
    ASSERT_GE(page.ListRowCount(), 900);
    page.Tabs()->setCurrentIndex(1);
    CStatsView* stats = page.Stats();
    const QString dir = qEnvironmentVariable("BRTX_SHOT_DIR");
    const struct {
        CStatsView::Chart chart;
        const char* name;
    } shots[] = {{CStatsView::Period, "history-stats-period.png"},
                 {CStatsView::Results, "history-stats-results.png"},
                 {CStatsView::Heat, "history-stats-heat.png"},
                 {CStatsView::Field, "history-stats-officer.png"}};
    for (const auto& shot : shots) {
        if (shot.chart == CStatsView::Period)
            Get<QComboBox>(page, StatsIds::kPeriod)->setCurrentIndex(1); // per week
        stats->SetChart(shot.chart);
        for (int i = 0; i < 2000 && stats->Busy(); ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        ASSERT_FALSE(stats->Busy());
        EXPECT_FALSE(stats->Bars().isEmpty()) << shot.name;
        QCoreApplication::processEvents();
        if (!dir.isEmpty())
            page.grab().save(dir + '/' + QLatin1String(shot.name));
    }
}

TEST_F(HistoryWorkbenchTest, DamagedOrMissingDatabaseIsSaidAndLeftAlone) {
    CHistory page;
    status.Follow(&page);
    const QString db = GetDatabasePath();
    for (const QByteArray& content : {QByteArray(), QByteArray(4096, 'x')}) {
        QFile::remove(db);
        if (!content.isEmpty()) {
            QFile f(db);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        page.OnBnClickedQuery();
        page.WaitForList(); // the answer (a failure) arrives from the worker
        EXPECT_TRUE(status.status().startsWith("Cannot read the records:"))
            << status.status().toStdString();
        EXPECT_EQ(page.ListRowCount(), 0);
        EXPECT_EQ(QFile::exists(db), !content.isEmpty()); // nothing made
        if (!content.isEmpty()) {
            QFile f(db);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), content); // nothing changed
        }
    }
}
