#include "link/TCPClient.h"

#include <QDebug>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits until fd is readable, at most ms milliseconds. 1 readable, 0 time-out, -1 failure.
int WaitReadable(int fd, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        const int r = ::poll(&p, 1, left > 0 ? left : 0);
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

CTCPClient::CTCPClient() = default;

CTCPClient::~CTCPClient() {
    Close();
}

bool CTCPClient::ConnectLocal() {
    return ConnectTo(QStringLiteral("127.0.0.1"));
}

bool CTCPClient::ConnectTo(const QString& host) {
    return ConnectTo(host, kPort);
}

bool CTCPClient::ConnectTo(const QString& host, uint32_t port) {
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_host = host;
    }
    m_port = port;
    return Connect();
}

QString CTCPClient::Host() const {
    std::lock_guard<std::mutex> lock(m_state);
    return m_host;
}

int CTCPClient::socketHandle() const {
    std::lock_guard<std::mutex> lock(m_state);
    return m_socket;
}

bool CTCPClient::Connect() {
    // A connection made earlier (or a socket left by a failed attempt) is closed first.
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        qDebug() << "CTCPClient: socket() failed:" << strerror(errno);
        return false;
    }
    QString host;
    {
        std::lock_guard<std::mutex> lock(m_state);
        m_socket = fd;
        host = m_host;
    }
    if (host == QLatin1String("0.0.0.0") || m_port == 0)
        return false;

    // The address text is taken as at most 31 8-bit characters.
    const QByteArray text = host.toLatin1().left(31);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(m_port));
    if (::inet_pton(AF_INET, text.constData(), &addr.sin_addr) != 1) {
        qDebug() << "CTCPClient: not an IPv4 address:" << host;
        Close();
        return false;
    }

    // Non-blocking connect bounded by kConnectTimeoutMs, then back to blocking.
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (r != 0 && errno == EINPROGRESS) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            const int left = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            // Short slices, so Abort() from another thread ends the wait quickly.
            const int pr = ::poll(&p, 1, std::clamp(left, 0, 50));
            if (pr < 0 && errno == EINTR)
                continue;
            if (pr == 0 && left > 0 && !m_abort.load())
                continue;
            if (pr <= 0 || m_abort.load()) {
                errno = ETIMEDOUT;
                break;
            }
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            r = err == 0 ? 0 : -1;
            errno = err;
            break;
        }
    }
    if (r != 0) {
        qDebug() << "CTCPClient: connect to" << host << "failed:" << strerror(errno);
        Close();
        return false;
    }
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_connected = 1;
    return true;
}

int CTCPClient::Send(const char* data, int len) {
    const int fd = socketHandle();
    if (fd < 0)
        return -1;
    ssize_t r;
    do {
        r = ::send(fd, data, size_t(len), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : int(r);
}

int CTCPClient::Receive(char* buf, int n, int* received) {
    return ReceiveFramed(buf, n, received, Completion());
}

int CTCPClient::ReceiveFramed(char* buf, int n, int* received, const Completion& done) {
    if (received)
        *received = 0;
    const int fd = socketHandle();
    if (fd < 0)
        return 0;
    int got = 0;
    while (got < n) {
        int waitMs = kSilenceMs;
        if (done && got > 0) {
            const int verdict = done(buf, got);
            if (verdict == 0)
                break;
            if (verdict > 0)
                waitMs = std::min(verdict, kSilenceMs);
        }
        if (WaitReadable(fd, waitMs) <= 0)
            break; // silence (or a failed wait) ends the reply
        ssize_t r;
        do {
            r = ::recv(fd, buf + got, size_t(n - got), 0);
        } while (r < 0 && errno == EINTR);
        if (r <= 0) {
            // The peer closed or the connection broke: whatever arrived is not a reply.
            m_connected = 0;
            if (received)
                *received = got;
            return 0;
        }
        got += int(r);
    }
    if (received)
        *received = got;
    return got > 0 ? 1 : 0;
}

int CTCPClient::DiscardPending() {
    const int fd = socketHandle();
    if (fd < 0)
        return 0;
    int dropped = 0;
    char scratch[4096];
    for (;;) {
        const ssize_t r = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT | MSG_PEEK);
        if (r <= 0)
            break; // nothing waiting, or the peer closed (left for the next receive)
        const ssize_t t = ::recv(fd, scratch, size_t(r), MSG_DONTWAIT);
        if (t <= 0)
            break;
        dropped += int(t);
    }
    if (dropped > 0)
        qDebug() << "CTCPClient: dropped" << dropped << "stale bytes";
    return dropped;
}

void CTCPClient::Abort() {
    m_abort = true;
    std::lock_guard<std::mutex> lock(m_state);
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR); // the descriptor stays ours until Close()
    m_connected = 0;
}

int CTCPClient::Close() {
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_state);
        fd = m_socket;
        m_socket = -1;
    }
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR); // wakes a receive waiting on another thread
        ::close(fd);
    }
    m_connected = 0;
    return 1;
}
