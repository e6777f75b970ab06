// The benchmark's own machinery: child processes and what is read from them, the download
// checker (it must catch a wrong row or picture, not just count files), StrictTiming taking
// effect, the memory plateau measure, and the history, .xls and PDF runs.
// Simulators listen on 127.0.0.21x (the quick benchmark run uses 127.0.0.201).
#include "base/Language.h"
#include "bench/BenchDownload.h"
#include "bench/BenchHistory.h"
#include "bench/BenchSupport.h"

#include "common/TestSupport.h"
#include "reports/PdfReport.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace bench;

TEST(BenchChild, LinesEnvironmentExitCodeTimeLimitAndMissingProgram) {
    ChildResult r = RunChild(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("echo one; sleep 0.2; echo $BENCH_X >&2; exit 3")},
        {QStringLiteral("BENCH_X=two")}, 10000);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 3);
    ASSERT_EQ(r.lines.size(), 2);
    EXPECT_EQ(r.lines[0].text, "one");
    EXPECT_EQ(r.lines[1].text, "two"); // standard error, with our environment entry
    EXPECT_GE(r.lines[1].atMs - r.lines[0].atMs, 150);
    EXPECT_GE(r.wallMs, r.lines[1].atMs);
    EXPECT_GT(r.peakRssKb, 0);

    // A last line without a line end still counts; the handler sees the running child.
    int seen = 0;
    r = RunChild(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf a")}, {},
                 10000, [&](const ChildLine& line, pid_t pid) {
                     seen += line.text == QLatin1String("a") && pid > 0;
                 });
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(r.exitCode, 0);

    // A child past its time limit is killed, and the call returns.
    const double start = NowMs();
    r = RunChild(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), QStringLiteral("echo started; exec sleep 30")}, {}, 300);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_LT(NowMs() - start, 5000);
    EXPECT_EQ(r.lines.value(0).text, "started");

    r = RunChild(QStringLiteral("/nonexistent/brtx-program"), {}, {}, 5000);
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_FALSE(r.error.isEmpty());
}

TEST(BenchChild, BackgroundProgramIsReadyOnlyAfterItsLine) {
    QString error;
    BackgroundChild ready;
    const double start = NowMs();
    ASSERT_TRUE(ready.Start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("sleep 0.2; echo listening now; exec sleep 30")},
        QStringLiteral("listening"), 5000, &error))
        << error.toStdString();
    EXPECT_GE(NowMs() - start, 150);
    EXPECT_TRUE(ready.Running());
    ready.Stop();
    EXPECT_FALSE(ready.Running());
    EXPECT_LT(NowMs() - start, 4000);

    BackgroundChild ended;
    EXPECT_FALSE(ended.Start(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), QStringLiteral("echo address in use")},
                             QStringLiteral("listening"), 5000, &error));
    EXPECT_TRUE(error.contains("address in use")) << error.toStdString();
    EXPECT_FALSE(ended.Running());

    BackgroundChild silent;
    const double t = NowMs();
    EXPECT_FALSE(silent.Start(QStringLiteral("/bin/sh"),
                              {QStringLiteral("-c"), QStringLiteral("exec sleep 30")},
                              QStringLiteral("listening"), 300, &error));
    EXPECT_LT(NowMs() - t, 4000);
    EXPECT_FALSE(silent.Running());
}

TEST(BenchFigures, RatesAndMemoryGrowth) {
    DownloadFigures d;
    d.downloaded = 300;
    d.wallMs = 1500;
    d.linkedMs = 500;
    d.lastMs = 1500;
    EXPECT_DOUBLE_EQ(d.EndToEndRate(), 200);
    EXPECT_DOUBLE_EQ(d.DownloadRate(), 300);
    EXPECT_NEAR(d.PerRecordMs(), 1000.0 / 300, 1e-9);

    // Growing while a cache fills, then flat: the last quarter shows no growth.
    for (int n = 1; n <= 100; ++n)
        d.rss.append({n, n <= 50 ? 1000 + n * 10 : 1500});
    EXPECT_EQ(d.SampleAt(0.5).record, 50);
    EXPECT_EQ(d.GrowthKbPerRecord(0.75), 0.0);
    EXPECT_NEAR(d.GrowthKbPerRecord(0.1), (1500.0 - 1100.0) / 90.0, 1e-9);

    // Every record leaving its 64 KiB photograph behind is not flat.
    d.rss.clear();
    for (int n = 1; n <= 100; ++n)
        d.rss.append({n, 1000 + n * 64});
    EXPECT_NEAR(d.GrowthKbPerRecord(0.75), 64, 1e-9);

    d.rss.clear();
    EXPECT_EQ(d.GrowthKbPerRecord(0.75), 0.0);
    EXPECT_EQ(d.SampleAt(0.5).record, 0);
}

