#include "sim/lib/Simulator.h"

#include "sim/lib/SimPhoto.h"

#include <QFile>
#include <QHash>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace brtxsim {

namespace {

const char* const kModes[4] = {"Auto", "Manual", "Refuse", "Discontinued"};

QByteArray BcdFromDigits(const QString& digits) {
    QByteArray out(6, 0);
    for (int i = 0; i < 6; ++i) {
        auto nibble = [&](int k) {
            const QChar c = k < digits.size() ? digits[k] : QChar('0');
            return c >= '0' && c <= '9' ? c.unicode() - '0' : 0;
        };
        out[i] = char((nibble(2 * i) << 4) | nibble(2 * i + 1));
    }
    return out;
}

QString DigitsFromBcd(const QByteArray& bcd) {
    QString text;
    for (int i = 0; i < 6 && i < bcd.size(); ++i) {
        const uint8_t b = uint8_t(bcd[i]);
        text += QString::asprintf("%02d", (b >> 4) * 10 + (b & 0x0F));
    }
    return text;
}

// The text the program derives from the address bytes (default device type).
QString TextFromAddress(const QByteArray& addr) {
    QString text;
    bool leading = true;
    for (int i = 0; i < 6; ++i) {
        const uint8_t b = uint8_t(addr[i]);
        if (b == 0xFF)
            return QStringLiteral(" ");
        if (b == 0 && leading)
            continue;
        text += QString::asprintf("%02x", b);
        leading = false;
    }
    if (text.size() < 8)
        text = QString(8 - text.size(), '0') + text;
    return text;
}

SimCommand CommandOf(const QByteArray& req) {
    if (req.size() < 13)
        return SimCommand::Any;
    const uint8_t c = uint8_t(req[8]), a = uint8_t(req[11]), b = uint8_t(req[12]);
    if (c == 0x01 && a == 0x00 && b == 0xFF)
        return SimCommand::ReadDeviceInfo;
    if (c == 0x01 && a == 0x03 && b == 0xFF)
        return SimCommand::ReadTitleInfo;
    if (c == 0x01 && a == 0x02 && b == 0x10)
        return SimCommand::ReadRecord;
    if (c == 0x04 && a == 0x01 && b == 0xFF)
        return SimCommand::SetClock;
    if (c == 0x04 && a == 0x02 && b == 0xBB)
        return SimCommand::SetDeviceNumber;
    if (c == 0x04 && a == 0x06 && b == 0xAA)
        return SimCommand::DeleteDeviceFiles;
    return SimCommand::Any;
}

int RecordOf(const QByteArray& req) {
    if (req.size() < 16)
        return 0;
    return int(uint8_t(req[13])) | (int(uint8_t(req[14])) << 8) | (int(uint8_t(req[15])) << 16);
}

void PutLe32(QByteArray& f, int at, uint32_t v) {
    f[at] = char(v & 0xFF);
    f[at + 1] = char((v >> 8) & 0xFF);
    f[at + 2] = char((v >> 16) & 0xFF);
    f[at + 3] = char((v >> 24) & 0xFF);
}

void AppendText(QByteArray& block, const QByteArray& text) {
    const int n = std::min<qsizetype>(text.size(), 255);
    block.append(char(n));
    block.append(text.constData(), n);
    block.append(char(0)); // the byte after each text, skipped by the reader
}

// Sends all bytes; false when the connection fails.
bool SendAll(int fd, const char* data, int len) {
    while (len > 0) {
        const ssize_t r = ::send(fd, data, size_t(len), MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        data += r;
        len -= int(r);
    }
    return true;
}

// The active faults that shape one reply.
struct Shape {
    int delayMs = 0;
    int pauseMs = 0;
    bool closeMid = false;
    bool wrongControl = false;
    bool wrongIdent = false;
    bool wrongCheck = false;
    int truncate = 0; // bytes left out at the end; -1: keep only 18
    bool noReply = false;
    int bigW = 0;    // w := L - 8 + bigW
    int smallW = -1; // w := smallW
    int bigL = 0;
    int bigTitle = 0;
    int bigField = 0;
    int extra = 0;
    int trailing = 0;
    bool otherDevice = false;
    bool unplug = false;
};

// Another device's number text: the last digit moved on by one (the length kept).
QString OtherDeviceText(const QString& text) {
    if (text.isEmpty())
        return QStringLiteral("1");
    QString out = text;
    const QChar last = out.back();
    out.back() = last.isDigit() ? QChar('0' + (last.digitValue() + 1) % 10) : QChar('0');
    return out;
}

int Amount(const Fault& f, int def) {
    return f.amount >= 0 ? f.amount : def;
}

} // namespace

struct CSimulator::Impl {
    mutable std::mutex mu;
    SimConfig cfg;
    QByteArray address; // six BCD bytes
    QList<Fault> faults;
    QList<QByteArray> requests;
    QString clockText;
    int connections = 0;
    int deletes = 0;

