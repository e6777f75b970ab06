// The history page's seal column: marks of the rows on screen, and only those are checked.
#include "common/TestSupport.h"
#include "history/HistoryDb.h"

#include "history/page/History.h"
#include "history/page/HistoryModel.h"
#include "store/Seal.h"

#include <QApplication>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QTableView>
#include <gtest/gtest.h>

TEST(SealColumn, MarksOnlyTheRowsOnScreen) {
    brtxtest::TempHome home;
    historytest::Db db;
    db.Titles("D1", {"Alc"});
    db.AddMany("D1", 2000, "2024-05-05");
    ASSERT_EQ(Seal::SealUnsealed(db.db(), "D1", GetPicFolder(), "cli"), 2000);
    db.db().ExecuteSQL("UPDATE ValueInfo SET Test_Result='0' WHERE Record_No='2000'");
    db.Add({"D1", "2001", "2024-05-05"}); // stored without a seal

    CHistory page;
    page.resize(1000, 600);
    page.show();
    static_cast<QDateEdit*>(page.Control(HistoryIds::kStartDate))->setDate(QDate(2024, 1, 1));
    static_cast<QDateEdit*>(page.Control(HistoryIds::kEndDate))->setDate(QDate(2024, 12, 31));
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 2001);
    auto* list = static_cast<QTableView*>(page.Control(HistoryIds::kList));
    auto* model = static_cast<CHistoryModel*>(list->model());
    list->scrollToTop();
    QApplication::processEvents();
    list->viewport()->repaint();
    list->verticalHeader()->viewport()->repaint();
    // Rows come newest number first: "2001" (stored without a seal), "2000" (changed since its
    // seal), then "1999".
    auto mark = [&](int row) { return model->headerData(row, Qt::Vertical).toString(); };
    // The device's check runs on a helper thread; the marks come when it is back.
    QElapsedTimer waited;
    waited.start();
    while (mark(0).isEmpty() && waited.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(page.ListCell(0, 1), "2001");
    EXPECT_EQ(page.ListCell(1, 1), "2000");
    EXPECT_EQ(mark(0), "\u2013");
    EXPECT_EQ(mark(1), "\u2717");
    EXPECT_EQ(mark(2), "\u2713");
    EXPECT_LT(model->SealMarks().CheckedCount(), 100);
}

TEST(SealColumn, EachStateAsTheUserSeesIt) {
    // Five records of a download: 5 and 3 unchanged, 4 edited afterwards, 2 with its
    // photograph gone, 1 stored without a seal. With BRTX_SHOT_DIR set the page is kept as
    // the manual's picture of the seal column.
    brtxtest::TempHome home;
    historytest::Db db;
    db.Titles("0123456789", {"Name", "Plate", "Place"});
    for (int n = 2; n <= 5; ++n) {
        db.Add({"0123456789", QString::number(n), "2024-06-0" + QString::number(n),
                QStringLiteral("0%1:15:00").arg(n), "Auto", QString::number(n * 0.071, 'f', 3)});
        const QString pic =
            GetPicFolder() + QStringLiteral("/0123456789/%1.jpg").arg(n, 5, 10, QLatin1Char('0'));
        QDir().mkpath(QFileInfo(pic).path());
        QImage image(320, 240, QImage::Format_RGB32);
        image.fill(QColor(40 * n, 90, 160));
        ASSERT_TRUE(image.save(pic, "JPG"));
    }
    ASSERT_EQ(Seal::SealUnsealed(db.db(), "0123456789", GetPicFolder(), "cli"), 4);
    db.Add({"0123456789", "1", "2024-06-01", "07:15:00", "Refuse", ""});
    db.db().ExecuteSQL("UPDATE ValueInfo SET Test_Result='0.010' WHERE Record_No='4'");
    ASSERT_TRUE(QFile::remove(GetPicFolder() + "/0123456789/00002.jpg"));

    CHistory page;
    page.resize(1280, 640);
    page.show();
    static_cast<QDateEdit*>(page.Control(HistoryIds::kStartDate))->setDate(QDate(2024, 6, 1));
    static_cast<QDateEdit*>(page.Control(HistoryIds::kEndDate))->setDate(QDate(2024, 6, 30));
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 5);
    auto* list = static_cast<QTableView*>(page.Control(HistoryIds::kList));
    auto* model = static_cast<CHistoryModel*>(list->model());
    auto mark = [&](int row) { return model->headerData(row, Qt::Vertical).toString(); };
    QElapsedTimer waited;
    waited.start();
    while (mark(0).isEmpty() && waited.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    // Rows come newest number first.
    const struct {
        const char* record;
        const char* mark;
    } rows[] = {
        {"5", "\u2713"}, {"4", "\u2717"}, {"3", "\u2713"}, {"2", "\u2717"}, {"1", "\u2013"}};
    for (int r = 0; r < 5; ++r) {
        model->headerData(r, Qt::Vertical); // asks for the row's picture check
        QApplication::processEvents();
        EXPECT_EQ(page.ListCell(r, 1), QLatin1String(rows[r].record));
        EXPECT_EQ(mark(r), QString::fromUtf8(rows[r].mark)) << rows[r].record;
    }
    list->selectRow(1);
    QApplication::processEvents();
    const QString dir = qEnvironmentVariable("BRTX_SHOT_DIR");
    if (!dir.isEmpty())
        page.grab().save(dir + QStringLiteral("/history-seal.png"));
}
