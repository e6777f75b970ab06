// The history page: device box, columns, query, selection and picture, resize, meter,
// deletion handler.
#include "HistoryDb.h"

#include "base/Language.h"
#include "common/TestSupport.h"
#include "controls/Meter.h"
#include "history/page/History.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <gtest/gtest.h>

using historytest::Db;
using historytest::Record;
using namespace HistoryIds;

namespace {

class HistoryPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", home.file("failer.jpg"));
    }

    QComboBox* Box(CHistory& page) { return qobject_cast<QComboBox*>(page.Control(kDeviceBox)); }
    QTableView* List(CHistory& page) { return qobject_cast<QTableView*>(page.Control(kList)); }
    QWidget* Frame(CHistory& page) { return page.Control(kPicture); }
    void SetDates(CHistory& page, const QString& start, const QString& end) {
        qobject_cast<QDateEdit*>(page.Control(kStartDate))
            ->setDate(QDate::fromString(start, "yyyy-MM-dd"));
        qobject_cast<QDateEdit*>(page.Control(kEndDate))
            ->setDate(QDate::fromString(end, "yyyy-MM-dd"));
    }
    QStringList Headings(CHistory& page) {
        QStringList h;
        for (int c = 0; c < page.ListColumnCount(); ++c)
            h << page.ListHeading(c);
        return h;
    }

    brtxtest::TempHome home;
};

} // namespace

TEST_F(HistoryPageTest, ControlsCaptionsAndMeter) {
    Db db;
    CHistory page;
    const QList<std::pair<int, QString>> captions = {{kDeviceLabel, "Device No."},
                                                     {kStartLabel, "Start Date"},
                                                     {kEndLabel, "End Date"},
                                                     {kQuery, "Query"},
                                                     {kExportExcel, "Export excel"},
                                                     {kExportPdf, "Export PDF"},
                                                     {kDelete, "Delete"}};
    for (const auto& [id, text] : captions) {
        QWidget* control = page.Control(id);
        ASSERT_NE(control, nullptr) << id;
        EXPECT_EQ(control->property("ctrlId").toInt(), id);
        EXPECT_EQ(control->property("text").toString(), text) << id;
    }
    for (int id : {kDeviceBox, kStartDate, kEndDate, kList, kPicture, kMeter})
        EXPECT_NE(page.Control(id), nullptr) << id;

    page.resize(1000, 600);
    page.show();
    EXPECT_FALSE(page.Control(kDelete)->isVisible()); // never offered
    EXPECT_FALSE(Frame(page)->isVisible());           // nothing selected yet

    // Dates are shown and used as "yyyy-MM-dd".
    auto* start = qobject_cast<QDateEdit*>(page.Control(kStartDate));
    EXPECT_EQ(start->displayFormat(), "yyyy-MM-dd");
    SetDates(page, "2023-04-05", "2024-01-02");
    EXPECT_EQ(page.StartDateText(), "2023-04-05");
    EXPECT_EQ(page.EndDateText(), "2024-01-02");
    EXPECT_EQ(start->text(), "2023-04-05");

    auto* meter = qobject_cast<CMeter*>(page.Control(kMeter));
    ASSERT_NE(meter, nullptr);
    EXPECT_EQ(meter->ColorTick(), 0x00EBFFFFu);
    EXPECT_EQ(meter->DrawFlag(), 1);
    EXPECT_EQ(meter->Caption(), "BrAC");
    EXPECT_EQ(meter->ValueText(), "0.0");
}

TEST_F(HistoryPageTest, EmptyDatabaseHasNoDevicesAndNoColumns) {
    Db db;
    CHistory page;
    EXPECT_EQ(Box(page)->count(), 0);
    EXPECT_EQ(page.CurrentDevice(), QString());
    EXPECT_EQ(page.ListColumnCount(), 0);
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListRowCount(), 0);
    EXPECT_EQ(page.ResultRowCount(), 0);
    EXPECT_EQ(page.SelectedRow(), -1);
}

