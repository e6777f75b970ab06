#include "bench/BenchStation.h"

#include "bench/BenchDownload.h"
#include "bench/BenchResponsive.h"
#include "bench/BenchSupport.h"

#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <vector>

#include <unistd.h>

namespace bench {

namespace {

constexpr const char* kFirstDevice = "000123456789"; // brtx-sim's default device number

// A program folder with the program's Language.ini and the stand-in adb in adbcopy/.
bool MakeStationHome(const QString& programDir, const QString& home, QString* problem) {
    if (!MakeBenchHome(programDir, home, false, problem))
        return false;
    QDir(home).mkpath(QStringLiteral("adbcopy"));
    const QString adb = home + QStringLiteral("/adbcopy/adb");
    if (!QFile::copy(programDir + QStringLiteral("/fake-adb"), adb)) {
        *problem = QStringLiteral("no fake-adb in %1").arg(programDir);
        return false;
    }
    QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

// "SERIAL PORT" lines of a map file, the ports in order.
QVector<quint16> MapPorts(const QString& file) {
    QVector<quint16> ports;
    QFile f(file);
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray& line : f.readAll().split('\n'))
            if (const QList<QByteArray> parts = line.simplified().split(' '); parts.size() >= 2)
                ports.append(quint16(parts[1].toUInt()));
    return ports;
}

// Checks instrument k of a fleet (device number kFirstDevice + k) against the simulator on
// 127.0.0.1:port; adds its matching rows and pictures to the run.
void CheckInstrument(const StationSettings& s, const QString& home, int k, quint16 port,
                     StationRun& run) {
    brtxsim::SimConfig cfg;
    cfg.recordCount = s.records;
    cfg.photoBytes = s.photoBytes;
    cfg.deviceNumber = QStringLiteral("%1").arg(
        QByteArray(kFirstDevice).toULongLong() + qulonglong(k), 12, 10, QLatin1Char('0'));
    const brtxsim::CSimulator expected(cfg);
    DownloadFigures d;
    VerifyDeviceDownload(expected, QStringLiteral("127.0.0.1"), port, home, s.records, d);
    run.rowsMatching += d.rowsMatching;
    run.picturesMatching += d.picturesMatching;
    if (!d.ok && run.problem.isEmpty())
        run.problem = QStringLiteral("instrument %1: %2").arg(k + 1).arg(d.problem);
}

} // namespace

StationRun RunStationWatch(const StationSettings& s, int instruments) {
    StationRun run;
    run.instruments = instruments;
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/brtx-bench-XXXXXX"));
    if (!dir.isValid()) {
        run.problem = QStringLiteral("no temporary folder");
        return run;
    }
    const QString home = dir.path() + QStringLiteral("/home");
    QDir().mkpath(home);
    if (!MakeStationHome(s.programDir, home, &run.problem))
        return run;
    const QString map = dir.path() + QStringLiteral("/fleet.map");
    BackgroundChild sim;
    const QStringList simArgs{QStringLiteral("--instruments"), QString::number(instruments),
                              QStringLiteral("--port"),        QStringLiteral("0"),
                              QStringLiteral("--records"),     QString::number(s.records),
                              QStringLiteral("--photo-bytes"), QString::number(s.photoBytes),
                              QStringLiteral("--map"),         map};
    if (!sim.Start(s.programDir + QStringLiteral("/brtx-sim"), simArgs,
                   QStringLiteral("Ctrl+C stops"), 10000, &run.problem))
        return run;
    const QVector<quint16> ports = MapPorts(map);
    if (ports.size() != instruments) {
        run.problem = QStringLiteral("the simulator's map names %1 instruments").arg(ports.size());
        return run;
    }
    const ChildResult r = RunChild(
        s.programDir + QStringLiteral("/brtx-cli"),
        {QStringLiteral("--home"), home, QStringLiteral("watch"), QStringLiteral("--once")},
        {QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("FAKE_ADB_MAP=") + map},
        s.timeoutMs);
    run.wallMs = r.wallMs;
    run.peakRssKb = r.peakRssKb;
    if (!r.started || r.timedOut || r.exitCode != 0) {
        QStringList lines;
        for (const ChildLine& line : r.lines)
            lines.append(line.text);
        run.problem = r.timedOut ? QStringLiteral("brtx-cli watch timed out")
                                 : QStringLiteral("brtx-cli watch exit %1 %2: %3")
                                       .arg(r.exitCode)
                                       .arg(r.error, lines.join(QStringLiteral(" / ")));
        return run;
    }
    for (int k = 0; k < instruments; ++k)
        CheckInstrument(s, home, k, ports[k], run);
    run.ok = run.problem.isEmpty() && run.rowsMatching == instruments * s.records &&
             run.picturesMatching == instruments * s.records;
    return run;
}

StationGap RunStationPage(const StationSettings& s) {
    StationGap out;
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/brtx-bench-XXXXXX"));
    if (!dir.isValid() || !MakeStationHome(s.programDir, dir.path(), &out.problem)) {
        if (out.problem.isEmpty())
            out.problem = QStringLiteral("no temporary folder");
        return out;
    }
    const HomeGuard guard(dir.path());
    std::vector<std::unique_ptr<brtxsim::CSimulator>> sims;
    QFile map(dir.path() + QStringLiteral("/adbcopy/fake-adb.map"));
    if (!map.open(QIODevice::WriteOnly)) {
        out.problem = QStringLiteral("cannot write the adb map");
        return out;
    }
    for (int k = 0; k < s.instruments; ++k) {
        brtxsim::SimConfig cfg;
        cfg.port = 0;
        cfg.recordCount = s.records;
        cfg.photoBytes = s.photoBytes;
        cfg.deviceNumber = QStringLiteral("%1").arg(
            QByteArray(kFirstDevice).toULongLong() + qulonglong(k), 12, 10, QLatin1Char('0'));
        auto sim = std::make_unique<brtxsim::CSimulator>(cfg);
        if (!sim->Start(&out.problem))
            return out;
        map.write(QStringLiteral("SIM%1 %2\n")
                      .arg(k + 1, 4, 10, QLatin1Char('0'))
                      .arg(sim->Port())
                      .toUtf8());
        sims.push_back(std::move(sim));
    }
    map.close();

    const CLanguage texts;
    const QString done = texts.GetText(QStringLiteral("StationDone"));
    const QString failed =
        texts.GetText(QStringLiteral("StationFailed")).section(QStringLiteral("%s"), 0, 0);
    CFirstPage page;
    QTableWidget* table = page.StationTable();
    int failures = 0;
    auto allEnded = [&] {
        int ended = 0;
        failures = 0;
        for (int row = 0; row < table->rowCount(); ++row) {
            const QString state = table->item(row, 2) ? table->item(row, 2)->text() : QString();
            if (state == done)
                ++ended;
            else if (!failed.isEmpty() && state.startsWith(failed))
                ++ended, ++failures;
        }
        return ended == s.instruments;
    };

    const GapFigures gaps =
        WatchGaps(allEnded, s.timeoutMs, [&] { page.StationSwitch()->setChecked(true); });
    out.wallMs = gaps.waitedMs;
    out.longestGapMs = gaps.longestGapMs;
    const bool ended = allEnded();
    page.StationSwitch()->setChecked(false);
    QElapsedTimer settle;
    settle.start();
    while (page.IsStationMode() && settle.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    SQLite::Database db;
    const int rows = db.Open(dir.path() + QStringLiteral("/brtx.db")) == 0
                         ? db.QuerySQL(QStringLiteral("SELECT count(*) FROM ValueInfo"))
                               .m_rows.value(0)
                               .value(0)
                               .toInt()
                         : 0;
    db.Close();
    if (!ended)
        out.problem =
            QStringLiteral("not every instrument was done within %1 s").arg(s.timeoutMs / 1000);
    else if (failures > 0)
        out.problem = QStringLiteral("%1 instruments failed").arg(failures);
    else if (rows != s.instruments * s.records)
        out.problem =
            QStringLiteral("%1 rows stored, %2 expected").arg(rows).arg(s.instruments * s.records);
    out.ok = out.problem.isEmpty();
    return out;
}

namespace {

// utime + stime (and with children: + cutime + cstime) of a process, in seconds.
bool CpuSeconds(qint64 pid, double* own, double* withChildren) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = f.readAll();
    // The fields after the command name (which may hold blanks) start after its ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 15)
        return false;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    // Fields 14..17 of the whole line are utime, stime, cutime, cstime (here 11..14).
    *own = (fields[11].toDouble() + fields[12].toDouble()) / tick;
    *withChildren = *own + (fields[13].toDouble() + fields[14].toDouble()) / tick;
    return true;
}

} // namespace

IdleFigures RunIdleWatch(const StationSettings& s) {
    IdleFigures out;
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/brtx-bench-XXXXXX"));
    if (!dir.isValid() || !MakeStationHome(s.programDir, dir.path(), &out.problem)) {
        if (out.problem.isEmpty())
            out.problem = QStringLiteral("no temporary folder");
        return out;
    }
    // An empty map: adb lists no device at each pass.
    const QString map = dir.path() + QStringLiteral("/empty.map");
    QFile(map).open(QIODevice::WriteOnly);
    QProcess watch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("FAKE_ADB_MAP"), map);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    watch.setProcessEnvironment(env);
    watch.setProcessChannelMode(QProcess::MergedChannels);
    watch.start(s.programDir + QStringLiteral("/brtx-cli"),
                {QStringLiteral("--home"), dir.path(), QStringLiteral("watch")});
    if (!watch.waitForStarted(10000)) {
        out.problem = QStringLiteral("brtx-cli watch did not start");
        return out;
    }
    const qint64 pid = watch.processId();
    // Start-up (loading the libraries, the first pass) is left out: the span begins 2 s in.
    watch.waitForFinished(2000);
    double ownStart = 0, allStart = 0, ownEnd = 0, allEnd = 0;
    QElapsedTimer span;
    span.start();
    const bool started =
        watch.state() == QProcess::Running && CpuSeconds(pid, &ownStart, &allStart);
    watch.waitForFinished(s.idleSeconds * 1000);
    const bool ended = watch.state() == QProcess::Running && CpuSeconds(pid, &ownEnd, &allEnd);
    out.seconds = span.elapsed() / 1000.0;
    out.rssKb = ProcessRssKb(pid_t(pid));
    watch.terminate();
    if (!watch.waitForFinished(10000)) {
        watch.kill();
        watch.waitForFinished(5000);
    }
    if (!started || !ended) {
        out.problem = QStringLiteral("brtx-cli watch ended early: %1")
                          .arg(QString::fromUtf8(watch.readAll()).simplified());
        return out;
    }
    out.cpuPercent = 100.0 * (ownEnd - ownStart) / out.seconds;
    out.cpuWithAdb = 100.0 * (allEnd - allStart) / out.seconds;
    out.ok = true;
    return out;
}

} // namespace bench
