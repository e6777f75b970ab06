#pragma once
// The TCP connection to the instrument (port 7575), on POSIX sockets.
//
// Each CDeviceSession owns one; tests may make their own.
// Receive waits for readability at most 1 s at a time, so a reply that is shorter than the
// wanted count ends after 1 s of silence. A read of 0 bytes or an error marks the connection
// as not connected and makes Receive return 0, even after earlier bytes.
// Connect uses a 5-second time-out; sends use MSG_NOSIGNAL so a closed peer cannot end the
// process. All members are safe to call from any thread; exchanges (send + receive) are
// serialised by callers through ExchangeMutex() (DeviceFrame::Exchange does that).
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// How replies are collected on a link, read once by the program (from its settings) and
// handed to the client; the link layer itself reads no settings file.
struct LinkOptions {
    // Every reply ends only on a full buffer or 1 s of silence (the instrument's own timing).
    bool strictTiming = false;
    // Model code that changes how the device number is shown ("15"); empty: the default model.
    QString deviceType;
};

class CTCPClient {
public:
    static constexpr uint32_t kPort = 7575;
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kSilenceMs = 1000;

    CTCPClient();
    virtual ~CTCPClient(); // closes the socket

    CTCPClient(const CTCPClient&) = delete;
    CTCPClient& operator=(const CTCPClient&) = delete;

    // host := "127.0.0.1", port := 7575, then Connect(). Returns IsConnected().
    bool ConnectLocal();
    // host := the given dotted IPv4 text, port := 7575, then Connect(). Returns IsConnected().
    bool ConnectTo(const QString& host);
    // The same on the given port (a port adb forwarded, an instrument on another port).
    bool ConnectTo(const QString& host, uint32_t port);
    // Closes any earlier socket, makes a new stream socket and, unless the host is "0.0.0.0"
    // or the port is 0 (no attempt then), connects to host:port within 5 s. The connected
    // flag is set on success; a failed attempt closes its socket. Returns IsConnected().
    bool Connect();

    // Writes the whole buffer with one send (MSG_NOSIGNAL). Returns what send returned:
    // the number of bytes sent, or -1 (also when there is no socket).
    int Send(const char* data, int len);

    // Reads up to n bytes into buf: loops while bytes are wanted, waiting at most 1 s for each
    // piece; stops on 1 s of silence. Returns 1 when at least one byte arrived and the
    // connection did not fail, else 0. A read of 0 bytes (peer closed) or a read error clears
    // the connected flag and returns 0 at once. *received (if given) gets the byte count read.
    int Receive(char* buf, int n, int* received = nullptr);

    // What a completion rule says about the bytes received so far.
    //  < 0: no verdict: keep reading (1 s silence rule);
    //  == 0: the reply is complete: return now;
    //  > 0: the reply may be complete: return after that many milliseconds of silence.
    using Completion = std::function<int(const char* buf, int got)>;
    // Receive with a completion rule consulted after every piece read (null: plain Receive).
    int ReceiveFramed(char* buf, int n, int* received, const Completion& done);

    // Reads and drops any bytes already waiting on the socket (without waiting), so stale
    // bytes of an earlier reply cannot be taken for the next one. Returns the count dropped.
    // A closed peer is left for the next receive to find.
    int DiscardPending();

    // Closes the socket (if any) and clears the connected flag. Returns 1.
    int Close();

    // From any thread: ends the exchange or connect in flight at once (the socket is shut
    // down, so a waiting receive returns, and a pending connect gives up within 50 ms). The
    // link is broken afterwards; ClearAbort() before the next Connect().
    void Abort();
    void ClearAbort() { m_abort = false; }
    bool Aborted() const { return m_abort.load(); }

    void SetOptions(const LinkOptions& options) { m_options = options; }
    const LinkOptions& Options() const { return m_options; }

    bool IsConnected() const { return m_connected.load() != 0; }
    QString Host() const;
    uint32_t Port() const { return m_port; }
    // Sets the port used by Connect() (tests; ConnectLocal/ConnectTo always set 7575).
    void SetPort(uint32_t port) { m_port = port; }

    // Held for one whole exchange (send and its receive).
    std::recursive_mutex& ExchangeMutex() { return m_exchange; }

private:
    int socketHandle() const;

    mutable std::mutex m_state; // guards m_socket and m_host
    int m_socket = -1;
    std::atomic<int> m_connected{0};
    std::atomic<bool> m_abort{false};
    LinkOptions m_options;
    QString m_host;
    uint32_t m_port = kPort;
    std::recursive_mutex m_exchange;
};
