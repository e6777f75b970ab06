#include "bench/BenchSupport.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double Median(QVector<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

HomeGuard::HomeGuard(const QString& folder) : m_old(qgetenv("BRTX_HOME")) {
    qputenv("BRTX_HOME", QFile::encodeName(folder));
}

HomeGuard::~HomeGuard() {
    if (m_old.isNull())
        qunsetenv("BRTX_HOME");
    else
        qputenv("BRTX_HOME", m_old);
}

namespace {

// argv / envp of a child, built before fork so the child only calls async-signal-safe functions.
struct ExecArgs {
    std::vector<std::string> argStore;
    std::vector<std::string> envStore;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ExecArgs(const QString& program, const QStringList& args, const QStringList& env) {
        argStore.push_back(program.toStdString());
        for (const QString& a : args)
            argStore.push_back(a.toStdString());
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString& kv : env) {
            const qsizetype eq = kv.indexOf('=');
            if (eq > 0)
                e.insert(kv.left(eq), kv.mid(eq + 1));
        }
        for (const QString& kv : e.toStringList())
            envStore.push_back(kv.toStdString());
        for (std::string& s : argStore)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        for (std::string& s : envStore)
            envp.push_back(s.data());
        envp.push_back(nullptr);
    }
};

// Starts the child with its standard output and error on a pipe; returns its pid (the read
// end in *readFd) or -1.
pid_t Spawn(const QString& program, const QStringList& args, const QStringList& env, int* readFd,
            QString* error) {
    ExecArgs ea(program, args, env);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = QStringLiteral("pipe: %1").arg(strerror(errno));
        return -1;
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        if (devNull >= 0)
            dup2(devNull, 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execve(ea.argv[0], ea.argv.data(), ea.envp.data());
        _exit(127);
    }
    if (devNull >= 0)
        close(devNull);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        *error = QStringLiteral("fork: %1").arg(strerror(errno));
        return -1;
    }
    *readFd = fds[0];
    return pid;
}

// Splits complete lines off the front of pending.
template <typename F> void TakeLines(QByteArray& pending, F&& each) {
    qsizetype nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
        QByteArray line = pending.left(nl);
        if (line.endsWith('\r'))
            line.chop(1);
        each(QString::fromUtf8(line));
        pending.remove(0, nl + 1);
    }
}

} // namespace

ChildResult RunChild(const QString& program, const QStringList& args, const QStringList& env,
                     int timeoutMs, const LineHandler& onLine) {
    ChildResult result;
    int fd = -1;
    const double start = NowMs();
    const pid_t pid = Spawn(program, args, env, &fd, &result.error);
    if (pid < 0)
        return result;
    result.started = true;

    QByteArray pending;
    auto emitLine = [&](const QString& text) {
        ChildLine line{text, NowMs() - start};
        result.lines.append(line);
        if (onLine)
            onLine(line, pid);
    };
    char chunk[65536];
    for (;;) {
        const double left = timeoutMs - (NowMs() - start);
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue; // the time-out is checked at the top
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the child closed its output: it is ending
        pending.append(chunk, n);
        TakeLines(pending, emitLine);
    }
    close(fd);
    if (!pending.isEmpty())
        emitLine(QString::fromUtf8(pending));

    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.wallMs = NowMs() - start;
    result.peakRssKb = usage.ru_maxrss;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    if (result.exitCode == 127)
        result.error = QStringLiteral("%1 could not be run").arg(program);
    return result;
}

BackgroundChild::~BackgroundChild() {
    Stop();
}

bool BackgroundChild::Start(const QString& program, const QStringList& args,
                            const QString& readyPrefix, int timeoutMs, QString* error) {
    Stop();
    m_pid = Spawn(program, args, QStringList(), &m_fd, error);
    if (m_pid < 0)
        return false;
    const double start = NowMs();
    QByteArray pending;
    QStringList seen;
    bool ready = false;
    char chunk[4096];
    while (!ready) {
        const double left = timeoutMs - (NowMs() - start);
        if (left <= 0)
            break;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, int(left) + 1) <= 0)
            continue;
        const ssize_t n = read(m_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // it ended before it was ready
        pending.append(chunk, n);
        TakeLines(pending, [&](const QString& line) {
            seen.append(line);
            if (line.startsWith(readyPrefix))
                ready = true;
        });
    }
    if (!ready) {
        *error = QStringLiteral("%1 did not start: %2").arg(program, seen.join(" / "));
        Stop();
    }
    return ready;
}

void BackgroundChild::Stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    int status = 0;
    const double start = NowMs();
    for (;;) {
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR))
            break;
        if (NowMs() - start > 5000) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        QThread::msleep(10); // polling for the exit of a stopped child
    }
    m_pid = -1;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

long ProcessRssKb(pid_t pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray all = f.readAll();
    for (const QByteArray& line : all.split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

QString MachineText() {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    QString cpu = QStringLiteral("unknown CPU");
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n'))
            if (line.startsWith("model name")) {
                cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
    }
    const double memGiB = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) /
                          (1024.0 * 1024.0 * 1024.0);
    return QStringLiteral("%1 cores (nproc), %2, %3 GiB memory")
        .arg(cores)
        .arg(cpu)
        .arg(memGiB, 0, 'f', 1);
}

QString LoadText() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    const QList<QByteArray> parts = f.readAll().split(' ');
    QStringList three;
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        three.append(QString::fromLatin1(parts[i]));
    return three.join(' ');
}

void ResultTable::Section(const QString& title) {
    m_rows.append({true, {title}});
}

void ResultTable::Row(const QString& measure, const QString& result, const QString& goal,
                      const QString& verdict) {
    m_rows.append({false, {measure, result, goal, verdict}});
}

QString ResultTable::Text() const {
    const QStringList head{QStringLiteral("Measure"), QStringLiteral("Result"),
                           QStringLiteral("Goal"), QStringLiteral("Met")};
    QVector<int> width(4);
    for (int c = 0; c < 4; ++c)
        width[c] = int(head[c].size());
    for (const Entry& e : m_rows)
        if (!e.section)
            for (int c = 0; c < 4; ++c)
                width[c] = qMax(width[c], int(e.cells[c].size()));
    auto line = [&](const QStringList& cells) {
        QString out = QStringLiteral("|");
        for (int c = 0; c < 4; ++c)
            out += ' ' + cells.value(c).leftJustified(width[c]) + QStringLiteral(" |");
        return out + '\n';
    };
    QString out = line(head);
    QStringList rule;
    for (int c = 0; c < 4; ++c)
        rule.append(QString(width[c], '-'));
    out += line(rule);
    for (const Entry& e : m_rows)
        out += e.section ? line({QStringLiteral("**%1**").arg(e.cells[0])}) : line(e.cells);
    return out;
}

bool ResultTable::AllGoalsMet() const {
    for (const Entry& e : m_rows)
        if (!e.section && e.cells[3] == QLatin1String("NO"))
            return false;
    return true;
}

QString Verdict(bool met) {
    return met ? QStringLiteral("yes") : QStringLiteral("NO");
}

QString Count(qint64 n) {
    QString digits = QString::number(n < 0 ? -n : n);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, ',');
    return n < 0 ? '-' + digits : digits;
}

QString Duration(double ms) {
    if (ms < 1000)
        return QStringLiteral("%1 ms").arg(ms, 0, 'f', ms < 10 ? 1 : 0);
    return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 2);
}

} // namespace bench
