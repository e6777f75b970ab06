// The Instruments page on the offscreen platform over a real brtx.db: the register with its
// due dates (overdue marked), an edit stored, bad log entries refused with nothing stored, a
// good one added, and the drift chart with its points and band, saved as SVG and PNG.
#include "common/TestSupport.h"
#include "history/HistoryDb.h"

#include "discovery/Discovery.h"
#include "instruments/page/InstrumentsPage.h"
#include "store/Audit.h"
#include "store/Instruments.h"

#include <QAreaSeries>
#include <QChart>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QLineSeries>
#include <QScatterSeries>
#include <QStandardItemModel>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

namespace {

const QString kDevice = QStringLiteral("0123456789");

// What the store holds of the device: its log entries and audit entries.
QPair<qsizetype, qsizetype> Stored() {
    SQLite::Database db;
    if (db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly) != 0)
        return {-1, -1};
    bool ok = false, auditOk = false;
    const qsizetype log = Instruments::Log(db, kDevice, &ok).size();
    const qsizetype audit = Audit::List(db, kDevice, QString(), &auditOk).size();
    return {ok ? log : -1, auditOk ? audit : -1};
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Calibration::Input Check(int daysAgo, const QString& measured, qint64 supersedes = 0) {
    Calibration::Input in;
    in.device = kDevice;
    in.kind = QStringLiteral("accuracy");
    in.date = QDate::currentDate().addDays(-daysAgo).toString(Qt::ISODate);
    in.technician = QStringLiteral("Lee");
    in.standardKind = QStringLiteral("dry-gas");
    in.lot = QStringLiteral("G-77");
    in.expiry = QDate::currentDate().addYears(1).toString(Qt::ISODate);
    in.target = QStringLiteral("0.080");
    in.unit = QStringLiteral("mg/L");
    in.measured = measured.split(QLatin1Char(','));
    in.tolerance = QStringLiteral("10%");
    in.supersedes = supersedes;
    return in;
}

// A device with records and three accuracy checks: a pass, a fail, and a pass that supersedes
// the fail; the last one 40 days ago, so the next (30 days) is overdue.
void MakeStore() {
    historytest::Db db;
    db.AddMany(kDevice, 3, QDate::currentDate().addDays(-50).toString(Qt::ISODate));
    ASSERT_TRUE(Instruments::NoteLink(db.db(), kDevice, QStringLiteral("4Q")));
    for (const Calibration::Input& in :
         {Check(60, QStringLiteral("0.079,0.081")), Check(40, QStringLiteral("0.095")),
          Check(40, QStringLiteral("0.080"), 2)}) {
        Instruments::LogEntry e;
        ASSERT_TRUE(Calibration::Prepare(in, QDateTime::currentDateTime(), &e).isEmpty());
        ASSERT_TRUE(InstrumentRegister::Append(db.db(), e, QString(), "test").isEmpty());
    }
}

struct Page {
    CInstrumentsPage page;
    QStringList said;
    Page() {
        QObject::connect(&page, &CInstrumentsPage::statusChanged,
                         [this](const QString& t) { said << t; });
        page.resize(1100, 600);
        page.Refresh();
        EXPECT_TRUE(page.WaitIdle());
    }
    QString Cell(QStandardItemModel* m, int r, int c) const {
        return m->index(r, c).data().toString();
    }
};

} // namespace

