#pragma once
// Helpers of the benchmark program: child processes with their output lines, time stamps and
// resource use, memory readings from /proc, the machine description and the result table.
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <sys/types.h>

namespace bench {

// Milliseconds on a steady clock since an arbitrary start.
double NowMs();
// The middle value (the upper one of an even count); 0 for none.
double Median(QVector<double> values);

// BRTX_HOME names the folder for as long as the object lives; then it is as it was (unset when
// it was unset).
class HomeGuard {
public:
    explicit HomeGuard(const QString& folder);
    ~HomeGuard();
    HomeGuard(const HomeGuard&) = delete;
    HomeGuard& operator=(const HomeGuard&) = delete;

private:
    QByteArray m_old;
};

// One line of a child's output (standard output and standard error merged).
struct ChildLine {
    QString text;
    double atMs = 0; // since the child was started
};

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;  // -1 when it did not exit normally
    double wallMs = 0;  // start to exit
    long peakRssKb = 0; // the child's peak resident set (wait4's ru_maxrss)
    QVector<ChildLine> lines;
    QString error; // why it could not be started
};

// Called for each output line as it arrives, with the child's process id (still running).
using LineHandler = std::function<void(const ChildLine& line, pid_t pid)>;

// Runs program with args (environment: ours plus the KEY=VALUE entries of env) until it
// exits or timeoutMs passes (it is then killed). Standard input is /dev/null.
ChildResult RunChild(const QString& program, const QStringList& args, const QStringList& env,
                     int timeoutMs, const LineHandler& onLine = LineHandler());

// A program left running in the background (the simulator): started, waited for until a line
// starting with readyPrefix appears, stopped with SIGTERM (SIGKILL if it lingers).
class BackgroundChild {
public:
    BackgroundChild() = default;
    ~BackgroundChild(); // Stop()
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    bool Start(const QString& program, const QStringList& args, const QString& readyPrefix,
               int timeoutMs, QString* error);
    void Stop();
    bool Running() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

// The resident set of a running process in KiB (VmRSS of /proc/PID/status); 0 when unknown.
long ProcessRssKb(pid_t pid);

// "2 cores, <CPU model>, 23.5 GiB memory" from nproc and /proc.
QString MachineText();
// The load averages of /proc/loadavg ("0.52 0.60 0.71").
QString LoadText();

// The printed result table: one row per measure.
class ResultTable {
public:
    void Section(const QString& title);
    // verdict: "yes", "NO", or "" when the measure has no goal.
    void Row(const QString& measure, const QString& result, const QString& goal = QString(),
             const QString& verdict = QString());
    // Markdown-style table, ready for the README.
    QString Text() const;
    bool AllGoalsMet() const;

private:
    struct Entry {
        bool section = false;
        QStringList cells;
    };
    QVector<Entry> m_rows;
};

QString Verdict(bool met);
// "1,234" style thousands.
QString Count(qint64 n);
// Milliseconds as "0.123 s" or "12 ms".
QString Duration(double ms);

} // namespace bench