    std::atomic<bool> running{false};
    std::atomic<bool> unplugged{false}; // an Unplug fault fired: connections are dropped
    std::atomic<int> clientFd{-1};      // the client being served (shut down by Stop)
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
    uint16_t boundPort = 0;

    Shape TakeShape(SimCommand cmd, int record);
    QByteArray Build(const QByteArray& req, const Shape& s);
    QByteArray RecordText(int n, const Shape& s) const;
    QStringList Fields(int n) const;
    void Serve();
    void ServeClient(int& fd);
    bool Wait(int fd, int ms); // waits on fd or stop; true when fd is ready
    bool Sleep(int ms);        // false when stopped meanwhile
    void Log(const QByteArray& req);
};

QStringList CSimulator::Impl::Fields(int n) const {
    QStringList f;
    f.reserve(40);
    f << TextFromAddress(address) << QString::number(n)
      << cfg.firstDate.addDays(n - 1).toString(QStringLiteral("yyyy-MM-dd"))
      << QTime(8, 0).addSecs((n * 37) % 36000).toString(QStringLiteral("HH:mm:ss"))
      << QString::fromLatin1(kModes[(n - 1 + 400) % 4]);
    const bool refused = (n - 1 + 400) % 4 == 2;
    f << (refused ? QString() : QString::asprintf("%.3f", ((n * 53) % 250) / 1000.0))
      << QStringLiteral("mg/L");
    for (int k = 1; k <= 4; ++k)
        f << QStringLiteral("R%1-%2").arg(k).arg(n);
    f << QStringLiteral("1") << QStringLiteral("0") << QStringLiteral("R5-%1").arg(n)
      << QStringLiteral("R6-%1").arg(n);
    for (int k = 1; k <= 20; ++k)
        f << QStringLiteral("F%1-%2").arg(k).arg(n);
    f << QString() << QString::asprintf("%.6f", 31.2 + n * 0.0001)
      << QString::asprintf("%.6f", 121.4 + n * 0.0001) << QString() << QString();
    return f;
}

QByteArray CSimulator::Impl::RecordText(int n, const Shape& s) const {
    QByteArray block;
    for (int r = n; r <= n + s.extra; ++r) {
        const QStringList f = Fields(r);
        block.append(char(40));
        for (int k = 0; k < 40; ++k) {
            if (k == 15 && s.bigField > 0 && r == n)
                AppendText(block, QByteArray(std::min(s.bigField, 255), 'X'));
            else if (k == 0 && s.otherDevice && r == n)
                AppendText(block, OtherDeviceText(f[0]).toUtf8());
            else
                AppendText(block, f[k].toUtf8());
        }
    }
    return block;
}

Shape CSimulator::Impl::TakeShape(SimCommand cmd, int record) {
    Shape s;
    for (Fault& f : faults) {
        if (f.times == 0 || f.kind == FaultKind::None)
            continue;
        if (f.command != SimCommand::Any && f.command != cmd)
            continue;
        if (f.record != 0 && !(cmd == SimCommand::ReadRecord && f.record == record))
            continue;
        if (f.times > 0)
            --f.times;
        switch (f.kind) {
        case FaultKind::Delay:
            s.delayMs = Amount(f, 1500);
            break;
        case FaultKind::PauseMidReply:
            s.pauseMs = Amount(f, 1500);
            break;
        case FaultKind::CloseMidReply:
            s.closeMid = true;
            break;
        case FaultKind::Unplug:
            s.closeMid = true;
            s.unplug = true;
            break;
        case FaultKind::WrongControl:
            s.wrongControl = true;
            break;
        case FaultKind::WrongIdentifier:
            s.wrongIdent = true;
            break;
        case FaultKind::WrongCheck:
            s.wrongCheck = true;
            break;
        case FaultKind::Truncate:
            s.truncate = f.amount >= 0 ? f.amount : -1;
            break;
        case FaultKind::NoReply:
            s.noReply = true;
            break;
        case FaultKind::OversizedW:
            s.bigW = Amount(f, 1);
            break;
        case FaultKind::SmallW:
            s.smallW = Amount(f, 9);
            break;
        case FaultKind::OversizedL:
            s.bigL = Amount(f, 100);
            break;
        case FaultKind::OversizedTitle:
            s.bigTitle = Amount(f, 230);
            break;
        case FaultKind::OversizedField:
            s.bigField = Amount(f, 230);
            break;
        case FaultKind::ExtraRecords:
            s.extra = Amount(f, 2);
            break;
        case FaultKind::TrailingBytes:
            s.trailing = Amount(f, 3);
            break;
        case FaultKind::OtherDevice:
            s.otherDevice = true;
            break;
        case FaultKind::None:
            break;
        }
    }
    return s;
}

QByteArray CSimulator::Impl::Build(const QByteArray& req, const Shape& s) {
    const SimCommand cmd = CommandOf(req);
    if (cmd == SimCommand::Any)
        return QByteArray();
    QByteArray f;
    f.append(char(0x68));
    // SetDeviceNumber changes the address first, so its reply carries the new number.
    if (cmd == SimCommand::SetDeviceNumber && req.size() >= 19)
        address = req.mid(13, 6);
    f.append(address);
    f.append(char(0x68));
    bool isRead = uint8_t(req[8]) == 0x01;
    f.append(char(isRead ? 0x81 : 0x84));
    if (isRead) {
        f.append(QByteArray(4, 0));
        f.append(req[11]);
        f.append(req[12]);
        switch (cmd) {
        case SimCommand::ReadDeviceInfo: {
            const int total = cfg.recordCount;
            f.append(char(total & 0xFF));
            f.append(char((total >> 8) & 0xFF));
            f.append(char((total >> 16) & 0xFF));
            PutLe32(f, 9, uint32_t(f.size() - 13 + s.bigL));
            break;
        }
        case SimCommand::ReadTitleInfo: {
            f.append(char(cfg.titleGroup & 0xFF));
            for (int k = 0; k < 20; ++k) {
                if (k == 0 && s.bigTitle > 0) {
                    AppendText(f, QByteArray(std::min(s.bigTitle, 255), 'T'));
                    continue;
                }
                QString t = k < cfg.titles.size() ? cfg.titles[k] : QString();
                AppendText(f, t.toUtf8());
            }
            PutLe32(f, 9, uint32_t(f.size() - 13 + s.bigL));
            break;
        }
        case SimCommand::ReadRecord: {
            const int n = RecordOf(req);
            if (n < 1 || n > cfg.recordCount) {
                PutLe32(f, 9, 2 + s.bigL); // no such record: the identifier alone
                break;
            }
            f.append(req.mid(13, 3));
            f.append(MakePhoto(n, cfg.firstDate.addDays(n - 1), cfg.photoBytes));
            const QByteArray text = RecordText(n, s);
            f.append(text);
            // w sits at 10+L..11+L: L = the byte count from offset 10 up to w.
            const int length = int(f.size()) - 10;
            int w = int(text.size());
            if (s.bigW > 0)
                w = length - 8 + s.bigW;
            if (s.smallW >= 0)
                w = s.smallW;
            f.append(char(w & 0xFF));
            f.append(char((w >> 8) & 0xFF));
            PutLe32(f, 9, uint32_t(length + s.bigL));
            break;
        }
        default:
            break;
        }
    } else {
        f.append(char(0x02));
        f.append(char(0x00));
        f.append(req[11]);
        f.append(req[12]);
        if (cmd == SimCommand::SetClock && req.size() >= 32)
            clockText = QString::fromLatin1(req.mid(13, 19));
        if (cmd == SimCommand::DeleteDeviceFiles) {
            cfg.recordCount = 0;
            ++deletes;
        }
    }
    if (s.wrongControl)
        f[8] = char(uint8_t(f[8]) + 1);
    if (s.wrongIdent) {
        const int at = isRead ? 14 : 12;
        f[at] = char(uint8_t(f[at]) ^ 0x5A);
    }
    unsigned sum = 0;
    for (char c : f)
        sum += uint8_t(c);
    f.append(char((sum + (s.wrongCheck ? 1 : 0)) & 0xFF));
    f.append(char(0x16));
    if (s.trailing > 0)
        f.append(QByteArray(s.trailing, char(0xEE)));
    if (s.truncate < 0)
        f.truncate(18);
    else if (s.truncate > 0)
        f.truncate(std::max<qsizetype>(0, f.size() - s.truncate));
    return f;
}

void CSimulator::Impl::Log(const QByteArray& req) {
    requests.append(req);
    if (!cfg.requestLogFile.isEmpty()) {
        QFile file(cfg.requestLogFile);
        if (file.open(QIODevice::Append | QIODevice::Text))
            file.write(req.toHex(' ').toUpper() + "\n");
    }
}

bool CSimulator::Impl::Wait(int fd, int ms) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    for (;;) {
        const int r = ::poll(p, fd >= 0 ? 2 : 1, ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        if (!running)
            return false;
        return fd >= 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR));
    }
}