TEST(BenchDownload, EveryRowAndPictureIsCheckedAndDifferencesAreCaught) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    DownloadSettings s;
    s.programDir = brtxtest::programDir();
    s.address = QStringLiteral("127.0.0.211");
    s.records = 6;
    s.count = 6;
    s.photoBytes = 20000;
    s.home = home.path();
    const DownloadFigures clean = RunDownload(s);
    ASSERT_TRUE(clean.ok) << clean.problem.toStdString();
    EXPECT_EQ(clean.downloaded, 6);
    EXPECT_EQ(clean.rowsStored, 6);
    EXPECT_EQ(clean.rowsMatching, 6);
    EXPECT_EQ(clean.picturesMatching, 6);
    EXPECT_EQ(clean.rss.size(), 6);
    EXPECT_GT(clean.linkedMs, 0);
    EXPECT_GT(clean.lastMs, clean.linkedMs);
    EXPECT_GT(clean.peakRssKb, 0);

    // Spoil one picture byte, remove another picture and change one stored value.
    const QString pics = home.path() + QStringLiteral("/pic/0123456789/");
    {
        QFile f(pics + QStringLiteral("00002.jpg"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.seek(10000));
        char c = 0;
        ASSERT_TRUE(f.getChar(&c));
        ASSERT_TRUE(f.seek(10000));
        ASSERT_TRUE(f.putChar(char(~c)));
    }
    ASSERT_TRUE(QFile::remove(pics + QStringLiteral("00004.jpg")));
    {
        SQLite::Database db;
        ASSERT_EQ(db.Open(home.path() + QStringLiteral("/brtx.db")), 0);
        ASSERT_EQ(db.ExecuteSQL(
                      QStringLiteral("UPDATE ValueInfo SET Field5='changed' WHERE Record_No='5'")),
                  0);
    }

    brtxsim::SimConfig cfg;
    cfg.address = s.address;
    cfg.recordCount = s.records;
    cfg.photoBytes = s.photoBytes;
    const brtxsim::CSimulator expected(cfg); // record fields only; not started
    BackgroundChild sim;                     // the pictures come from the simulator program
    QString error;
    ASSERT_TRUE(
        sim.Start(s.programDir + QStringLiteral("/brtx-sim"),
                  {QStringLiteral("--address"), s.address, QStringLiteral("--records"),
                   QStringLiteral("6"), QStringLiteral("--photo-bytes"), QStringLiteral("20000")},
                  QStringLiteral("brtx-sim listening"), 10000, &error))
        << error.toStdString();
    DownloadFigures check;
    VerifyDownload(expected, s.address, home.path(), 6, check);
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(check.rowsMatching, 5);
    EXPECT_EQ(check.picturesMatching, 4);
    EXPECT_TRUE(check.problem.contains("5")) << check.problem.toStdString();
}

TEST(BenchDownload, StrictTimingTakesEffectInTheRunsOwnFolder) {
    DownloadSettings s;
    s.programDir = brtxtest::programDir();
    s.address = QStringLiteral("127.0.0.212");
    s.records = 4;
    s.count = 2;
    s.photoBytes = 5000;
    s.strict = true;
    const DownloadFigures strict = RunDownload(s);
    ASSERT_TRUE(strict.ok) << strict.problem.toStdString();
    EXPECT_EQ(strict.downloaded, 2);
    EXPECT_GE(strict.PerRecordMs(), 900); // one second of silence ends every reply

    s.strict = false;
    const DownloadFigures quick = RunDownload(s);
    ASSERT_TRUE(quick.ok) << quick.problem.toStdString();
    EXPECT_LT(quick.PerRecordMs(), 500);
}

TEST(BenchHistory, ListExportsAndReportOnAGeneratedDatabase) {
    HistoryHome home(brtxtest::programDir(), 1200);
    ASSERT_TRUE(home.Ok()) << home.Problem().toStdString();

    const ListFigures list = RunHistoryList(home, 2);
    ASSERT_TRUE(list.ok) << list.problem.toStdString();
    EXPECT_EQ(list.rows, 1200);
    EXPECT_EQ(list.columns, 29); // seven fixed columns, twenty titled fields, GPS, calibration
    EXPECT_GT(list.pageMs, 0);
    EXPECT_GT(list.queryMs, 0);

    const QVector<XlsFigures> xls = RunXlsExport(home, {1000, 5000});
    ASSERT_EQ(xls.size(), 2);
    EXPECT_TRUE(xls[0].ok) << xls[0].problem.toStdString(); // read back and compared
    EXPECT_GT(xls[0].fileBytes, 0);
    EXPECT_FALSE(xls[1].ok); // more rows than the list holds
    EXPECT_TRUE(xls[1].problem.contains("1200")) << xls[1].problem.toStdString();

    if (CPdfReport::ConverterProgram(CLanguage()).isEmpty())
        GTEST_SKIP() << "no wkhtmltopdf";
    const PdfFigures pdf = RunPdfExport(home, 20000);
    EXPECT_TRUE(pdf.ok) << pdf.problem.toStdString();
    EXPECT_GT(pdf.fileBytes, 1000);
}
