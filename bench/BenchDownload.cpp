#include "bench/BenchDownload.h"

#include "bench/BenchSupport.h"

#include "base/Language.h"
#include "sim/lib/Simulator.h"
#include "store/SQLite.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

double DownloadFigures::EndToEndRate() const {
    return wallMs > 0 ? downloaded * 1000.0 / wallMs : 0;
}

double DownloadFigures::DownloadRate() const {
    const double span = lastMs - linkedMs;
    return span > 0 ? downloaded * 1000.0 / span : 0;
}

double DownloadFigures::PerRecordMs() const {
    return downloaded > 0 ? (lastMs - linkedMs) / downloaded : 0;
}

RssSample DownloadFigures::SampleAt(double fraction) const {
    if (rss.isEmpty())
        return RssSample();
    const int record = std::max(1, int(rss.last().record * fraction));
    const auto it = std::find_if(rss.begin(), rss.end(),
                                 [&](const RssSample& s) { return s.record >= record; });
    return it == rss.end() ? rss.last() : *it;
}

double DownloadFigures::GrowthKbPerRecord(double fraction) const {
    const RssSample from = SampleAt(fraction);
    if (rss.isEmpty() || from.record >= rss.last().record)
        return 0;
    return double(rss.last().rssKb - from.rssKb) / double(rss.last().record - from.record);
}

namespace {

// A program folder of our own: Language.ini (with StrictTiming as asked) and failer.jpg.
bool MakeHome(const QString& programDir, const QString& home, bool strict, QString* problem) {
    QFile ini(programDir + QStringLiteral("/Language.ini"));
    if (!ini.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("no Language.ini in %1").arg(programDir);
        return false;
    }
    QByteArray text = ini.readAll();
    const QByteArray want = strict ? "StrictTiming=1" : "StrictTiming=0";
    static const QRegularExpression key(QStringLiteral("StrictTiming=[^\\r\\n]*"));
    QString s = QString::fromUtf8(text);
    if (s.contains(key))
        s.replace(key, QString::fromLatin1(want));
    else
        s.replace(QStringLiteral("[Global]"), QStringLiteral("[Global]\n") + want);
    QFile out(home + QStringLiteral("/Language.ini"));
    if (!out.open(QIODevice::WriteOnly) || out.write(s.toUtf8()) < 0) {
        *problem = QStringLiteral("cannot write %1").arg(out.fileName());
        return false;
    }
    QFile::copy(programDir + QStringLiteral("/failer.jpg"), home + QStringLiteral("/failer.jpg"));
    return true;
}

// The 38 stored values of record n as the simulator's fields give them.
QStringList ExpectedRow(const brtxsim::CSimulator& sim, int n, const QString& folder) {
    const QStringList f = sim.RecordFields(n);
    QStringList row;
    row.append(f[0].right(12));
    for (int i = 1; i <= 34; ++i)
        row.append(f[i]);
    row.append(f[36] + ' ' + f[37]);
    const QString name = QStringLiteral("%1.jpg").arg(n, 5, 10, QLatin1Char('0'));
    row.append(QStringLiteral("\\%1\\%2").arg(folder, name));
    row.append(name);
    return row;
}

// The picture bytes of records 1 .. count as the running simulator sends them, fetched over
// a plain socket of our own (one request at a time, each reply read to its last byte).
bool FetchPictures(const QString& address, quint16 port, int count, QVector<QByteArray>* pictures,
                   QString* problem) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (fd < 0 || inet_pton(AF_INET, address.toLatin1().constData(), &to.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        *problem = QStringLiteral("cannot reach the simulator to check the pictures");
        if (fd >= 0)
            close(fd);
        return false;
    }
    auto readSome = [&](QByteArray& buf, qsizetype want) {
        char chunk[65536];
        while (buf.size() < want) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return false;
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buf.append(chunk, n);
        }
        return true;
    };
    bool ok = true;
    for (int n = 1; ok && n <= count; ++n) {
        // ReadRecord for record n: 68 13x6 68 01 04 00 02 10 n0 n1 n2 00 16.
        QByteArray request = QByteArray::fromHex("68131313131313680104000210");
        request.append(char(n & 0xFF)).append(char((n >> 8) & 0xFF)).append(char((n >> 16) & 0xFF));
        request.append(char(0x00)).append(char(0x16));
        QByteArray reply;
        ok =
            send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size() &&
            readSome(reply, 13);
        if (!ok)
            break;
        auto byte = [&](qsizetype i) { return uint32_t(uint8_t(reply[i])); };
        // Record reply: 14 + L bytes; w at 10+L..11+L; picture from 18, L - w - 8 bytes.
        const qsizetype length = byte(9) | byte(10) << 8 | byte(11) << 16 | byte(12) << 24;
        ok = length >= 10 && length < (1 << 22) && readSome(reply, 14 + length);
        if (!ok)
            break;
        const qsizetype w = byte(10 + length) | byte(11 + length) << 8;
        ok = w <= length - 8;
        if (ok)
            pictures->append(reply.mid(18, length - w - 8));
    }
    close(fd);
    if (!ok)
        *problem = QStringLiteral("the simulator's reply could not be read for the check");
    return ok;
}

} // namespace

