// brtx-bench: measures the download from the simulator, the history list, the .xls export and
// the PDF report against the speed goals and prints one table (Markdown) with the machine it
// ran on. Everything runs on loopback and in temporary program folders.
#include "bench/BenchCentral.h"
#include "bench/BenchDownload.h"
#include "bench/BenchExport.h"
#include "bench/BenchHistory.h"
#include "bench/BenchResponsive.h"
#include "bench/BenchSeal.h"
#include "bench/BenchStation.h"
#include "bench/BenchSupport.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace bench;

namespace {

const char* const kHelp = R"(Usage: brtx-bench [options]

Runs the speed benchmarks and prints a table (Markdown) of the results and goals:
  download of records with photographs from brtx-sim through `brtx-cli download`,
  by default and with StrictTiming=1, checked record by record and picture by picture;
  memory of the download; history query and list fill; .xls export; PDF report.

Options:
  --records N         records of the default download (300)
  --strict-records N  records of the StrictTiming=1 download (5)
  --long N            records of the long download that watches memory (8000; 0: skip)
  --photo-bytes B     photograph size (60000)
  --address A         loopback address for the simulator, port 7575 (127.0.0.200)
  --history LIST      record counts of the history databases (1000,10000,100000)
  --xls LIST          row counts of the .xls exports (1000,10000,65535)
  --runs N            queries per history size; the median is shown (3)
  --window-records N  records of the device page download whose window-thread gaps are
                      measured, after the hanging adb and the connect time-out (5000)
  --only-window       run only the window-thread measurements
  --only-station      run only the docking station's measurements: brtx-cli watch --once over
                      one simulated instrument of --records records and over four at once
                      (every record checked), station mode in the window with four
                      instruments (longest event-loop gap), and an idle watch
  --idle-seconds N    how long the idle watch is measured (30)
  --workbench LIST    record counts of the history workbench: filters, sorting, scrolling,
                      memory, brtx-cli history of every row (100000,1000000)
  --quick             a short run: 30 records, history 1000,5000, .xls 1000, no long run,
                      workbench 20000, central sync of 5000 and list of 20000 records,
                      verify of 2000 records
  --xlsx LIST         row counts of the .xlsx exports (100000,1000000)
  --csv LIST          row counts of the CSV exports (1000000)
  --exports-only      only the .xlsx, CSV and combined PDF measures
  --stats-only        only the statistics (brtx-cli stats, each chart of the Statistics tab,
                      the page's memory) over the --workbench record counts
  --workbench-only    only the history workbench (and its statistics) over the --workbench
                      record counts
  --stats-keep DIR    keep the workbench's generated databases in DIR (one folder per
                      count) and reuse them on later runs instead of generating again
  --seal-only         only the downloads and the seal, signature and verify measures
  --verify-records N  records (with photographs) of the verify benchmark (100000; 0: skip)
  --rss-log FILE      write the long download's memory after each record to FILE
  --program-dir DIR   folder of brtx-cli, brtx-sim and Language.ini (this program's folder)
  --central CONNINFO  also measure the central store on this PostgreSQL server: sync of
                      --central-records records (100000) without photographs and of 2000
                      with --photo-bytes photographs, and the central history list's first
                      screen over --central-query records (1000000)
  --central-only      only the central-store measurements
  --help              show this text

Exit status: 0 when every check of the stored data passed, 1 when one failed, 2 usage.
)";

struct Options {
    int records = 300;
    int strictRecords = 5;
    int longRecords = 8000;
    int photoBytes = 60000;
    QString address = QStringLiteral("127.0.0.200");
    QVector<int> history{1000, 10000, 100000};
    QVector<int> xls{1000, 10000, 65535};
    int runs = 3;
    int windowRecords = 5000;
    bool onlyWindow = false;
    bool onlyStation = false;
    int idleSeconds = 30;
    QVector<int> workbench{100000, 1000000};
    QVector<int> xlsx{100000, 1000000};
    QVector<int> csv{1000000};
    int pdfRecords = 50;
    bool exportsOnly = false;
    bool statsOnly = false;
    bool workbenchOnly = false;
    QString statsKeep; // --stats-keep: where the generated databases stay between runs
    bool sealOnly = false;
    int verifyRecords = 100000;
    QString programDir;
    QString rssLog;
    bool centralGiven = false; // --central: measure the central store
    QString central;           // its connection string (empty: the PG* variables)
    bool centralOnly = false;
    int centralRecords = 100000;
    int centralQuery = 1000000;
};

int Usage(const QString& why) {
    std::fprintf(stderr, "brtx-bench: %s\nTry brtx-bench --help\n", qPrintable(why));
    return 2;
}

bool ParseList(const QString& text, QVector<int>* out) {
    out->clear();
    for (const QString& part : text.split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int n = part.trimmed().toInt(&ok);
        if (!ok || n < 1 || n > 1000000)
            return false;
        out->append(n);
    }
    return !out->isEmpty();
}

// Returns -1 when fine, else the exit code.
int Parse(const QStringList& args, Options* o) {
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        auto number = [&](int* out, int min, int max) {
            QString v;
            bool ok = false;
            if (value(&v))
                *out = v.toInt(&ok);
            return ok && *out >= min && *out <= max;
        };
        QString v;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == QLatin1String("--records")) {
            if (!number(&o->records, 2, 100000))
                return Usage(QStringLiteral("--records needs 2..100000"));
        } else if (a == QLatin1String("--strict-records")) {
            if (!number(&o->strictRecords, 2, 100))
                return Usage(QStringLiteral("--strict-records needs 2..100"));
        } else if (a == QLatin1String("--long")) {
            if (!number(&o->longRecords, 0, 100000))
                return Usage(QStringLiteral("--long needs 0..100000"));
        } else if (a == QLatin1String("--photo-bytes")) {
            if (!number(&o->photoBytes, 0, 4000000))
                return Usage(QStringLiteral("--photo-bytes needs 0..4000000"));
        } else if (a == QLatin1String("--address")) {
            if (!value(&o->address) || !o->address.startsWith(QLatin1String("127.")))
                return Usage(QStringLiteral("--address needs a loopback address 127.x.x.x"));
        } else if (a == QLatin1String("--history")) {
            if (!value(&v) || !ParseList(v, &o->history))
                return Usage(QStringLiteral("--history needs counts like 1000,10000"));
        } else if (a == QLatin1String("--xls")) {
            if (!value(&v) || !ParseList(v, &o->xls) ||
                *std::max_element(o->xls.begin(), o->xls.end()) > 65535)
                return Usage(QStringLiteral("--xls needs counts up to 65535"));
        } else if (a == QLatin1String("--workbench")) {
            if (!value(&v) || !ParseList(v, &o->workbench))
                return Usage(QStringLiteral("--workbench needs counts like 100000,1000000"));
        } else if (a == QLatin1String("--runs")) {
            if (!number(&o->runs, 1, 20))
                return Usage(QStringLiteral("--runs needs 1..20"));
        } else if (a == QLatin1String("--window-records")) {
            if (!number(&o->windowRecords, 1, 100000))
                return Usage(QStringLiteral("--window-records needs 1..100000"));
        } else if (a == QLatin1String("--only-window")) {
            o->onlyWindow = true;
        } else if (a == QLatin1String("--only-station")) {
            o->onlyStation = true;
        } else if (a == QLatin1String("--idle-seconds")) {
            if (!number(&o->idleSeconds, 1, 3600))
                return Usage(QStringLiteral("--idle-seconds needs 1..3600"));
        } else if (a == QLatin1String("--verify-records")) {
            if (!number(&o->verifyRecords, 0, 1000000))
                return Usage(QStringLiteral("--verify-records needs 0..1000000"));
        } else if (a == QLatin1String("--quick")) {
            o->verifyRecords = 2000;
            o->idleSeconds = 3;
            o->windowRecords = 300;
            o->records = 30;
            o->strictRecords = 2;
            o->longRecords = 0;
            o->history = {1000, 5000};
            o->xls = {1000};
            o->runs = 1;
            o->workbench = {20000};
            o->xlsx = {10000};
            o->csv = {10000};
            o->pdfRecords = 3;
            o->centralRecords = 5000;
            o->centralQuery = 20000;
        } else if (a == QLatin1String("--xlsx") || a == QLatin1String("--csv")) {
            if (!value(&v) || !ParseList(v, a == QLatin1String("--csv") ? &o->csv : &o->xlsx))
                return Usage(QStringLiteral("%1 needs row counts like 100000,1000000").arg(a));
        } else if (a == QLatin1String("--exports-only")) {
            o->exportsOnly = true;
        } else if (a == QLatin1String("--stats-only")) {
            o->statsOnly = true;
        } else if (a == QLatin1String("--workbench-only")) {
            o->workbenchOnly = true;
        } else if (a == QLatin1String("--stats-keep")) {
            if (!value(&o->statsKeep) || o->statsKeep.isEmpty())
                return Usage(QStringLiteral("--stats-keep needs a folder"));
        } else if (a == QLatin1String("--seal-only")) {
            o->sealOnly = true;
            o->longRecords = 0;
        } else if (a == QLatin1String("--central")) {
            if (!value(&o->central))
                return Usage(QStringLiteral("--central needs a connection string"));
            o->centralGiven = true;
        } else if (a == QLatin1String("--central-only")) {
            o->centralOnly = true;
        } else if (a == QLatin1String("--central-records")) {
            if (!number(&o->centralRecords, 1, 1000000))
                return Usage(QStringLiteral("--central-records needs 1..1000000"));
        } else if (a == QLatin1String("--central-query")) {
            if (!number(&o->centralQuery, 100, 10000000))
                return Usage(QStringLiteral("--central-query needs 100..10000000"));
        } else if (a == QLatin1String("--rss-log")) {
            if (!value(&o->rssLog))
                return Usage(QStringLiteral("--rss-log needs a file name"));
        } else if (a == QLatin1String("--program-dir")) {
            if (!value(&o->programDir))
                return Usage(QStringLiteral("--program-dir needs a folder"));
        } else {
            return Usage(QStringLiteral("unknown option ") + a);
        }
    }
    return -1;
}