TEST_F(HistoryPageTest, DeviceBoxKeepsTheChosenDeviceAndRebuildsOnlyOnChange) {
    Db db;
    db.Titles("B200", {"Alc", "Name", "Place"});
    db.Titles("A100", {"One"});
    db.Add({"B200", "1", "2024-02-02"});
    db.Add({"B200", "2", "2024-02-03"});
    CHistory page;
    page.WaitForList(); // the device list and the columns come from the worker
    QComboBox* box = Box(page);
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->itemText(0), "All devices"); // first, the first device chosen
    EXPECT_EQ(box->itemText(1), "A100");        // sorted
    EXPECT_EQ(page.CurrentDevice(), "A100");
    EXPECT_EQ(page.ListColumnCount(), 10);   // the source's 9, then Calibration
    EXPECT_EQ(page.ResultColumnCount(), 22); // the title load's counts
    // Laid out before the page was ever shown, the headings are still readable in full.
    const QFontMetrics fm = List(page)->horizontalHeader()->fontMetrics();
    for (int c = 0; c < page.ListColumnCount(); ++c)
        EXPECT_GT(List(page)->columnWidth(c), fm.horizontalAdvance(page.ListHeading(c))) << c;
    EXPECT_EQ(page.ResultRowCount(), 1);

    box->setCurrentIndex(2);
    EXPECT_EQ(page.CurrentDevice(), "B200");
    EXPECT_EQ(Headings(page),
              QStringList({"Device No.", "Record No", "Date", "Time", "Test Mode", "Test Result",
                           "Unit", "Alc", "Name", "Place", "GPS", "Calibration"}));
    SetDates(page, "2024-01-01", "2024-12-31");
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListRowCount(), 2);
    EXPECT_EQ(page.ListCell(0, 10), "2.5 2.25");
    EXPECT_EQ(page.ListCell(0, 11), "unknown"); // no log of the instrument
    EXPECT_EQ(page.ListCell(0, 12), QString()); // outside the list
    EXPECT_EQ(page.ListCell(5, 0), QString());

    // A new device elsewhere: the chosen one stays, nothing is rebuilt.
    db.Titles("C300", {"X"});
    page.RefreshDeviceList();
    page.WaitForList();
    EXPECT_EQ(box->count(), 4);
    EXPECT_EQ(page.CurrentDevice(), "B200");
    EXPECT_EQ(page.ListRowCount(), 2);

    // Another device and back: laid out anew, the rows are gone until the next query.
    box->setCurrentIndex(1);
    page.WaitForList();
    EXPECT_EQ(page.ListColumnCount(), 10);
    box->setCurrentIndex(2);
    page.WaitForList();
    EXPECT_EQ(page.ListColumnCount(), 12);
    EXPECT_EQ(page.ListRowCount(), 0);
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListRowCount(), 2);
    // Choosing the shown device again changes nothing.
    emit box->currentIndexChanged(2); // the same device once more
    EXPECT_EQ(page.ListRowCount(), 2);
    EXPECT_EQ(page.ListColumnCount(), 12);

    // The chosen device disappears: the first one is shown and laid out.
    db.db().ExecuteSQL("DELETE FROM TitleInfo WHERE DeviceID='B200'");
    db.db().ExecuteSQL("DELETE FROM ValueInfo WHERE Machine_NO='B200'");
    page.RefreshDeviceList();
    EXPECT_EQ(page.CurrentDevice(), "A100");
    EXPECT_EQ(page.ListColumnCount(), 10);
    EXPECT_EQ(page.ListRowCount(), 0);
}

TEST_F(HistoryPageTest, QueryFillsSortsAndForgetsTheSelection) {
    Db db;
    db.Titles("D1", {"Alc"});
    for (const char* no : {"1", "2", "10"})
        db.Add({"D1", no, "2024-05-05", "08:00:00", "Refuse"});
    db.Add({"D1", "3", "2024-05-05", "08:00:00", "refuse"});
    db.Add({"D1", "4", "2025-05-05"});
    CHistory page;
    SetDates(page, "2024-01-01", "2024-12-31");
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 4);
    EXPECT_EQ(page.ResultRowCount(), 4);
    EXPECT_EQ(page.ResultColumnCount(), 30);
    QStringList order;
    for (int r = 0; r < page.ListRowCount(); ++r)
        order << page.ListCell(r, 1);
    EXPECT_EQ(order, QStringList({"10", "3", "2", "1"})); // record numbers as numbers
    EXPECT_EQ(page.ListCell(0, 4), "Refused");
    EXPECT_EQ(page.ListCell(1, 4), "refuse");

    List(page)->selectRow(2);
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.SelectedRow(), 2);
    EXPECT_EQ(page.SelectedPath(), "\\D1\\00002.jpg");

    // A new query (even the same one) refills the list: the selection is gone.
    page.OnBnClickedQuery();
    EXPECT_EQ(page.SelectedRow(), -1);
    EXPECT_EQ(page.SelectedPath(), QString());
    EXPECT_EQ(page.PicturePath(), QString());
    EXPECT_FALSE(page.PictureShown());

    // Start after end: an empty list.
    SetDates(page, "2024-12-31", "2024-01-01");
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListRowCount(), 0);
    EXPECT_EQ(page.ResultRowCount(), 0);

    // Columns are sized to the larger of contents and heading.
    SetDates(page, "2024-01-01", "2025-12-31");
    page.OnBnClickedQuery();
    QTableView* list = List(page);
    const QFontMetrics fm = list->fontMetrics();
    for (int c = 0; c < page.ListColumnCount(); ++c) {
        EXPECT_GE(list->columnWidth(c), fm.horizontalAdvance(page.ListHeading(c))) << c;
        EXPECT_GE(list->columnWidth(c), fm.horizontalAdvance(page.ListCell(0, c))) << c;
    }
}