bool CSimulator::Impl::Sleep(int ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (running) {
        const int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0)
            return true;
        pollfd p{wake[0], POLLIN, 0};
        ::poll(&p, 1, left);
    }
    return false;
}

void CSimulator::Impl::ServeClient(int& fd) {
    QByteArray in;
    char buf[4096];
    while (running) {
        pollfd p[3] = {{fd, POLLIN, 0}, {listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int r = ::poll(p, 3, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || !running)
            return;
        if (p[1].revents & POLLIN)
            return; // a new client replaces this one
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0)
            return;
        in.append(buf, int(got));
        // Take every complete request from the front of the input.
        for (;;) {
            const qsizetype start = in.indexOf(char(0x68));
            if (start < 0) {
                in.clear();
                break;
            }
            in.remove(0, start);
            if (in.size() < 13)
                break;
            const int length = int(uint8_t(in[9])) | (int(uint8_t(in[10])) << 8);
            int size = 13 + length;
            if (uint8_t(in[8]) == 0x01 && uint8_t(in[11]) == 0x02 && uint8_t(in[12]) == 0x10)
                size = 18; // its length field says 4 though five bytes follow it
            if (in.size() < size)
                break;
            const QByteArray req = in.left(size);
            in.remove(0, size);

            QByteArray reply;
            Shape s;
            {
                std::lock_guard<std::mutex> lock(mu);
                Log(req);
                s = TakeShape(CommandOf(req), RecordOf(req));
                if (!s.noReply)
                    reply = Build(req, s);
            }
            if (reply.isEmpty())
                continue;
            if (s.delayMs > 0 && !Sleep(s.delayMs))
                return;
            if (s.pauseMs > 0 || s.closeMid) {
                const int half = int(reply.size()) / 2;
                if (!SendAll(fd, reply.constData(), half))
                    return;
                if (s.closeMid) {
                    if (s.unplug)
                        unplugged = true;
                    clientFd = -1;
                    ::close(fd);
                    fd = -1;
                    return;
                }
                if (!Sleep(s.pauseMs))
                    return;
                if (!SendAll(fd, reply.constData() + half, int(reply.size()) - half))
                    return;
            } else if (!SendAll(fd, reply.constData(), int(reply.size()))) {
                return;
            }
        }
    }
}

void CSimulator::Impl::Serve() {
    int client = -1;
    while (running) {
        if (!Wait(listenFd, -1))
            break;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (unplugged) {
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard<std::mutex> lock(mu);
            ++connections;
        }
        client = fd;
        clientFd = fd;
        ServeClient(client);
        clientFd = -1;
        if (client >= 0)
            ::close(client);
        client = -1;
    }
}

// ---- CSimulator ----

CSimulator::CSimulator(const SimConfig& config) : d(std::make_unique<Impl>()) {
    d->cfg = config;
    if (d->cfg.titles.isEmpty())
        d->cfg.titles = DefaultTitles();
    d->address = BcdFromDigits(d->cfg.deviceNumber);
}

CSimulator::~CSimulator() {
    Stop();
}

bool CSimulator::Start(QString* error) {
    if (d->running)
        return true;
    auto fail = [&](const QString& what) {
        if (error)
            *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        if (d->listenFd >= 0)
            ::close(d->listenFd);
        d->listenFd = -1;
        return false;
    };
    d->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d->listenFd < 0)
        return fail(QStringLiteral("socket"));
    const int one = 1;
    ::setsockopt(d->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(d->cfg.port);
    if (::inet_pton(AF_INET, d->cfg.address.toLatin1().constData(), &addr.sin_addr) != 1) {
        errno = EINVAL;
        return fail(QStringLiteral("bad address %1").arg(d->cfg.address));
    }
    if (::bind(d->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return fail(QStringLiteral("bind %1:%2").arg(d->cfg.address).arg(d->cfg.port));
    if (::listen(d->listenFd, 8) != 0)
        return fail(QStringLiteral("listen"));
    socklen_t len = sizeof addr;
    ::getsockname(d->listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    d->boundPort = ntohs(addr.sin_port);
    if (::pipe2(d->wake, O_CLOEXEC) != 0)
        return fail(QStringLiteral("pipe"));
    d->running = true;
    d->thread = std::thread([this] { d->Serve(); });
    return true;
}

void CSimulator::Stop() {
    if (!d->running.exchange(false))
        return;
    const char c = 1;
    (void)!::write(d->wake[1], &c, 1);
    // A reply blocked in send (a client that stopped reading) is woken as well.
    const int client = d->clientFd.load();
    if (client >= 0)
        ::shutdown(client, SHUT_RDWR);
    if (d->thread.joinable())
        d->thread.join();
    ::close(d->listenFd);
    ::close(d->wake[0]);
    ::close(d->wake[1]);
    d->listenFd = d->wake[0] = d->wake[1] = -1;
}

bool CSimulator::IsRunning() const {
    return d->running;
}

void CSimulator::SetRecordCount(int count) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->cfg.recordCount = std::clamp(count, 0, 0xFFFFFF);
}

int CSimulator::RecordCount() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->cfg.recordCount;
}

void CSimulator::SetPhotoBytes(int bytes) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->cfg.photoBytes = std::max(0, bytes);
}

void CSimulator::SetDeviceNumber(const QString& twelveDigits) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->address = BcdFromDigits(twelveDigits);
}