QString MiB(long kb) {
    return QStringLiteral("%1 MiB").arg(kb / 1024.0, 0, 'f', 1);
}

QString Rate(double perSecond) {
    return QStringLiteral("%1 records/s").arg(perSecond, 0, 'f', perSecond < 10 ? 2 : 0);
}

void Progress(const QString& text) {
    std::fprintf(stderr, "brtx-bench: %s\n", qPrintable(text));
}

// Memory is flat when it grows by less than this per record over the last quarter of the long
// run. (Early in a run SQLite's page cache fills with the rows just stored; it is bounded, and
// once it is full the resident size stops growing. Each record brings a 60 KB photograph, so
// a leak of any record's data would show as tens of KiB per record.)
constexpr double kFlatKbPerRecord = 0.25;

QString MemoryText(const DownloadFigures& d) {
    if (d.rss.size() < 4)
        return QStringLiteral("too few samples");
    const RssSample tenth = d.SampleAt(0.1);
    const RssSample half = d.SampleAt(0.5);
    return QStringLiteral("RSS %1 at record %2, %3 at %4, %5 at %6; last quarter %7 KiB per record")
        .arg(MiB(tenth.rssKb), Count(tenth.record), MiB(half.rssKb), Count(half.record),
             MiB(d.rss.last().rssKb), Count(d.rss.last().record))
        .arg(d.GrowthKbPerRecord(0.75), 0, 'f', 2);
}

} // namespace

