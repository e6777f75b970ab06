// The history page's workbench: filters beside Query, sorting by heading, all devices, the
// meter showing the selected result, a long list read a block at a time.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/StatusWindow.h"
#include "common/TestSupport.h"
#include "controls/Meter.h"
#include "history/page/History.h"
#include "history/page/HistoryModel.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTableView>
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
    auto* box = Get<QComboBox>(page, kDeviceBox);
    box->setCurrentIndex(box->findText("0123456789"));
    Get<QLineEdit>(page, kSearch)->setText("müller");
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 5);
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ(page.ListCell(r, 7), "Anna Müller");
    auto* list = Get<QTableView>(page, kList);
    list->selectRow(1);
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
    keep("history-sorted.png");
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
