// The Instruments page in the whole window, as the manual shows it: three instruments (one
// overdue), a year of monthly accuracy checks with one failure and its correction, and the drift
// chart. With BRTX_SHOT_DIR set the window is kept as the manual's screenshots
// (scripts/screenshots.sh runs this under Xvfb).
#include "common/TestSupport.h"
#include "history/HistoryDb.h"

#include "app/shell/ControlId.h"
#include "app/window/BRTXDlg.h"
#include "instruments/page/InstrumentsPage.h"
#include "store/Instruments.h"

#include <QAbstractButton>
#include <QChart>
#include <QCoreApplication>
#include <QDir>
#include <QScatterSeries>
#include <QStandardItemModel>
#include <QTabWidget>
#include <gtest/gtest.h>

namespace {

void Keep(QWidget& window, const char* name) {
    const QString dir = qEnvironmentVariable("BRTX_SHOT_DIR");
    if (dir.isEmpty())
        return;
    QCoreApplication::processEvents();
    ASSERT_TRUE(window.grab().save(QDir(dir).filePath(QLatin1String(name))));
}

void Append(SQLite::Database& db, Calibration::Input in) {
    Instruments::LogEntry e;
    ASSERT_EQ(Calibration::Prepare(in, QDateTime::currentDateTime(), &e), QString());
    ASSERT_EQ(InstrumentRegister::Append(db, e, QString(), "page"), QString());
}

} // namespace

TEST(InstrumentsShot, RegisterLogAndDriftChartAsTheUserSeesThem) {
    brtxtest::TempHome home;
    historytest::Db store;
    SQLite::Database& db = store.db();
    const QDate today = QDate::currentDate();
    const struct {
        const char* device;
        const char* label;
        const char* location;
        int lastCheck; // days ago
    } instruments[] = {{"0123456789", "Car 7", "Traffic unit", 12},
                       {"0123456790", "Van 2", "Night shift", 45},
                       {"0123456791", "Desk unit", "Station B", 3}};
    for (const auto& i : instruments) {
        store.AddMany(QLatin1String(i.device), 20, today.addDays(-20).toString(Qt::ISODate));
        ASSERT_TRUE(Instruments::NoteLink(db, QLatin1String(i.device), "4Q"));
        Instruments::Instrument row;
        ASSERT_TRUE(Instruments::Find(db, QLatin1String(i.device), &row));
        row.label = QLatin1String(i.label);
        row.location = QLatin1String(i.location);
        row.model = QStringLiteral("Screening 4Q");
        row.serial = QStringLiteral("SN-") + QLatin1String(i.device).right(4);
        row.status = QStringLiteral("in-service");
        QString error;
        ASSERT_TRUE(Instruments::Update(db, row, "page", &error)) << error.toStdString();
        Calibration::Input in;
        in.device = QLatin1String(i.device);
        in.technician = QStringLiteral("Lee");
        in.standardKind = QStringLiteral("dry-gas");
        in.lot = QStringLiteral("G-77");
        in.expiry = today.addYears(1).toString(Qt::ISODate);
        in.target = QStringLiteral("0.080");
        in.unit = QStringLiteral("mg/L");
        in.tolerance = QStringLiteral("10%");
        in.kind = QStringLiteral("calibration");
        in.date = today.addDays(-330).toString(Qt::ISODate);
        in.measured = {QStringLiteral("0.080")};
        Append(db, in);
        in.kind = QStringLiteral("accuracy");
        // Monthly checks drifting up, one out of the band and then corrected.
        const char* values[] = {"0.079,0.080", "0.080,0.081", "0.081", "0.080,0.082",
                                "0.082,0.083", "0.083",       "0.090", "0.084,0.083",
                                "0.085",       "0.084,0.086"};
        const int n = int(std::size(values));
        for (int k = 0; k < n; ++k) {
            in.date = today.addDays(-i.lastCheck - (n - 1 - k) * 30).toString(Qt::ISODate);
            in.measured = QString::fromLatin1(values[k]).split(QLatin1Char(','));
            Append(db, in);
        }
        // The failure was a typing error: corrected by a new entry naming it.
        in.date = today.addDays(-i.lastCheck - 3 * 30).toString(Qt::ISODate);
        in.measured = {QStringLiteral("0.083")};
        bool ok = false;
        const QList<Instruments::LogEntry> log = Instruments::Log(db, in.device, &ok);
        for (const Instruments::LogEntry& e : log)
            if (e.result == QLatin1String("fail"))
                in.supersedes = e.id;
        Append(db, in);
        in.supersedes = 0;
    }

    CBRTXDlg dlg;
    dlg.show();
    FindControl<QAbstractButton>(&dlg, MainIds::kInstruments)->click();
    CInstrumentsPage* page = dlg.InstrumentsPage();
    ASSERT_TRUE(page->WaitIdle());
    ASSERT_EQ(page->RegisterModel()->rowCount(), 3);
    ASSERT_TRUE(page->Select(QStringLiteral("0123456790")));
    ASSERT_TRUE(page->WaitIdle());
    EXPECT_TRUE(page->RegisterModel()->index(1, 12).data().toString().contains(
        brtxtest::GetText("InstOverdue")));
    Keep(dlg, "instruments-page.png");
    static_cast<QTabWidget*>(page->Control(InstrumentIds::kTabs))->setCurrentIndex(1);
    int points = 0;
    for (QAbstractSeries* s : page->Chart()->series())
        if (auto* scatter = qobject_cast<QScatterSeries*>(s))
            points += scatter->count();
    EXPECT_EQ(points, 16); // the superseded 0.090 is left out, its correction drawn
    Keep(dlg, "instruments-drift.png");
}