TEST_F(HistoryPageTest, SelectionShowsThePictureOrTheReplacement) {
    Db db;
    db.Titles("D1", {"Alc"});
    db.Add({"D1", "1", "2024-05-05"});                                                 // missing
    db.Add({"D1", "2", "2024-05-05", "08:00:00", "Auto", "0.1", "mg/L", "-"});         // empty
    db.Add({"D1", "3", "2024-05-05", "08:00:00", "Auto", "0.1", "mg/L", "/D1/3.jpg"}); // slashes
    db.Add({"D1", "4", "2024-05-05"});
    ASSERT_TRUE(historytest::WritePicture("\\D1\\00004.jpg", 64, 48));
    ASSERT_TRUE(historytest::WritePicture("/D1/3.jpg", 40, 30));
    const QSize failer = QImage(home.file("failer.jpg")).size();
    ASSERT_FALSE(failer.isEmpty());

    CHistory page;
    page.resize(1000, 600);
    page.show();
    SetDates(page, "2024-01-01", "2024-12-31");
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 4);
    EXPECT_FALSE(Frame(page)->isVisible());

    QTableView* list = List(page);
    list->selectRow(0); // record 4
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.PicturePath(), home.path() + "/pic/D1/00004.jpg");
    EXPECT_TRUE(Frame(page)->isVisible());
    EXPECT_EQ(Frame(page)->size(), QSize(64, 48));
    // At the top of the side beside the list.
    EXPECT_GT(Frame(page)->mapTo(&page, QPoint(0, 0)).x(), List(page)->geometry().right());
    // The picture is drawn into the frame.
    const QImage shot = Frame(page)->grab().toImage();
    EXPECT_LT(shot.pixelColor(32, 24).red(), 60);
    EXPECT_GT(shot.pixelColor(32, 24).blue(), 180);

    list->selectRow(1); // record 3, stored with forward slashes
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(Frame(page)->size(), QSize(40, 30));

    list->selectRow(3); // record 1: no picture file
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.SelectedPath(), "\\D1\\00001.jpg");
    EXPECT_EQ(Frame(page)->size(), failer);

    list->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    list->selectRow(2); // record 2: empty Path, the picture folder itself
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.SelectedPath(), QString());
    EXPECT_EQ(page.PicturePath(), home.path() + "/pic");
    EXPECT_EQ(Frame(page)->size(), failer);

    // Without failer.jpg the frame shows nothing: never the picture of the record selected
    // before, which would pass for this record's.
    list->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    QFile::remove(home.file("failer.jpg"));
    list->selectRow(3);
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.SelectedRow(), 3);
    const QImage empty = Frame(page)->grab().toImage();
    EXPECT_FALSE(empty.pixelColor(32, 24).blue() > 180 && empty.pixelColor(32, 24).red() < 60);
}

