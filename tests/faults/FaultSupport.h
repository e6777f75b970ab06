#pragma once
// Shared by the fault and hostile-data tests (header only, so both test programs can use it):
// running brtx-cli as a child process, a raw instrument peer for replies the simulator does not
// make, and the checks that a download left a sound store behind (database integrity, rows
// equal to what the instrument sent, complete pictures, no stray files).
#include "common/TestSupport.h"
#include "sim/lib/Simulator.h"
#include "store/Statements.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace faults {

// ---- brtx-cli as a child process ----

struct CliResult {
    bool finished = false; // ended by itself within the time limit
    int exitCode = -1;
    QStringList lines; // standard output, one status text per line
    QString errors;    // standard error
    qint64 ms = 0;
    QString text() const { return lines.join('\n') + "\n[stderr]\n" + errors; }
};

inline QString cliPath() {
    return brtxtest::programDir() + "/brtx-cli";
}

// Runs brtx-cli --home HOME ARGS and waits at most timeoutMs (the child is killed after that).
// inChild, when given, runs in the child before the program starts (limits, signals).
inline CliResult runCli(const QString& home, const QStringList& args, int timeoutMs = 60000,
                        const std::function<void()>& inChild = {}) {
    CliResult r;
    QProcess p;
    if (inChild)
        p.setChildProcessModifier(inChild);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("BRTX_DEBUG");
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(cliPath(), QStringList{"--home", home} + args);
    if (!p.waitForStarted(10000)) {
        r.errors = "brtx-cli did not start: " + p.errorString();
        return r;
    }
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.ms = t.elapsed();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    r.lines = out.split('\n', Qt::SkipEmptyParts);
    r.errors = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// ---- A raw instrument peer ----

// The record number of a ReadRecord request; 0 for any other request.
inline quint32 recordOf(const QByteArray& request) {
    if (request.size() != 18 || quint8(request[11]) != 0x02 || quint8(request[12]) != 0x10)
        return 0;
    return quint8(request[13]) | (quint8(request[14]) << 8) | (quint32(quint8(request[15])) << 16);
}

// Plays the instrument on address:7575 with the simulator's replies (CSimulator::ReplyFor), one
// client at a time, and lets a hook change each reply before it is sent: for replies the
// simulator cannot make (bytes that are not UTF-8, hand-made text blocks, 0xFF addresses).
class RawPeer {
public:
    using Hook = std::function<QByteArray(const QByteArray& request, const QByteArray& reply)>;

    RawPeer(const brtxsim::SimConfig& config, Hook hook)
        : m_sim(config), m_address(config.address), m_hook(std::move(hook)) {}
    ~RawPeer() { Stop(); }

    bool Start(QString* error = nullptr) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(7575);
        ::inet_pton(AF_INET, m_address.toLatin1().constData(), &a.sin_addr);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 4) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
            if (error)
                *error = QString("cannot listen on %1:7575: %2").arg(m_address, strerror(errno));
            ::close(m_listen);
            m_listen = -1;
            return false;
        }
        m_thread = std::thread([this] { serve(); });
        return true;
    }

    void Stop() {
        if (m_listen < 0)
            return;
        m_running = false;
        const char c = 0;
        (void)!::write(m_wake[1], &c, 1);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
        m_listen = -1;
    }

    brtxsim::CSimulator& Sim() { return m_sim; }
    QList<quint32> RecordRequests() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }

private:
    void serve() {
        int client = -1;
        QByteArray in;
        while (m_running) {
            pollfd p[3] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}, {client, POLLIN, 0}};
            if (::poll(p, client >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
                break;
            if (!m_running)
                break;
            if (p[0].revents & POLLIN) {
                const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    if (client >= 0)
                        ::close(client);
                    client = fd;
                    in.clear();
                }
                continue;
            }
            if (client < 0 || !(p[2].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t got = ::recv(client, buf, sizeof buf, 0);
            if (got <= 0) {
                ::close(client);
                client = -1;
                continue;
            }
            in.append(buf, int(got));
            while (in.size() >= 13) {
                const bool record = quint8(in[11]) == 0x02 && quint8(in[12]) == 0x10;
                const int len = record ? 18 : 13 + (quint8(in[9]) | (quint8(in[10]) << 8));
                if (in.size() < len)
                    break;
                const QByteArray req = in.left(len);
                in.remove(0, len);
                QByteArray reply = m_sim.ReplyFor(req);
                if (record) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_records.append(recordOf(req));
                }
                if (m_hook)
                    reply = m_hook(req, reply);
                if (::send(client, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL) < 0)
                    break;
            }
        }
        if (client >= 0)
            ::close(client);
    }

    brtxsim::CSimulator m_sim;
    QString m_address;
    Hook m_hook;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_running{true};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    QList<quint32> m_records;
};