// The central store's rows of the table.
// The docking station: watch --once over one instrument and over four at once, station mode
// in the window, an idle watch. False when a check of the stored records failed.
bool StationSection(const Options& o, ResultTable& table) {
    StationSettings ss;
    ss.programDir = o.programDir;
    ss.records = o.records;
    ss.photoBytes = o.photoBytes;
    ss.idleSeconds = o.idleSeconds;
    table.Section(QStringLiteral("Docking station: brtx-cli watch --once through the stand-in adb, "
                                 "brtx-sim instruments of %1 records with %2-byte photographs")
                      .arg(Count(o.records), Count(o.photoBytes)));
    auto describe = [&](const StationRun& r) {
        const int want = r.instruments * ss.records;
        QString text = QStringLiteral("%1, peak %2; %3/%4 rows, %5/%4 pictures identical")
                           .arg(Duration(r.wallMs), MiB(r.peakRssKb))
                           .arg(r.rowsMatching)
                           .arg(want)
                           .arg(r.picturesMatching);
        if (!r.ok)
            text += QStringLiteral(" (%1)").arg(r.problem);
        return text;
    };
    Progress(QStringLiteral("watch --once, one instrument"));
    const StationRun one = RunStationWatch(ss, 1);
    Progress(QStringLiteral("watch --once, %1 instruments at once").arg(ss.instruments));
    const StationRun fleet = RunStationWatch(ss, ss.instruments);
    bool ok = one.ok && fleet.ok;
    const QString whole = QStringLiteral("all stored, identical");
    table.Row(QStringLiteral("one instrument (%1 records)").arg(Count(ss.records)), describe(one),
              whole, Verdict(one.ok));
    table.Row(QStringLiteral("%1 instruments at once (%2 records)")
                  .arg(ss.instruments)
                  .arg(Count(ss.instruments * ss.records)),
              describe(fleet), whole, Verdict(fleet.ok));
    const double ratio = one.wallMs > 0 ? fleet.wallMs / one.wallMs : 0;
    table.Row(QStringLiteral("%1 at once / one").arg(ss.instruments),
              QStringLiteral("%1x").arg(ratio, 0, 'f', 2), QStringLiteral("<= 2.5x"),
              Verdict(one.ok && fleet.ok && ratio <= 2.5));

    Progress(QStringLiteral("station mode in the window, %1 instruments").arg(ss.instruments));
    const StationGap gap = RunStationPage(ss);
    ok = ok && gap.ok;
    table.Row(
        QStringLiteral("window: station mode, %1 instruments downloading").arg(ss.instruments),
        gap.ok ? QStringLiteral("%1 longest gap over %2, every record stored")
                     .arg(Duration(gap.longestGapMs), Duration(gap.wallMs))
               : gap.problem,
        QStringLiteral("< 100 ms"), Verdict(gap.ok && gap.longestGapMs < 100));

    Progress(QStringLiteral("idle watch for %1 s").arg(ss.idleSeconds));
    const IdleFigures idle = RunIdleWatch(ss);
    table.Row(
        QStringLiteral("idle watch (nothing docked, default interval), %1 s").arg(ss.idleSeconds),
        idle.ok ? QStringLiteral("%1% of one core (%2% with the stand-in adb runs), RSS %3")
                      .arg(idle.cpuPercent, 0, 'f', 2)
                      .arg(idle.cpuWithAdb, 0, 'f', 2)
                      .arg(MiB(idle.rssKb))
                : idle.problem,
        QStringLiteral("< 1%, < 30 MB"),
        Verdict(idle.ok && idle.cpuPercent < 1 && idle.rssKb < 30 * 1000 * 1000 / 1024));
    return ok;
}

