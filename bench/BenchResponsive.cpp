#include "bench/BenchResponsive.h"
#include "bench/BenchSupport.h"

#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "sim/lib/Simulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace bench {

namespace {

// A temporary program folder with the program's Language.ini, and a device page whose status
// texts are kept.
class PageHome {
public:
    explicit PageHome(const QString& programDir) : m_home(m_dir.path()) {
        QFile::copy(programDir + QStringLiteral("/Language.ini"),
                    m_dir.path() + QStringLiteral("/Language.ini"));
    }
    ~PageHome() { page.reset(); }
    void Open() {
        page = std::make_unique<CFirstPage>();
        QObject::connect(page.get(), &CFirstPage::statusChanged,
                         [this](const QString& text) { m_status = text; });
    }
    QString Path() const { return m_dir.path(); }
    QString Status() const { return m_status; }
    void Click(int id) { qobject_cast<QPushButton*>(page->Control(id))->click(); }

    std::unique_ptr<CFirstPage> page;

private:
    QTemporaryDir m_dir;
    HomeGuard m_home; // after m_dir: made once the folder is there
    QString m_status;
};

} // namespace

GapFigures WatchGaps(const std::function<bool()>& done, int timeoutMs,
                     const std::function<void()>& start) {
    GapFigures f;
    QElapsedTimer total;
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longest = std::max(longest, sinceTick.restart()); });
    total.start();
    sinceTick.start();
    ticker.start(5);
    if (start)
        start();
    while (!done() && total.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ticker.stop();
    f.ok = done();
    f.waitedMs = double(total.elapsed());
    f.longestGapMs = double(longest);
    if (!f.ok)
        f.problem = QStringLiteral("did not end within %1 s").arg(timeoutMs / 1000);
    return f;
}

GapFigures RunHangingAdb(const QString& programDir) {
    PageHome home(programDir);
    QDir(home.Path()).mkpath(QStringLiteral("adbcopy"));
    const QString adb = home.Path() + QStringLiteral("/adbcopy/adb");
    {
        QFile f(adb);
        if (!f.open(QIODevice::WriteOnly))
            return GapFigures{false, QStringLiteral("cannot write the hanging adb"), 0, 0, {}};
        f.write("#!/bin/sh\nexec sleep 30\n");
    }
    QFile::setPermissions(adb, QFile::permissions(adb) | QFile::ExeOwner);
    home.Open();
    home.Click(CFirstPage::IdFindDevices);
    GapFigures f = WatchGaps([&] { return !home.page->IsBusy(); }, 20000);
    f.detail = home.Status();
    return f;
}

GapFigures RunConnectTimeout(const QString& programDir, const QString& address) {
    // A listener that never accepts, its accept queue filled by one connection: further
    // connection attempts get no answer and time out.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(7575);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &addr.sin_addr);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    GapFigures f;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 0) != 0 ||
        ::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        f.problem = QStringLiteral("cannot set up the silent listener on %1").arg(address);
    } else {
        PageHome home(programDir);
        home.Open();
        qobject_cast<QLineEdit*>(home.page->Control(CFirstPage::IdAddress))->setText(address);
        home.Click(CFirstPage::IdWifiConnect);
        f = WatchGaps([&] { return !home.page->IsBusy(); }, 20000);
        f.detail = home.Status();
    }
    ::close(filler);
    ::close(listener);
    return f;
}

GapFigures RunPageDownload(const QString& programDir, const QString& address, int records) {
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = records;
    config.photoBytes = 3000;
    brtxsim::CSimulator sim(config);
    QString error;
    if (!sim.Start(&error))
        return GapFigures{false, error, 0, 0, {}};
    PageHome home(programDir);
    home.Open();
    qobject_cast<QLineEdit*>(home.page->Control(CFirstPage::IdAddress))->setText(address);
    home.Click(CFirstPage::IdWifiConnect);
    GapFigures linked = WatchGaps([&] { return !home.page->IsBusy(); }, 20000);
    if (!home.page->Session().IsLinked())
        return GapFigures{false, QStringLiteral("no link: ") + home.Status(), 0, 0, {}};
    home.Click(CFirstPage::IdDownloadAll);
    GapFigures f = WatchGaps([&] { return !home.page->IsBusy(); }, 600000);
    f.detail = home.Status();
    (void)linked;
    return f;
}

} // namespace bench