// A record reply as the instrument lays it out: 68 a1..a6 68 81 L 02 10 n0 n1 n2, the picture,
// one record's text block (count byte 40, then each field as length, bytes, one spare byte),
// w, check byte, 16. Fields beyond the list are empty; a field keeps at most 255 bytes.
inline QByteArray recordReply(const QByteArray& address, quint32 n, const QByteArray& picture,
                              const QList<QByteArray>& fields) {
    QByteArray text(1, char(40));
    for (int k = 0; k < 40; ++k) {
        const QByteArray f = fields.value(k).left(255);
        text.append(char(f.size()));
        text.append(f);
        text.append(char(0));
    }
    QByteArray r;
    r.append(char(0x68));
    r.append(address.left(6).leftJustified(6, char(0)));
    r.append(char(0x68));
    r.append(char(0x81));
    const quint32 length = quint32(8 + picture.size() + text.size());
    for (int i = 0; i < 4; ++i)
        r.append(char((length >> (8 * i)) & 0xFF));
    r.append(char(0x02));
    r.append(char(0x10));
    for (int i = 0; i < 3; ++i)
        r.append(char((n >> (8 * i)) & 0xFF));
    r.append(picture);
    r.append(text);
    r.append(char(text.size() & 0xFF));
    r.append(char((text.size() >> 8) & 0xFF));
    unsigned sum = 0;
    for (char c : r)
        sum += quint8(c);
    r.append(char(sum & 0xFF));
    r.append(char(0x16));
    return r;
}

// The text block of a record reply: [start, end) offsets, with L at 9..12 and w at 10+L.
inline bool textBlock(const QByteArray& reply, int* start, int* end) {
    if (reply.size() < 18)
        return false;
    const quint32 length = quint8(reply[9]) | (quint8(reply[10]) << 8) |
                           (quint32(quint8(reply[11])) << 16) | (quint32(quint8(reply[12])) << 24);
    if (12 + qint64(length) > reply.size())
        return false;
    const int w = quint8(reply[10 + length]) | (quint8(reply[11 + length]) << 8);
    *start = 10 + int(length) - w;
    *end = 10 + int(length);
    return true;
}

// Replaces the text of field `field` of the first record in a record reply with bytes of the
// same length (so every length stays right).
inline QByteArray replaceField(const QByteArray& reply, int field, const QByteArray& bytes) {
    int pos = 0, end = 0;
    if (!textBlock(reply, &pos, &end))
        return reply;
    QByteArray out = reply;
    ++pos; // field count
    for (int f = 0; f < field && pos < end; ++f)
        pos += 1 + quint8(out[pos]) + 1;
    const int len = quint8(out[pos]);
    for (int i = 0; i < len && i < bytes.size(); ++i)
        out[pos + 1 + i] = bytes[i];
    return out;
}

// ---- What a download left behind ----

// What record n's row must hold: fields 0..34 as sent, then GPS "f36 f37". Path and
// PictureName are checked against the picture files instead.
inline QStringList expectedRow(const brtxsim::CSimulator& sim, int n) {
    const QStringList f = sim.RecordFields(n);
    QStringList out = f.mid(0, 35);
    out.append(f.value(36) + ' ' + f.value(37));
    return out;
}

struct DbRow {
    QStringList values; // the 38 ValueInfo columns in column order, raw UTF-8 decoded
    QList<QByteArray> raw;
};

// Reads ValueInfo (38 columns) and the integrity check with the plain SQLite API, so the check
// does not depend on the program's own wrapper.
inline QVector<DbRow> readValueInfo(const QString& dbPath, QString* integrity,
                                    QString* error = nullptr) {
    QVector<DbRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(dbPath).constData(), &db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
        if (error)
            *error = "cannot open " + dbPath;
        sqlite3_close(db);
        return rows;
    }
    auto each = [&](const QString& sql, const std::function<void(sqlite3_stmt*)>& fn) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) != SQLITE_OK) {
            if (error)
                *error = QString::fromUtf8(sqlite3_errmsg(db));
            return;
        }
        while (sqlite3_step(st) == SQLITE_ROW)
            fn(st);
        sqlite3_finalize(st);
    };
    if (integrity) {
        integrity->clear();
        each("PRAGMA integrity_check", [&](sqlite3_stmt* st) {
            *integrity +=
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        });
    }
    each("SELECT " + Statements::ValueInfoColumns().join(',') + " FROM ValueInfo ORDER BY rowid",
         [&](sqlite3_stmt* st) {
             DbRow row;
             for (int c = 0; c < sqlite3_column_count(st); ++c) {
                 const QByteArray bytes(reinterpret_cast<const char*>(sqlite3_column_blob(st, c)),
                                        sqlite3_column_bytes(st, c));
                 row.raw.append(bytes);
                 row.values.append(QString::fromUtf8(bytes));
             }
             rows.append(row);
         });
    sqlite3_close(db);
    return rows;
}