QString CSimulator::DeviceNumber() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return DigitsFromBcd(d->address);
}

QByteArray CSimulator::AddressBytes() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->address;
}

QString CSimulator::DeviceNumberText() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return TextFromAddress(d->address);
}

void CSimulator::SetTitles(const QStringList& titles, int group) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->cfg.titles = titles;
    d->cfg.titleGroup = group;
}

QStringList CSimulator::Titles() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->cfg.titles;
}

void CSimulator::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->faults.append(fault);
}

void CSimulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(d->mu);
    d->faults.clear();
}

QList<QByteArray> CSimulator::Requests() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->requests;
}

QStringList CSimulator::RequestLog() const {
    QStringList lines;
    for (const QByteArray& r : Requests())
        lines << QString::fromLatin1(r.toHex(' ').toUpper());
    return lines;
}

void CSimulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(d->mu);
    d->requests.clear();
}

QString CSimulator::ClockText() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->clockText;
}

int CSimulator::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->connections;
}

int CSimulator::DeleteCount() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->deletes;
}

QStringList CSimulator::RecordFields(int recordNo) const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->Fields(recordNo);
}

QByteArray CSimulator::Photo(int recordNo) const {
    QDate date;
    int bytes;
    {
        std::lock_guard<std::mutex> lock(d->mu);
        date = d->cfg.firstDate.addDays(recordNo - 1);
        bytes = d->cfg.photoBytes;
    }
    return MakePhoto(recordNo, date, bytes);
}