TEST_F(HistoryPageTest, ListTakesTheFreeWidthAndTheViewIsRemembered) {
    Db db;
    db.Titles("D1", {"Alc", "Name"});
    auto* page = new CHistory;
    page->show();
    page->resize(1000, 600);
    page->WaitForList(); // the columns come from the worker
    QTableView* list = List(*page);
    auto* splitter = qobject_cast<QSplitter*>(page->Control(kSplitter));
    ASSERT_TRUE(splitter);
    QWidget* meter = page->Control(kMeter);
    auto checkInside = [&] {
        // The list is wider than the side; the meter stays on the page, right of the list.
        EXPECT_GT(list->width(), splitter->sizes().value(1));
        const QRect m(meter->mapTo(page, QPoint(0, 0)), meter->size());
        EXPECT_TRUE(page->rect().contains(m));
        EXPECT_GT(m.left(), list->geometry().right());
    };
    checkInside();
    page->resize(1400, 800);
    checkInside();
    // At 1400x900 the list has at least 70% of the page; the meter sits under the picture,
    // within the picture's width, not at the far corner.
    page->resize(1400, 900);
    QApplication::processEvents();
    checkInside();
    EXPECT_GE(list->width(), 1400 * 7 / 10);
    const QRect m(meter->mapTo(page, QPoint(0, 0)), meter->size());
    EXPECT_LT(m.bottom(), 84 + 28 + 240 + 8 + 190 + 2); // below the filters and the tabs

    // The user drags the splitter, narrows a column and hides another: all come back.
    splitter->setSizes({700, 600});
    emit splitter->splitterMoved(700, 1);
    list->horizontalHeader()->resizeSection(1, 33);
    list->horizontalHeader()->setSectionHidden(8, true);
    emit list->horizontalHeader()->sectionResized(8, 50, 0);
    const QList<int> sizes = splitter->sizes();
    delete page;
    ASSERT_TRUE(QFile::exists(home.file("brtx-view.ini")));
    CHistory again;
    again.show();
    again.resize(1400, 800);
    again.WaitForList(); // the columns come from the worker
    EXPECT_EQ(qobject_cast<QSplitter*>(again.Control(kSplitter))->sizes(), sizes);
    EXPECT_EQ(List(again)->columnWidth(1), 33);
    EXPECT_TRUE(List(again)->horizontalHeader()->isSectionHidden(8));
    EXPECT_FALSE(List(again)->horizontalHeader()->isSectionHidden(7));
}

TEST_F(HistoryPageTest, DeletionWithoutKelInfoOnlyEmptiesTheList) {
    Db db;
    db.Titles("D1", {"Alc"});
    db.Add({"D1", "1", "2024-05-05"});
    ASSERT_TRUE(historytest::WritePicture("\\D1\\00001.jpg", 20, 20));
    CHistory page;
    page.show();
    SetDates(page, "2024-01-01", "2024-12-31");
    page.OnBnClickedQuery();
    page.WaitForList();
    List(page)->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_TRUE(Frame(page)->isVisible());

    page.OnBnClickedDelete();
    EXPECT_EQ(page.ListRowCount(), 0);
    EXPECT_FALSE(Frame(page)->isVisible());
    EXPECT_FALSE(page.PictureShown());
    EXPECT_EQ(page.SelectedRow(), -1);
    EXPECT_TRUE(QFile::exists(home.path() + "/pic/D1/00001.jpg"));
    page.OnBnClickedQuery();
    EXPECT_EQ(page.ListRowCount(), 1); // ValueInfo untouched
}

TEST_F(HistoryPageTest, DeletionOnKelInfoRemovesRowsAndFilesInTheRange) {
    Db db;
    db.Titles("D1", {"Alc"});
    // An earlier table layout: the file name sits in the column the page reads (the last
    // column of its last result, here the 22 of the title load).
    QString columns;
    for (int i = 1; i <= 20; ++i)
        columns += QStringLiteral("c%1,").arg(i);
    ASSERT_EQ(db.db().ExecuteSQL("CREATE TABLE KelInfo(" + columns + "TestDate,FileName)"), 0);
    auto addKel = [&](const QString& date, const QString& file) {
        QString values;
        for (int i = 1; i <= 20; ++i)
            values += "'',";
        db.db().ExecuteSQL("INSERT INTO KelInfo VALUES(" + values + "'" + date + "','" + file +
                           "')");
        QFile f(file);
        f.open(QIODevice::WriteOnly);
    };
    const QString inside = home.file("in.jpg");
    const QString outside = home.file("out.jpg");
    addKel("2024-03-03", inside);
    addKel("2022-03-03", outside);

    CHistory page;
    page.show();
    ASSERT_EQ(page.ResultColumnCount(), 22);

    // No row in the range: nothing deleted.
    SetDates(page, "2020-01-01", "2020-12-31");
    page.OnBnClickedDelete();
    EXPECT_TRUE(QFile::exists(inside));
    EXPECT_FALSE(page.PictureShown());
    EXPECT_EQ(db.db().QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 2);

    SetDates(page, "2024-01-01", "2024-12-31");
    page.OnBnClickedDelete();
    EXPECT_FALSE(QFile::exists(inside));
    EXPECT_TRUE(QFile::exists(outside));
    EXPECT_EQ(db.db().QuerySQL("SELECT * FROM KelInfo").GetRowCount(), 1);
    EXPECT_TRUE(page.PictureShown());
    EXPECT_EQ(page.ResultRowCount(), 0);
    EXPECT_EQ(page.ResultColumnCount(), 0);
}
