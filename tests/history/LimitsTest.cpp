// The legal limits of [Global] Limits: what reads, what is named as not understood, which
// results reach which limit, and the marks in the history list.
#include "HistoryDb.h"

#include "common/TestSupport.h"
#include "history/core/Limits.h"
#include "history/page/History.h"
#include "history/page/HistoryModel.h"

#include <QColor>
#include <QFile>
#include <gtest/gtest.h>

TEST(Limits, ParseKeepsWhatReadsAndNamesTheRest) {
    struct Case {
        QString text;
        QStringList units;    // "unit=t1,t2" of what was taken
        QStringList problems; // entries named as not understood
    };
    const QVector<Case> cases = {
        {"", {}, {}},
        {"mg/L:0.25,0.40;g/L:0.5,0.8;‰:0.5,0.8",
         {"mg/L=0.25,0.40", "g/L=0.5,0.8", "‰=0.5,0.8"},
         {}},
        {" mg/L : 0.25 ; ;", {"mg/L=0.25"}, {}},
        {"mg/L:0.4,0.25;g/L:0.5", {"g/L=0.5"}, {"mg/L:0.4,0.25"}}, // second below first
        {"mg/L:abc;g/L:0.5,0.8,1", {}, {"mg/L:abc", "g/L:0.5,0.8,1"}},
        {":0.3;mg/L;mg/L:;mg/L:inf;mg/L:-1", {}, {":0.3", "mg/L", "mg/L:", "mg/L:inf", "mg/L:-1"}},
        {"mg/L:0.2;MG/L:0.3", {"mg/L=0.2"}, {"MG/L:0.3"}}, // one unit twice
        {"mg/100mL:50,80", {"mg/100mL=50,80"}, {}},
    };
    for (const Case& c : cases) {
        const CLimits limits = CLimits::Parse(c.text);
        QStringList units;
        for (const UnitLimits& u : limits.Units())
            units << u.unit + '=' + u.texts.join(',');
        EXPECT_EQ(units, c.units) << c.text.toStdString();
        EXPECT_EQ(limits.Problems(), c.problems) << c.text.toStdString();
    }
}

TEST(Limits, LevelAtAndOverEachThreshold) {
    const CLimits limits = CLimits::Parse("mg/L:0.25,0.40;g/L:0.5");
    struct Case {
        const char* unit;
        const char* result;
        int level;
    };
    const Case cases[] = {
        {"mg/L", "0.249", 0}, {"mg/L", "0.25", 1}, {"mg/L", " 0.250 ", 1}, {"mg/L", "0.399", 1},
        {"mg/L", "0.40", 2},  {"mg/L", "1.2", 2},  {"mg/l", "0.3", 1},     {"g/L", "0.5", 1},
        {"g/L", "9", 1},      {"mg/L", "", 0},     {"mg/L", "---", 0},     {"‰", "0.9", 0},
        {"mg/L", "0x1", 0},   {"mg/L", "nan", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(limits.Level(c.unit, c.result), c.level) << c.unit << " " << c.result;
}

TEST(Limits, ListMarksResultsOverALimitAndNamesABadEntry) {
    brtxtest::TempHome home;
    QFile ini(home.file("Language.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    QByteArray bytes = ini.readAll();
    ini.close();
    bytes.replace("\nLimits=\n", "\nLimits=mg/L:0.25,0.40;oops\n");
    home.writeLanguage(bytes);
    {
        historytest::Db db;
        db.Add({"D1", "1", "2024-05-05", "08:00:00", "Auto", "0.10"});
        db.Add({"D1", "2", "2024-05-05", "08:00:00", "Auto", "0.25"});
        db.Add({"D1", "3", "2024-05-05", "08:00:00", "Auto", "0.40"});
        db.Add({"D1", "4", "2024-05-05", "08:00:00", "Refuse", ""});
    }
    CHistory page;
    QStringList status;
    QObject::connect(&page, &CHistory::statusChanged,
                     [&status](const QString& text) { status << text; });
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 4);
    ASSERT_FALSE(status.isEmpty());
    EXPECT_TRUE(status.first().contains("\"oops\"")) << status.first().toStdString();
    CHistoryModel* model = page.Model();
    // Newest first: 4 (refused), 3 (limit 2), 2 (limit 1), 1 (under).
    const int levels[] = {0, 2, 1, 0};
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(model->LimitLevel(r), levels[r]) << r;
        const QVariant colour = model->data(model->index(r, 5), Qt::BackgroundRole);
        EXPECT_EQ(colour.isValid(), levels[r] > 0) << r;
        const QString tip = model->data(model->index(r, 5), Qt::ToolTipRole).toString();
        if (levels[r] > 0) {
            EXPECT_TRUE(tip.contains(brtxtest::GetText("OverLimit")
                                         .arg(levels[r])
                                         .arg(levels[r] == 1 ? "0.25" : "0.40", "mg/L")))
                << tip.toStdString();
        }
        EXPECT_FALSE(model->data(model->index(r, 4), Qt::BackgroundRole).isValid());
    }
}