QByteArray CSimulator::ReplyFor(const QByteArray& request) const {
    std::lock_guard<std::mutex> lock(d->mu);
    // Built on a copy so that asking changes nothing (clock, address, records).
    Impl copy;
    copy.cfg = d->cfg;
    copy.cfg.requestLogFile.clear();
    copy.address = d->address;
    return copy.Build(request, Shape());
}

QString CSimulator::Address() const {
    return d->cfg.address;
}

uint16_t CSimulator::Port() const {
    return d->boundPort ? d->boundPort : d->cfg.port;
}

// ---- Titles and faults ----

QStringList TitlePreset(const QString& name, bool* ok) {
    if (ok)
        *ok = true;
    QStringList t;
    if (name == QLatin1String("default")) {
        t = DefaultTitles();
    } else if (name == QLatin1String("chinese")) {
        t = QString::fromUtf8("姓名,性别,年龄,身份证号,车牌号,驾驶证号,地点,单位,执勤民警,警号,"
                              "备注,电话,地址,路线,天气,温度,车辆类型,检测员,审核人,签名")
                .split(',');
    } else if (name == QLatin1String("blank")) {
        for (int k = 0; k < 20; ++k)
            t << QStringLiteral(" ");
    } else if (name == QLatin1String("duplicate")) {
        for (int k = 0; k < 20; ++k)
            t << QStringLiteral("Name");
    } else if (name == QLatin1String("plain")) {
        for (int k = 1; k <= 20; ++k)
            t << QStringLiteral("Title%1").arg(k);
    } else if (ok) {
        *ok = false;
    }
    return t;
}