bool CentralSection(const Options& o, ResultTable& table) {
    CentralSettings cs;
    cs.conninfo = o.central;
    cs.programDir = o.programDir;
    cs.syncRecords = o.centralRecords;
    cs.photoBytes = o.photoBytes;
    cs.queryRecords = o.centralQuery;
    cs.runs = o.runs;
    Progress(QStringLiteral("central store"));
    const CentralFigures c = RunCentralBench(cs);
    table.Section(QStringLiteral("Central store over loopback: %1").arg(c.server));
    if (!c.ok) {
        table.Row(QStringLiteral("central store"), c.problem, QString(), Verdict(false));
        return false;
    }
    const double syncRate = o.centralRecords / (c.syncMs / 1000);
    const double pictureRate = cs.pictureRecords / (c.pictureSyncMs / 1000);
    table.Row(QStringLiteral("Sync of %1 records, no photographs").arg(Count(o.centralRecords)),
              QStringLiteral("%1 (%2); again with nothing new: %3")
                  .arg(Rate(syncRate), Duration(c.syncMs), Duration(c.resyncMs)),
              QStringLiteral(">= 5,000 records/s"), Verdict(syncRate >= 5000));
    table.Row(QStringLiteral("Sync of %1 records with %2-byte photographs")
                  .arg(Count(cs.pictureRecords), Count(o.photoBytes)),
              QStringLiteral("%1 (%2)").arg(Rate(pictureRate), Duration(c.pictureSyncMs)),
              QStringLiteral(">= 300 records/s"), Verdict(pictureRate >= 300));
    table.Row(QStringLiteral("verify --central of %1 sealed records").arg(Count(o.centralRecords)),
              QStringLiteral("%1 (their sync with seals and signatures: %2)")
                  .arg(Duration(c.verifyMs), Duration(c.sealedSyncMs)),
              QStringLiteral("< 5 s"), Verdict(c.verifyMs < 5000));
    table.Row(QStringLiteral("Central list over %1 records, one device: first screen")
                  .arg(Count(o.centralQuery)),
              QStringLiteral("%1 (columns, count, first 50 rows; table filled in %2)")
                  .arg(Duration(c.firstScreenMs), Duration(c.fillMs)),
              QStringLiteral("< 0.5 s"), Verdict(c.firstScreenMs < 500));
    table.Row(QStringLiteral("Central list, every device: first screen"), Duration(c.allDevicesMs),
              QStringLiteral("< 0.5 s"), Verdict(c.allDevicesMs < 500));
    table.Row(QStringLiteral("Central list, one device sorted by result: first screen"),
              Duration(c.sortedMs));
    return true;
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("BRTX_NO_OPEN", "1");
    QApplication app(argc, argv);
    Options o;
    const int parsed = Parse(app.arguments().mid(1), &o);
    if (parsed >= 0)
        return parsed;
    if (o.programDir.isEmpty())
        o.programDir = QCoreApplication::applicationDirPath();
    for (const char* need : {"brtx-cli", "brtx-sim", "Language.ini"})
        if (!QFileInfo::exists(o.programDir + '/' + QLatin1String(need)))
            return Usage(QStringLiteral("%1 not found in %2").arg(need, o.programDir));

    const QString loadBefore = LoadText();
    const QDateTime started = QDateTime::currentDateTime();
    ResultTable table;
    bool dataOk = true;

    auto finish = [&] {
        QTextStream out(stdout);
        out << "Machine: " << MachineText() << "\n";
        out << "Run: " << started.toString(Qt::ISODate) << ", load average before " << loadBefore
            << ", after " << LoadText() << "\n\n";
        out << table.Text();
        out << "\n"
            << (table.AllGoalsMet() ? "Every goal met." : "Some goals missed (Met: NO).")
            << (dataOk ? "" : " A check of the stored or exported data FAILED.") << "\n";
        out.flush();
        return dataOk ? 0 : 1;
    };
    if (o.centralGiven) {
        dataOk = CentralSection(o, table);
        if (o.centralOnly)
            return finish();
    }

    // ---- The docking station ----
    if (!o.exportsOnly && !o.sealOnly && !o.onlyWindow && !o.statsOnly && !o.workbenchOnly) {
        dataOk = StationSection(o, table) && dataOk;
        if (o.onlyStation)
            return finish();
    }

    // Statistics over every device of a workbench: the command line and each chart of the tab.
    auto statsRows = [&](const HistoryHome& home, int n) {
        Progress(QStringLiteral("statistics over %1 records").arg(n));
        const bool big = n >= 1000000;
        const StatsFigures st = RunStats(home, o.programDir);
        dataOk = dataOk && st.ok;
        if (!st.ok) {
            table.Row(QStringLiteral("statistics"), st.problem);
            return;
        }
        const QString second = big ? QStringLiteral("< 1 s") : QString();
        for (const StatsFigures::Cli& c : st.cli)
            table.Row(QStringLiteral("brtx-cli stats --all-devices --by %1 (%2 lines)")
                          .arg(c.by, Count(c.lines)),
                      QStringLiteral("%1 (processor %2), peak %3")
                          .arg(Duration(c.ms), Duration(c.cpuMs), MiB(c.peakKb)),
                      second, big ? Verdict(c.ms < 1000) : QString());
        for (const StatsFigures::Chart& c : st.charts)
            table.Row(QStringLiteral("Statistics tab: %1 (%2 bars)").arg(c.name, Count(c.bars)),
                      Duration(c.ms), second, big ? Verdict(c.ms < 1000) : QString());
        table.Row(QStringLiteral("Statistics tab: memory the page holds after every chart"),
                  QStringLiteral("%1 MiB").arg(st.heldMb, 0, 'f', 1),
                  big ? QStringLiteral("< 50 MB") : QString(),
                  big ? Verdict(st.heldMb < 47.6) : QString());
    };
    if (o.statsOnly) {
        for (int n : o.workbench) {
            table.Section(
                QStringLiteral("Statistics: %1 generated records of three devices").arg(Count(n)));
            Progress(QStringLiteral("generating %1 records").arg(n));
            HistoryHome home(o.programDir, n, true, o.statsKeep);
            if (!home.Ok()) {
                dataOk = false;
                table.Row(QStringLiteral("%1 records").arg(Count(n)), home.Problem());
                continue;
            }
            statsRows(home, n);
        }
        return finish();
    }

    // The history workbench over n generated records: the list, then the statistics.
    auto workbenchRows = [&](int n) {
        table.Section(QStringLiteral("History workbench: %1 generated records of three devices "
                                     "(names, plates, places), page offscreen")
                          .arg(Count(n)));
        Progress(QStringLiteral("workbench of %1 records").arg(n));
        const double fillStart = NowMs();
        HistoryHome home(o.programDir, n, true, o.statsKeep);
        if (!home.Ok()) {
            dataOk = false;
            table.Row(QStringLiteral("%1 records").arg(Count(n)), home.Problem());
            return;
        }
        table.Row(QStringLiteral("Generating the records"), Duration(NowMs() - fillStart));
        const bool big = n >= 1000000;
        for (bool all : {false, true}) {
            const WorkbenchFigures w = RunWorkbench(home, o.programDir, all || n < 1000000, all);
            dataOk = dataOk && w.ok;
            const QString who = all ? QStringLiteral("all devices") : QStringLiteral("one device");
            if (!w.ok) {
                table.Row(who, w.problem);
                continue;
            }
            const bool firstGoal = big || n >= 100000;
            const double firstLimit = big ? 300 : 100;
            table.Row(
                QStringLiteral("%1: first screen after Query (%2 rows)").arg(who, Count(w.rows)),
                Duration(w.firstScreenMs),
                firstGoal ? QStringLiteral("< %1 s").arg(firstLimit / 1000) : QString(),
                firstGoal ? Verdict(w.firstScreenMs < firstLimit) : QString());
            table.Row(QStringLiteral("%1: scrolled to the end").arg(who), Duration(w.scrollEndMs),
                      big ? QStringLiteral("< 0.1 s") : QString(),
                      big ? Verdict(w.scrollEndMs < 100) : QString());
            const QString second = big ? QStringLiteral("< 1 s") : QString();
            table.Row(
                QStringLiteral("%1: search \"müller 4\" (%2 rows)").arg(who, Count(w.searchRows)),
                Duration(w.searchMs), second, big ? Verdict(w.searchMs < 1000) : QString());
            table.Row(
                QStringLiteral("%1: result 0.5 to 0.6 (%2 rows)").arg(who, Count(w.rangeRows)),
                Duration(w.rangeMs), second, big ? Verdict(w.rangeMs < 1000) : QString());
            table.Row(QStringLiteral("%1: sorted by Test Result").arg(who), Duration(w.sortMs),
                      second, big ? Verdict(w.sortMs < 1000) : QString());
            table.Row(QStringLiteral("%1: sorted by Name (locale order)").arg(who),
                      Duration(w.textSortMs));
            table.Row(QStringLiteral("%1: memory the page holds after all of this").arg(who),
                      QStringLiteral("%1 MiB").arg(w.heldMb, 0, 'f', 1),
                      big ? QStringLiteral("< 150 MB") : QString(),
                      big ? Verdict(w.heldMb < 143) : QString());
            if (w.cliMs > 0)
                table.Row(QStringLiteral("%1: brtx-cli history of every row to /dev/null").arg(who),
                          QStringLiteral("%1 (processor %2), peak %3")
                              .arg(Duration(w.cliMs), Duration(w.cliCpuMs), MiB(w.cliPeakKb)),
                          big ? QStringLiteral("< 3 s, < 100 MB") : QString(),
                          big ? Verdict(w.cliMs < 3000 && w.cliPeakKb < 97656) : QString());
        }
        statsRows(home, n);
    };
    if (o.workbenchOnly) {
        for (int n : o.workbench)
            workbenchRows(n);
        return finish();
    }

    // ---- The window thread while the device page waits ----
    if (!o.exportsOnly && !o.sealOnly) {
        table.Section(QStringLiteral("Device page: longest gap of the window thread's event loop"));
        auto gapRow = [&](const QString& measure, const GapFigures& g) {
            dataOk = dataOk && g.ok;
            table.Row(measure,
                      g.ok ? QStringLiteral("%1 longest gap over %2 (%3)")
                                 .arg(Duration(g.longestGapMs), Duration(g.waitedMs), g.detail)
                           : g.problem,
                      QStringLiteral("< 100 ms"), Verdict(g.ok && g.longestGapMs < 100));
        };
        Progress(QStringLiteral("hanging adb"));
        gapRow(QStringLiteral("Find devices, adb hangs (2 x 5 s)"), RunHangingAdb(o.programDir));
        QString silent = o.address;
        silent = silent.section(QLatin1Char('.'), 0, 2) + QStringLiteral(".") +
                 QString::number((silent.section(QLatin1Char('.'), 3).toInt() + 1) % 256);
        Progress(QStringLiteral("Wi-Fi connect time-out on %1").arg(silent));
        gapRow(QStringLiteral("Wi-Fi connect that times out (5 s)"),
               RunConnectTimeout(o.programDir, silent));
        Progress(QStringLiteral("page download of %1 records").arg(o.windowRecords));
        gapRow(QStringLiteral("All Download of %1 records (3 kB photographs)")
                   .arg(Count(o.windowRecords)),
               RunPageDownload(o.programDir, o.address, o.windowRecords));
    }
    if (o.onlyWindow)
        return finish();

    if (!o.exportsOnly) {
        // ---- Download ----
        table.Section(QStringLiteral("Download from brtx-sim on %1 through brtx-cli download, "
                                     "%2-byte photographs")
                          .arg(o.address, Count(o.photoBytes)));
        DownloadSettings ds;
        ds.programDir = o.programDir;
        ds.address = o.address;
        ds.records = o.records;
        ds.photoBytes = o.photoBytes;
        ds.count = o.records;
        Progress(QStringLiteral("download of %1 records").arg(o.records));
        const DownloadFigures quick = RunDownload(ds);
        ds.strict = true;
        ds.count = o.strictRecords;
        Progress(QStringLiteral("download of %1 records with StrictTiming=1").arg(o.strictRecords));
        const DownloadFigures strict = RunDownload(ds);

        const double strictRate = strict.PerRecordMs() > 0 ? 1000.0 / strict.PerRecordMs() : 0;
        const double ratio = strictRate > 0 ? quick.EndToEndRate() / strictRate : 0;
        table.Row(QStringLiteral("%1 records, default completion").arg(Count(o.records)),
                  QStringLiteral("%1 end to end (%2 in all); %3 once linked")
                      .arg(Rate(quick.EndToEndRate()), Duration(quick.wallMs),
                           Rate(quick.DownloadRate())),
                  QStringLiteral(">= 100 records/s"), Verdict(quick.EndToEndRate() >= 100));
        table.Row(
            QStringLiteral("%1 records, StrictTiming=1").arg(Count(o.strictRecords)),
            QStringLiteral("%1 per record once linked (%2 in all) = %3")
                .arg(Duration(strict.PerRecordMs()), Duration(strict.wallMs), Rate(strictRate)));
        table.Row(QStringLiteral("Default rate / strict rate"),
                  QStringLiteral("%1x").arg(ratio, 0, 'f', 0), QStringLiteral(">= 100x"),
                  Verdict(ratio >= 100));
        const bool stored = quick.ok && strict.ok;
        dataOk = dataOk && stored;
        table.Row(QStringLiteral("Records stored, pictures byte-identical"),
                  QStringLiteral("%1/%2 rows, %3/%4 pictures; strict run %5/%6, %7/%8%9")
                      .arg(quick.rowsMatching)
                      .arg(o.records)
                      .arg(quick.picturesMatching)
                      .arg(o.records)
                      .arg(strict.rowsMatching)
                      .arg(o.strictRecords)
                      .arg(strict.picturesMatching)
                      .arg(o.strictRecords)
                      .arg(stored ? QString()
                                  : QStringLiteral(" (%1)").arg(quick.ok ? strict.problem
                                                                         : quick.problem)),
                  QStringLiteral("all"), Verdict(stored));
        table.Row(QStringLiteral("Peak memory (RSS) of the %1-record run").arg(Count(o.records)),
                  MiB(quick.peakRssKb));
        table.Row(QStringLiteral("Memory, %1-record run").arg(Count(o.records)), MemoryText(quick));
        if (o.longRecords > 0) {
            DownloadSettings ls = ds;
            ls.strict = false;
            ls.records = o.longRecords;
            ls.count = o.longRecords;
            Progress(QStringLiteral("long download of %1 records").arg(o.longRecords));
            const DownloadFigures longRun = RunDownload(ls);
            dataOk = dataOk && longRun.ok;
            if (!o.rssLog.isEmpty()) {
                QFile log(o.rssLog);
                if (log.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                    QTextStream ts(&log);
                    ts << "record rss_kib\n";
                    for (const RssSample& r : longRun.rss)
                        ts << r.record << ' ' << r.rssKb << '\n';
                }
            }
            table.Row(QStringLiteral("Memory, long run of %1 records").arg(Count(o.longRecords)),
                      MemoryText(longRun) +
                          QStringLiteral("; peak %1; %2; %3")
                              .arg(MiB(longRun.peakRssKb), Rate(longRun.EndToEndRate()),
                                   longRun.ok ? QStringLiteral("all stored and identical")
                                              : longRun.problem),
                      QStringLiteral("flat: < 0.25 KiB per record in the last quarter"),
                      Verdict(longRun.ok && longRun.GrowthKbPerRecord(0.75) < kFlatKbPerRecord));
        }

        // ---- Integrity ----
        table.Section(QStringLiteral("Record seals and verify"));
        Progress(QStringLiteral("sealing cost of %1 records").arg(o.records));
        const SealCostFigures cost = RunSealCost(o.records, o.photoBytes);
        dataOk = dataOk && cost.ok;
        if (cost.ok) {
            // The download measured above already seals; its rate without sealing is its time per
            // record less what sealing adds.
            const double extra = cost.sealedMsPerRecord - cost.plainMsPerRecord;
            const double perRecord = quick.DownloadRate() > 0 ? 1000.0 / quick.DownloadRate() : 0;
            const bool measurable = perRecord > 0 && perRecord - extra > 0;
            const double share = measurable ? 100.0 * extra / (perRecord - extra) : 0;
            table.Row(
                QStringLiteral("Sealing, per stored record (%1 records)").arg(Count(o.records)),
                QStringLiteral("processor time %1 ms with seal, %2 ms without: %3 ms more = "
                               "%4% of the download's %5 ms per record without it")
                    .arg(cost.sealedMsPerRecord, 0, 'f', 2)
                    .arg(cost.plainMsPerRecord, 0, 'f', 2)
                    .arg(extra, 0, 'f', 2)
                    .arg(share, 0, 'f', 1)
                    .arg(perRecord - extra, 0, 'f', 2),
                QStringLiteral("< 5% of the download rate"), Verdict(measurable && share < 5));
        } else {
            table.Row(QStringLiteral("Sealing"), cost.problem);
        }
        if (o.verifyRecords > 0) {
            Progress(QStringLiteral("verify of %1 records").arg(o.verifyRecords));
            const VerifyFigures v = RunVerifyBench(o.verifyRecords, o.photoBytes);
            dataOk = dataOk && v.ok;
            if (v.ok) {
                table.Row(QStringLiteral(
                              "verify, %1 records, rows, chains and signatures (one per record)")
                              .arg(Count(v.records)),
                          QStringLiteral("%1 (processor time %2)")
                              .arg(Duration(v.rowsMs), Duration(v.rowsCpuMs)),
                          QStringLiteral("< 2 s"), Verdict(v.rowsMs < 2000));
                table.Row(QStringLiteral("history list, first seal mark of a device of %1 records "
                                         "(the device's whole check, kept for the other marks)")
                              .arg(Count(v.records)),
                          Duration(v.markMs), QStringLiteral("< 2 s"), Verdict(v.markMs < 2000));
                table.Row(QStringLiteral("verify, %1 records with pictures (cold cache)")
                              .arg(Count(v.records)),
                          QStringLiteral("%1 for %2 MB = %3 MB/s (processor time %5); plain read "
                                         "of the same files %4 MB/s")
                              .arg(Duration(v.fullMs))
                              .arg(v.pictureBytes / 1e6, 0, 'f', 0)
                              .arg(v.FullMBps(), 0, 'f', 0)
                              .arg(v.ReadMBps(), 0, 'f', 0)
                              .arg(Duration(v.fullCpuMs)),
                          QStringLiteral("disk read speed"),
                          Verdict(v.FullMBps() >= 0.8 * v.ReadMBps()));
            } else {
                table.Row(QStringLiteral("verify"), v.problem);
            }
        }

        if (o.sealOnly)
            return finish();

        // ---- History list ----
        table.Section(QStringLiteral("History page: Query over the whole date range until the "
                                     "first rows and the count are in (offscreen), median of %1")
                          .arg(o.runs));
        QVector<int> sizes = o.history;
        std::sort(sizes.begin(), sizes.end());
        const int xlsMax = *std::max_element(o.xls.begin(), o.xls.end());
        std::unique_ptr<HistoryHome> largest;
        for (int n : sizes) {
            Progress(QStringLiteral("history of %1 records").arg(n));
            auto home = std::make_unique<HistoryHome>(o.programDir, n);
            if (!home->Ok()) {
                dataOk = false;
                table.Row(QStringLiteral("%1 records").arg(Count(n)), home->Problem());
                continue;
            }
            const ListFigures l = RunHistoryList(*home, o.runs);
            dataOk = dataOk && l.ok;
            const bool goal = n >= 100000;
            table.Row(
                QStringLiteral("%1 records").arg(Count(n)),
                l.ok ? QStringLiteral("%1 (query alone %2; first run %3), %4 rows x %5 columns")
                           .arg(Duration(l.pageMs), Duration(l.queryMs), Duration(l.firstPageMs),
                                Count(l.rows))
                           .arg(l.columns)
                     : l.problem,
                goal ? QStringLiteral("< 0.5 s") : QString(),
                goal ? Verdict(l.ok && l.pageMs < 500) : QString());
            if (n >= xlsMax)
                largest = std::move(home);
        }

        // ---- History workbench ----
        for (int n : o.workbench)
            workbenchRows(n);

        // ---- Exports ----
        table.Section(QStringLiteral("Exports from the history page's list"));
        if (!largest) {
            Progress(QStringLiteral("history of %1 records for the .xls export").arg(xlsMax));
            largest = std::make_unique<HistoryHome>(o.programDir, xlsMax);
        }
        if (largest->Ok()) {
            Progress(QStringLiteral(".xls exports"));
            QVector<int> counts = o.xls;
            std::sort(counts.begin(), counts.end());
            for (const XlsFigures& x : RunXlsExport(*largest, counts)) {
                dataOk = dataOk && x.ok;
                QString goal;
                QString verdict;
                if (x.rows == 10000 || x.rows == 65535) {
                    const double limit = x.rows == 10000 ? 1000 : 5000;
                    goal = QStringLiteral("< %1 s").arg(limit / 1000);
                    verdict = Verdict(x.ok && x.ms < limit);
                }
                table.Row(QStringLiteral(".xls, %1 rows").arg(Count(x.rows)),
                          x.ok ? QStringLiteral("%1, %2 KiB, read back and checked")
                                     .arg(Duration(x.ms), Count(x.fileBytes / 1024))
                               : x.problem,
                          goal, verdict);
            }
            Progress(QStringLiteral("PDF report"));
            const PdfFigures pdf = RunPdfExport(*largest, o.photoBytes);
            dataOk = dataOk && pdf.ok;
            table.Row(QStringLiteral("PDF report of one record (wkhtmltopdf)"),
                      pdf.ok ? QStringLiteral("%1, %2 KiB")
                                   .arg(Duration(pdf.ms), Count(pdf.fileBytes / 1024))
                             : pdf.problem);
        } else {
            dataOk = false;
            table.Row(QStringLiteral("exports"), largest->Problem());
        }
    }

    // ---- .xlsx, CSV, combined PDF ----
    table.Section(QStringLiteral("Export formats: rows of 28 columns written by the export "
                                 "(typed .xlsx cells, CSV), and the combined PDF report"));
    for (const auto& [format, counts] :
         {std::pair<QString, QVector<int>>{QStringLiteral("xlsx"), o.xlsx},
          std::pair<QString, QVector<int>>{QStringLiteral("csv"), o.csv}}) {
        for (int n : counts) {
            Progress(QStringLiteral(".%1 export of %2 rows").arg(format, Count(n)));
            const RowExportFigures x = RunRowExport(format, n);
            dataOk = dataOk && x.ok;
            QString goal;
            bool met = true;
            if (format == QLatin1String("xlsx") && n == 100000) {
                goal = QStringLiteral("< 2 s");
                met = x.ms < 2000;
            } else if (format == QLatin1String("xlsx") && n == 1000000) {
                goal = QStringLiteral("< 20 s, peak < 100 MB");
                met = x.ms < 20000 && x.peakKb < 97656;
            } else if (format == QLatin1String("csv") && n == 1000000) {
                goal = QStringLiteral("< 3 s, memory flat");
                met = x.ms < 3000 && x.peakKb - x.startKb < 20480;
            }
            table.Row(QStringLiteral(".%1, %2 rows").arg(format, Count(n)),
                      x.ok ? QStringLiteral("%1 (processor %2), %3 KiB; peak RSS %4 (%5 before)")
                                 .arg(Duration(x.ms), Duration(x.cpuMs), Count(x.fileBytes / 1024),
                                      MiB(x.peakKb), MiB(x.startKb))
                           : x.problem,
                      goal, goal.isEmpty() ? QString() : Verdict(x.ok && met));
        }
    }
    for (const QString& converter : {QStringLiteral("wkhtmltopdf"), QStringLiteral("brtx-pdf")}) {
        Progress(QStringLiteral("combined PDF report through %1").arg(converter));
        const CombinedPdfFigures p =
            RunCombinedPdf(o.programDir, converter, o.pdfRecords, o.photoBytes);
        const bool goal = o.pdfRecords == 50;
        table.Row(QStringLiteral("Combined PDF, %1 records, %2-byte photos (%3)")
                      .arg(o.pdfRecords)
                      .arg(Count(o.photoBytes), converter),
                  p.ok ? QStringLiteral("%1, %2 pages, %3 KiB")
                             .arg(Duration(p.ms))
                             .arg(p.pages)
                             .arg(Count(p.fileBytes / 1024))
                       : p.problem,
                  goal ? QStringLiteral("< 30 s") : QString(),
                  goal ? Verdict(p.ok && p.ms < 30000) : QString());
    }

    return finish();
}