namespace {

void verify(const brtxsim::CSimulator& sim, const QString& address, quint16 port,
            const QString& home, int count, bool oneDevice, DownloadFigures& out) {
    SQLite::Database db;
    if (db.Open(home + QStringLiteral("/brtx.db")) != 0) {
        out.problem = QStringLiteral("cannot open the downloaded database");
        return;
    }
    const QString folder = sim.DeviceNumberText();
    const SQLite::Table t = db.QuerySQL(
        QStringLiteral("SELECT * FROM ValueInfo %1 ORDER BY CAST(Record_No AS INTEGER)")
            .arg(oneDevice ? QStringLiteral("WHERE Machine_NO='%1'").arg(SQLite::Quote(folder))
                           : QString()));
    db.Close();
    out.rowsStored = t.GetRowCount();
    QVector<bool> seen(count + 1, false);
    for (int r = 0; r < t.GetRowCount(); ++r) {
        const int n = t.Cell(r, 1).toInt();
        if (n < 1 || n > count || seen[n])
            continue;
        seen[n] = true;
        if (t.m_rows[r] == ExpectedRow(sim, n, folder))
            ++out.rowsMatching;
        else if (out.problem.isEmpty())
            out.problem = QStringLiteral("record %1 stored with other values").arg(n);
    }
    QVector<QByteArray> sent;
    if (!FetchPictures(address, port, count, &sent, &out.problem))
        return;
    const QString picDir = home + QStringLiteral("/pic/") + folder + '/';
    for (int n = 1; n <= count; ++n) {
        QFile f(picDir + QStringLiteral("%1.jpg").arg(n, 5, 10, QLatin1Char('0')));
        const QByteArray& want = sent[n - 1];
        const QByteArray got = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        if (got == want && !want.isEmpty()) {
            ++out.picturesMatching;
        } else if (out.problem.isEmpty()) {
            qsizetype at = 0;
            while (at < got.size() && at < want.size() && got[at] == want[at])
                ++at;
            out.problem = QStringLiteral("picture %1 differs from byte %2 on (%3 bytes, %4 sent)")
                              .arg(n)
                              .arg(at)
                              .arg(got.size())
                              .arg(want.size());
        }
    }
    if (out.rowsStored != count && out.problem.isEmpty())
        out.problem = QStringLiteral("%1 rows stored, %2 expected").arg(out.rowsStored).arg(count);
    out.ok = out.problem.isEmpty() && out.rowsMatching == count && out.picturesMatching == count;
}

} // namespace

void VerifyDownload(const brtxsim::CSimulator& sim, const QString& address, const QString& home,
                    int count, DownloadFigures& out) {
    verify(sim, address, 7575, home, count, false, out);
}