QStringList DefaultTitles() {
    return QStringList{"Name",    "Gender", "Age",     " ",       "Plate",  "Licence",  "Place",
                       "Name",    "Unit",   "Officer", "Badge",   " ",      "Remark",   "Phone",
                       "Address", "Route",  "Weather", "Vehicle", "Tester", "Signature"};
}

bool ParseFault(const QString& text, Fault& out, QString* error) {
    static const QHash<QString, FaultKind> kinds = {
        {"delay", FaultKind::Delay},
        {"pause", FaultKind::PauseMidReply},
        {"close", FaultKind::CloseMidReply},
        {"control", FaultKind::WrongControl},
        {"ident", FaultKind::WrongIdentifier},
        {"check", FaultKind::WrongCheck},
        {"truncate", FaultKind::Truncate},
        {"noreply", FaultKind::NoReply},
        {"bigw", FaultKind::OversizedW},
        {"smallw", FaultKind::SmallW},
        {"bigl", FaultKind::OversizedL},
        {"bigtitle", FaultKind::OversizedTitle},
        {"bigfield", FaultKind::OversizedField},
        {"extra", FaultKind::ExtraRecords},
        {"trailing", FaultKind::TrailingBytes},
        {"otherdevice", FaultKind::OtherDevice},
        {"unplug", FaultKind::Unplug},
    };
    const QStringList parts = text.split(':');
    auto bad = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (parts.isEmpty() || parts.size() > 4 || !kinds.contains(parts[0]))
        return bad(QStringLiteral("unknown fault \"%1\"").arg(text));
    Fault f;
    f.kind = kinds.value(parts[0]);
    int* targets[3] = {&f.record, &f.amount, &f.times};
    for (int i = 1; i < parts.size(); ++i) {
        bool ok = false;
        const int v = parts[i].toInt(&ok);
        if (!ok || v < (i == 1 ? 0 : -1))
            return bad(QStringLiteral("bad number \"%1\" in fault \"%2\"").arg(parts[i], text));
        *targets[i - 1] = v;
    }
    switch (f.kind) {
    case FaultKind::OversizedW:
    case FaultKind::SmallW:
    case FaultKind::OversizedField:
    case FaultKind::ExtraRecords:
    case FaultKind::OtherDevice:
    case FaultKind::Unplug:
        f.command = SimCommand::ReadRecord;
        break;
    case FaultKind::OversizedTitle:
        f.command = SimCommand::ReadTitleInfo;
        break;
    default:
        f.command = f.record != 0 ? SimCommand::ReadRecord : SimCommand::Any;
        break;
    }
    out = f;
    return true;
}

} // namespace brtxsim