// Every file under the folder, relative to it, sorted.
inline QStringList filesUnder(const QString& folder) {
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(folder).relativeFilePath(it.next()));
    out.sort();
    return out;
}

struct StoreCheck {
    QString integrity;
    QVector<DbRow> rows;
    QMap<int, int> rowsPerRecord; // Record_No -> rows
    QStringList problems;         // empty when everything is sound
    QString report() const { return problems.join('\n'); }
};

// Checks what a download from `sim` left in home:
//  - PRAGMA integrity_check is "ok";
//  - every row equals what the instrument sent for its record number (no cut or shifted
//    value; `expect` may adjust the expected values of a record, e.g. a field that cannot be
//    decoded and is stored empty);
//  - each row's Path is "\<device>\<PictureName>" and names a complete picture;
//  - every file in pic/<device>/ is a complete picture of the record its name carries and
//    there are no temporary or other files; nothing else was written anywhere in home.
// Rows of records beyond the instrument's total (extras of another reply) may name a picture
// that never arrives.
inline StoreCheck checkStore(const QString& home, const brtxsim::CSimulator& sim,
                             const std::function<void(int, QStringList&)>& expect = {}) {
    // Records beyond the instrument's total can only come as extras of another reply; their
    // own picture never arrives.
    const int total = sim.RecordCount();
    StoreCheck c;
    QString error;
    c.rows = readValueInfo(home + "/brtx.db", &c.integrity, &error);
    if (!error.isEmpty())
        c.problems.append("database: " + error);
    if (c.integrity != "ok")
        c.problems.append("integrity_check: " + c.integrity);
    const QString device = sim.DeviceNumberText();
    const QString folder = home + "/pic/" + device;
    const int columns = Statements::ValueInfoColumns().size();

    auto pictureOk = [&](const QString& name) {
        static const QRegularExpression re("^(\\d{5,})(_\\d+)?\\.jpg$");
        const QRegularExpressionMatch m = re.match(name);
        if (!m.hasMatch())
            return QString("unexpected picture name " + name);
        QFile f(folder + "/" + name);
        if (!f.open(QIODevice::ReadOnly))
            return QString("missing picture " + name);
        if (f.readAll() != sim.Photo(m.captured(1).toInt()))
            return QString("picture " + name + " is not the whole photograph");
        return QString();
    };

    for (const DbRow& row : c.rows) {
        if (row.values.size() != columns) {
            c.problems.append("row with wrong column count");
            continue;
        }
        bool numeric = false;
        const int n = row.values[1].toInt(&numeric);
        if (!numeric) {
            c.problems.append("row with Record_No '" + row.values[1] + "'");
            continue;
        }
        ++c.rowsPerRecord[n];
        QStringList want = expectedRow(sim, n);
        if (expect)
            expect(n, want);
        const QStringList got = row.values.mid(0, 36);
        for (int i = 0; i < want.size(); ++i) {
            if (got.value(i) != want[i])
                c.problems.append(
                    QString("record %1 column %2: '%3' instead of '%4'")
                        .arg(n)
                        .arg(Statements::ValueInfoColumns()[i], got.value(i), want[i]));
        }
        const QString name = row.values[37];
        if (row.values[36] != "\\" + device + "\\" + name)
            c.problems.append(
                QString("record %1 Path '%2' does not name '%3'").arg(n).arg(row.values[36], name));
        const QString bad = pictureOk(name);
        if (!bad.isEmpty() && !(n > total && !QFile::exists(folder + "/" + name)))
            c.problems.append(QString("record %1: %2").arg(n).arg(bad));
        // The row shows its own record's photograph, never another test's.
        if (name.section(QRegularExpression("[_.]"), 0, 0).toInt() != n)
            c.problems.append(QString("record %1 names the picture %2").arg(n).arg(name));
    }
    for (auto it = c.rowsPerRecord.cbegin(); it != c.rowsPerRecord.cend(); ++it)
        if (it.value() != 1)
            c.problems.append(QString("record %1 stored %2 times").arg(it.key()).arg(it.value()));

    for (const QString& file : filesUnder(home)) {
        if (file == "brtx.db" || file == "brtx.db-wal" || file == "brtx.db-shm" ||
            file == "brtx.db-journal" || file == "Language.ini" || file == "failer.jpg" ||
            file == "desk.key")
            continue;
        if (file.startsWith("pic/" + device + "/") && file.count('/') == 2) {
            const QString bad = pictureOk(file.section('/', 2));
            if (!bad.isEmpty())
                c.problems.append(bad);
            continue;
        }
        if (file.startsWith("pdf/") && file.count('/') == 1)
            continue;
        c.problems.append("stray file " + file);
    }
    return c;
}

// True when records first..last each have exactly one row.
inline bool complete(const StoreCheck& c, int first, int last) {
    for (int n = first; n <= last; ++n)
        if (c.rowsPerRecord.value(n) != 1)
            return false;
    return true;
}

} // namespace faults