void VerifyDeviceDownload(const brtxsim::CSimulator& sim, const QString& address, quint16 port,
                          const QString& home, int count, DownloadFigures& out) {
    verify(sim, address, port, home, count, true, out);
}

bool MakeBenchHome(const QString& programDir, const QString& home, bool strict, QString* problem) {
    return MakeHome(programDir, home, strict, problem);
}

DownloadFigures RunDownload(const DownloadSettings& s) {
    DownloadFigures out;
    QTemporaryDir temporary(QDir::tempPath() + QStringLiteral("/brtx-bench-XXXXXX"));
    const QString homePath = s.home.isEmpty() ? temporary.path() : s.home;
    if (s.home.isEmpty() && !temporary.isValid()) {
        out.problem = QStringLiteral("no temporary folder");
        return out;
    }
    if (!MakeHome(s.programDir, homePath, s.strict, &out.problem))
        return out;

    // The texts the command prints, in the language of that folder.
    qputenv("BRTX_HOME", homePath.toLocal8Bit());
    const CLanguage texts;
    const QString linked = texts.GetText(QStringLiteral("WifiConnectOK"));
    QStringList parts =
        texts.GetText(QStringLiteral("DownloadRecordOK")).split(QStringLiteral("%d"));
    for (QString& part : parts)
        part = QRegularExpression::escape(part);
    const QRegularExpression recordLine(QLatin1Char('^') + parts.join(QStringLiteral("(\\d+)")) +
                                        QLatin1Char('$'));

    brtxsim::SimConfig cfg;
    cfg.address = s.address;
    cfg.recordCount = s.records;
    cfg.photoBytes = s.photoBytes;
    // Not started: the same record fields, for the checks. (Its pictures are not used: drawn in
    // another kind of process they need not come out byte for byte the same.)
    const brtxsim::CSimulator expected(cfg);

    BackgroundChild sim;
    const QStringList simArgs{QStringLiteral("--address"),     s.address,
                              QStringLiteral("--records"),     QString::number(s.records),
                              QStringLiteral("--photo-bytes"), QString::number(s.photoBytes)};
    if (!sim.Start(s.programDir + QStringLiteral("/brtx-sim"), simArgs,
                   QStringLiteral("brtx-sim listening"), 10000, &out.problem))
        return out;

    QStringList args{QStringLiteral("--home"), homePath, QStringLiteral("download"),
                     QStringLiteral("--wifi"), s.address};
    if (s.count == s.records)
        args << QStringLiteral("--all");
    else
        args << QStringLiteral("--from") << QStringLiteral("1") << QStringLiteral("--to")
             << QString::number(s.count);

    const ChildResult run = RunChild(s.programDir + QStringLiteral("/brtx-cli"), args,
                                     {QStringLiteral("QT_QPA_PLATFORM=offscreen")}, s.timeoutMs,
                                     [&](const ChildLine& line, pid_t pid) {
                                         if (line.text == linked) {
                                             out.linkedMs = line.atMs;
                                         } else if (recordLine.match(line.text).hasMatch()) {
                                             ++out.downloaded;
                                             out.lastMs = line.atMs;
                                             out.rss.append({out.downloaded, ProcessRssKb(pid)});
                                         }
                                     });
    out.wallMs = run.wallMs;
    out.peakRssKb = run.peakRssKb;
    if (!run.started || run.timedOut || run.exitCode != 0) {
        QStringList tail;
        for (int i = std::max(0, int(run.lines.size()) - 3); i < run.lines.size(); ++i)
            tail.append(run.lines[i].text);
        out.problem = run.timedOut ? QStringLiteral("brtx-cli timed out")
                                   : QStringLiteral("brtx-cli exit %1 %2: %3")
                                         .arg(run.exitCode)
                                         .arg(run.error, tail.join(QStringLiteral(" / ")));
        return out;
    }
    if (out.linkedMs <= 0)
        out.linkedMs = 0; // no link line seen: the rate then covers the whole run
    VerifyDownload(expected, s.address, homePath, s.count, out);
    sim.Stop();
    return out;
}

} // namespace bench
