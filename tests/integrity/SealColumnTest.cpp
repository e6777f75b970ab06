// The history page's seal column: marks of the rows on screen, and only those are checked.
#include "common/TestSupport.h"
#include "history/HistoryDb.h"

#include "history/page/History.h"
#include "history/page/HistoryModel.h"
#include "store/Seal.h"

#include <QApplication>
#include <QDateEdit>
#include <QElapsedTimer>
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