TEST(InstrumentsPage, ShowsTheRegisterLogAndDriftChart) {
    brtxtest::TempHome home;
    MakeStore();
    Page p;
    QStandardItemModel* reg = p.page.RegisterModel();
    ASSERT_EQ(reg->rowCount(), 1);
    EXPECT_EQ(p.Cell(reg, 0, 0), kDevice);
    EXPECT_EQ(p.Cell(reg, 0, 1), QStringLiteral("4Q"));
    EXPECT_EQ(p.Cell(reg, 0, 10), QStringLiteral("3"));
    // The accuracy check is due 30 days after the last one in force, 10 days ago: overdue.
    const QString due = QDate::currentDate().addDays(-10).toString(Qt::ISODate);
    EXPECT_EQ(p.Cell(reg, 0, 12), due + ' ' + brtxtest::GetText("InstOverdue"));
    EXPECT_EQ(p.Cell(reg, 0, 11), QString()); // no calibration yet

    EXPECT_EQ(p.page.SelectedDevice(), kDevice);
    QStandardItemModel* log = p.page.LogModel();
    ASSERT_EQ(log->rowCount(), 3);
    EXPECT_TRUE(p.Cell(log, 1, 0).contains(brtxtest::GetText("InstSuperseded")));
    EXPECT_FALSE(p.Cell(log, 2, 0).contains(brtxtest::GetText("InstSuperseded")));
    EXPECT_EQ(p.Cell(log, 2, 9), QStringLiteral("2"));

    // The chart: the superseded failure is left out; three passing values, band 0.072-0.088.
    QChart* chart = p.page.Chart();
    QMap<QString, QAbstractSeries*> series;
    for (QAbstractSeries* s : chart->series())
        series.insert(s->objectName(), s);
    ASSERT_EQ(series.size(), 4);
    EXPECT_EQ(static_cast<QScatterSeries*>(series["pass"])->count(), 3);
    EXPECT_EQ(static_cast<QScatterSeries*>(series["fail"])->count(), 0);
    const auto* band = static_cast<QAreaSeries*>(series["band"]);
    for (const QPointF& pt : band->upperSeries()->points())
        EXPECT_DOUBLE_EQ(pt.y(), 0.088);
    for (const QPointF& pt : band->lowerSeries()->points())
        EXPECT_DOUBLE_EQ(pt.y(), 0.072);

    // Saved as SVG (well-formed XML) and PNG (a picture of the asked size).
    ASSERT_TRUE(p.page.SaveChart(home.file("drift.svg")));
    ASSERT_TRUE(p.page.SaveChart(home.file("drift.png")));
    QXmlStreamReader xml(FileBytes(home.file("drift.svg")));
    while (!xml.atEnd())
        xml.readNext();
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(QImage(home.file("drift.png")).size(), QSize(1000, 600));

    // The discovery package, made on its worker with its progress shown; the end is said.
    Discovery::Options o;
    o.device = kDevice;
    o.pictures = false;
    o.out = home.file("case.zip");
    p.said.clear();
    p.page.StartDiscovery(o);
    EXPECT_TRUE(p.page.DiscoveryRunning());
    ASSERT_TRUE(p.page.WaitIdle(120000));
    ASSERT_FALSE(p.said.isEmpty());
    EXPECT_EQ(p.said.last(), brtxtest::GetText("InstDiscoveryDone") + ' ' + o.out);
    EXPECT_GT(QFileInfo(o.out).size(), 0);
    // It holds personal data: readable by its owner alone, whatever the umask.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_EQ(QFileInfo(o.out).permissions() & others, 0);
}

TEST(InstrumentsPage, StoresAnEditAndRefusesBadEntriesWithNothingStored) {
    brtxtest::TempHome home;
    MakeStore();
    Page p;
    static_cast<QLineEdit*>(p.page.Control(InstrumentIds::kLabel))->setText("Van 4");
    static_cast<QLineEdit*>(p.page.Control(InstrumentIds::kSerial))->setText("SN-991");
    p.page.SaveEdits();
    ASSERT_TRUE(p.page.WaitIdle());
    SQLite::Database db;
    ASSERT_EQ(db.Open(GetDatabasePath(), SQLite::Database::Access::ReadOnly), 0);
    Instruments::Instrument i;
    ASSERT_TRUE(Instruments::Find(db, kDevice, &i));
    EXPECT_EQ(i.label, QStringLiteral("Van 4"));
    EXPECT_EQ(i.serial, QStringLiteral("SN-991"));
    EXPECT_EQ(p.Cell(p.page.RegisterModel(), 0, 2), QStringLiteral("Van 4"));
    db.Close();

    const auto before = Stored();
    const struct {
        Calibration::Input input;
        QString attach;
        const char* says;
    } bad[] = {
        {Check(1, QStringLiteral("abc")), QString(), "not a number"},
        {Check(-3, QStringLiteral("0.080")), QString(), "future"},
        {Check(1, QStringLiteral("0.080"), 99), QString(), "99"},
        {Check(1, QStringLiteral("0.080 g/210L")), QString(), "g/210L"},
        {Check(1, QStringLiteral("0.080")), home.file("missing.pdf"), "no such file"},
    };
    for (const auto& b : bad) {
        p.said.clear();
        p.page.AddEntry(b.input, b.attach);
        ASSERT_TRUE(p.page.WaitIdle());
        ASSERT_FALSE(p.said.isEmpty()) << b.says;
        EXPECT_TRUE(p.said.last().startsWith(brtxtest::GetText("InstEntryRefused")));
        EXPECT_TRUE(p.said.last().contains(QLatin1String(b.says))) << p.said.last().toStdString();
    }
    EXPECT_EQ(Stored(), before) << "a refused entry was stored";
    EXPECT_FALSE(QFileInfo::exists(home.file("certs/") + kDevice)) << "an attachment was kept";
    EXPECT_EQ(p.page.LogModel()->rowCount(), 3);

    p.said.clear();
    p.page.AddEntry(Check(0, QStringLiteral("0.081")), QString());
    ASSERT_TRUE(p.page.WaitIdle());
    ASSERT_FALSE(p.said.isEmpty());
    EXPECT_EQ(p.said.first(), brtxtest::GetTextNumber("InstEntryAdded", 4));
    EXPECT_EQ(p.page.LogModel()->rowCount(), 4);
    // The new check moved the due date 30 days ahead: no longer overdue.
    EXPECT_EQ(p.Cell(p.page.RegisterModel(), 0, 12),
              QDate::currentDate().addDays(30).toString(Qt::ISODate));
}
