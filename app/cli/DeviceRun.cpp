#include "app/cli/DeviceRun.h"

#include "app/cli/Commands.h"
#include "base/Language.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler writes one byte into a pipe; the main thread's event loop reads it.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    const ssize_t r = ::write(g_signalPipe[1], &byte, 1);
    (void)r;
}

} // namespace

// SIGINT and SIGTERM cancel the running download like the page's Cancel button (the record in
// flight ends) and abort any other operation (adb run, link attempt, command) at once.
class CliSignalCancel {
public:
    explicit CliSignalCancel(CDeviceExchange& exchange) : m_exchange(exchange) {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            char scratch[16];
            while (::read(g_signalPipe[0], scratch, sizeof scratch) > 0) {
            }
            canceled = true;
            stopInFlight();
            // An operation just posted to the worker clears the abort flags when it begins;
            // repeating the stop while it runs makes sure it is not lost in that gap.
            m_repeat.start(100);
        });
        QObject::connect(&m_repeat, &QTimer::timeout, [this] { stopInFlight(); });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~CliSignalCancel() {
        if (!m_notifier)
            return;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        m_notifier.reset();
        ::close(g_signalPipe[0]);
        ::close(g_signalPipe[1]);
        g_signalPipe[0] = g_signalPipe[1] = -1;
    }
    CliSignalCancel(const CliSignalCancel&) = delete;
    CliSignalCancel& operator=(const CliSignalCancel&) = delete;

    bool canceled = false;

private:
    void stopInFlight() {
        if (!m_exchange.Cancel())
            m_exchange.AbortNow(); // not a download: nothing is stored yet
    }

    CDeviceExchange& m_exchange;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_repeat;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

CCliDeviceRun::CCliDeviceRun(const CLanguage& texts)
    : m_texts(texts), m_session(ReadLinkOptions(texts)) {
    m_session.SetProgram(QStringLiteral("cli"));
    m_exchange = std::make_unique<CDeviceExchange>(m_session);
    m_signals = std::make_unique<CliSignalCancel>(*m_exchange);
}

CCliDeviceRun::~CCliDeviceRun() {
    m_signals.reset();
    m_exchange.reset(); // Shutdown(): nothing runs on the session after this
}

bool CCliDeviceRun::Interrupted() const {
    return m_signals->canceled;
}

int CCliDeviceRun::ReportInterrupted(const char* command) const {
    std::fprintf(stderr, "brtx-cli %s: interrupted; the exchange in flight was aborted\n", command);
    return kCliCanceled;
}

DeviceResult CCliDeviceRun::FindDevices(QStringList& serials) {
    DeviceResult found;
    const QMetaObject::Connection c =
        QObject::connect(m_exchange->Worker(), &CDeviceWorker::devicesFound, m_exchange.get(),
                         [&](const DeviceResult& r, const QStringList& s) {
                             found = r;
                             serials = s;
                         });
    CliStatus(m_texts, QStringLiteral("DeviceFinding"));
    if (!Interrupted() && m_exchange->FindDevices())
        m_exchange->WaitIdle();
    QObject::disconnect(c);
    if (!found.key.isEmpty())
        CliStatus(m_texts, found.key);
    return found;
}

LinkResult CCliDeviceRun::Link(const LinkTarget& target) {
    LinkResult link;
    if (target.route == LinkRoute::None) {
        link.key = QStringLiteral("GetDevFail");
        CliStatus(m_texts, link.key);
        return link;
    }
    QString serial = target.serial.trimmed();
    if (target.route == LinkRoute::Usb && serial.isEmpty()) {
        QStringList serials;
        const DeviceResult found = FindDevices(serials);
        if (!found) {
            link.key = found.key;
            return link;
        }
        serial = serials.value(0);
    }
    if (Interrupted())
        return link;
    const QMetaObject::Connection c =
        QObject::connect(m_exchange->Worker(), &CDeviceWorker::linked, m_exchange.get(),
                         [&link](DeviceOp, const LinkResult& r) { link = r; });
    if (target.route == LinkRoute::Wifi) {
        CliStatus(m_texts, QStringLiteral("WifiConnecting"));
        m_exchange->ConnectWifi(target.address);
    } else {
        CliStatus(m_texts, QStringLiteral("USBConneting"));
        m_exchange->ConnectUsb(serial);
    }
    m_exchange->WaitIdle();
    QObject::disconnect(c);
    if (!link.key.isEmpty())
        CliStatus(m_texts, link.key);
    return link;
}

DeviceResult CCliDeviceRun::Command(const std::function<bool(CDeviceExchange&)>& start,
                                    QString* newNumber) {
    DeviceResult result;
    const QMetaObject::Connection c =
        QObject::connect(m_exchange->Worker(), &CDeviceWorker::commandDone, m_exchange.get(),
                         [&](DeviceOp, const DeviceResult& r, const QString& number) {
                             result = r;
                             if (newNumber)
                                 *newNumber = number;
                         });
    if (!Interrupted() && start(*m_exchange))
        m_exchange->WaitIdle();
    QObject::disconnect(c);
    if (!result.key.isEmpty())
        CliStatus(m_texts, result.key);
    return result;
}

void CCliDeviceRun::Disconnect() {
    if (m_exchange->Disconnect())
        m_exchange->WaitIdle();
}
