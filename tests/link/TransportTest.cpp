// CTCPClient against a raw loopback peer: the 1-second silence rule, a closing peer, the
// "0.0.0.0" rule, refused connects. Each test listens on its own 127.0.3.x address.
#include "link/TCPClient.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A one-connection peer on address:7575 that runs `script` with the accepted socket.
class Peer {
public:
    Peer(const char* address, std::function<void(int)> script) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(7575);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        m_ok = ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               ::listen(m_listen, 1) == 0;
        m_thread = std::thread([this, script] {
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    ~Peer() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    bool ok() const { return m_ok; }

private:
    int m_listen = -1;
    bool m_ok = false;
    std::thread m_thread;
};

void SendBytes(int fd, int n) {
    const std::string bytes(size_t(n), 'b');
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Waits until the client closes its end (so the peer outlives the test's receives).
void WaitClientClose(int fd) {
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
}

} // namespace

TEST(Transport, NothingSentGivesZeroAfterAboutOneSecond) {
    Peer peer("127.0.3.1", WaitClientClose);
    ASSERT_TRUE(peer.ok());
    CTCPClient client;
    ASSERT_TRUE(client.ConnectTo("127.0.3.1"));
    EXPECT_EQ(client.Host(), "127.0.3.1");
    EXPECT_EQ(client.Port(), 7575u);
    char buf[65];
    int got = -1;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(client.Receive(buf, 65, &got), 0);
    const qint64 ms = t.elapsed();
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 1800);
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(client.IsConnected()); // silence alone does not end the connection
    client.Close();
}

TEST(Transport, TwentyBytesThenSilenceGivesOneAfterAFurtherSecond) {
    Peer peer("127.0.3.2", [](int fd) {
        SendBytes(fd, 20);
        WaitClientClose(fd);
    });
    ASSERT_TRUE(peer.ok());
    CTCPClient client;
    ASSERT_TRUE(client.ConnectTo("127.0.3.2"));
    char buf[65] = {};
    int got = 0;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(client.Receive(buf, 65, &got), 1);
    EXPECT_GE(t.elapsed(), 950);
    EXPECT_LT(t.elapsed(), 1800);
    EXPECT_EQ(got, 20);
    EXPECT_EQ(buf[19], 'b');
    EXPECT_TRUE(client.IsConnected());
    client.Close();
    EXPECT_FALSE(client.IsConnected());
}

TEST(Transport, FullBufferEndsWithoutWaiting) {
    Peer peer("127.0.3.3", [](int fd) {
        SendBytes(fd, 65);
        WaitClientClose(fd);
    });
    ASSERT_TRUE(peer.ok());
    CTCPClient client;
    ASSERT_TRUE(client.ConnectTo("127.0.3.3"));
    char buf[65];
    int got = 0;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(client.Receive(buf, 65, &got), 1);
    EXPECT_LT(t.elapsed(), 500);
    EXPECT_EQ(got, 65);
}

TEST(Transport, PeerClosingAfterBytesGivesZeroAndClearsTheFlag) {
    Peer peer("127.0.3.4", [](int fd) { SendBytes(fd, 20); });
    ASSERT_TRUE(peer.ok());
    CTCPClient client;
    ASSERT_TRUE(client.ConnectTo("127.0.3.4"));
    ASSERT_TRUE(client.IsConnected());
    char buf[65];
    int got = 0;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(client.Receive(buf, 65, &got), 0);
    EXPECT_LT(t.elapsed(), 900); // the close is seen at once, not after a silence
    EXPECT_EQ(got, 20);
    EXPECT_FALSE(client.IsConnected());
    // A send to the closed peer must not end the process (no SIGPIPE).
    for (int i = 0; i < 5; ++i)
        client.Send("xxxx", 4);
    SUCCEED();
}

TEST(Transport, ConnectRules) {
    CTCPClient client;
    // "0.0.0.0" makes no attempt at all.
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(client.ConnectTo("0.0.0.0"));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Send("x", 1), -1); // a socket exists but is not connected
    // Nobody listens on 127.0.3.5:7575: refused, flag stays clear, no long wait.
    EXPECT_FALSE(client.ConnectTo("127.0.3.5"));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_LT(t.elapsed(), 3000);
    // Not an address.
    EXPECT_FALSE(client.ConnectTo("not-an-address"));
    EXPECT_FALSE(client.IsConnected());
    char buf[4];
    EXPECT_EQ(client.Receive(buf, 4), 0);
    EXPECT_EQ(client.Send("x", 1), -1);
    // A later connect to a listening peer works on the same object.
    Peer peer("127.0.3.5", WaitClientClose);
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(client.ConnectTo("127.0.3.5"));
    EXPECT_EQ(client.Close(), 1);
    EXPECT_FALSE(client.IsConnected());
}
