// Connection safety of the central store: TLS required off this computer, no password in any
// text, time-outs and aborts against a server that never answers, the 0600 connection file,
// and picture paths from the server kept inside this desk's device folder.
#include "CentralTestSupport.h"
#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "central/CentralRecordSource.h"
#include "central/PgConnection.h"
#include "common/StatusWindow.h"
#include "common/TestSupport.h"
#include "history/page/History.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace brtxtest;
using Central::PgConnection;

namespace {

// A TCP listener on address. stall: accepts and never answers; else it answers the TLS request
// with "N", as a server without TLS does, and closes.
class Listener {
public:
    Listener(const char* address, bool stall) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        if (!stall)
            m_thread = std::thread([this] {
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0)
                    return;
                char request[8];
                if (::recv(c, request, sizeof request, MSG_WAITALL) == 8)
                    (void)::send(c, "N", 1, 0);
                ::close(c);
            });
    }
    ~Listener() {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        if (m_thread.joinable())
            m_thread.join();
    }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
};

// An IPv4 address of this machine that is not a loopback one (empty when it has none).
QString OwnAddress() {
    ifaddrs* list = nullptr;
    QString found;
    if (::getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* i = list; i && found.isEmpty(); i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text,
                        sizeof text);
            if (!QString(text).startsWith("127."))
                found = text;
        }
    ::freeifaddrs(list);
    return found;
}

} // namespace

TEST(CentralConnection, TlsIsRequiredForServersOffThisComputer) {
    struct Case {
        const char* conninfo;
        bool force;
    } cases[] = {
        {"host=db.example dbname=brtx", true},
        {"postgresql://desk:pw@10.1.2.3/brtx", true},
        {"host=localhost,db.example", true},
        {"host=db.example sslmode=disable", false}, // a mode named by the string is kept
        {"postgresql://db.example/brtx?sslmode=require", false},
        {"host=localhost dbname=brtx", false},
        {"host=127.8.0.1", false},
        {"postgresql://[::1]:5432/brtx", false},
        {"host=/var/run/postgresql", false},
        {"dbname=brtx", false},                        // libpq's default socket
        {"host=db.example hostaddr=127.0.0.1", false}, // the address reached is this computer
    };
    for (const Case& c : cases) {
        const Central::TlsChoice choice = Central::ChooseTls(c.conninfo);
        EXPECT_TRUE(choice.valid) << c.conninfo;
        EXPECT_EQ(choice.forceVerify(), c.force) << c.conninfo;
    }
    EXPECT_FALSE(Central::ChooseTls("postgresql://[bad").valid);

    // A real server without TLS on an address of this machine that is not a loopback one.
    const QString own = OwnAddress();
    if (own.isEmpty())
        GTEST_SKIP() << "no address but loopback on this machine";
    Listener plain(own.toLatin1().constData(), false);
    ASSERT_GT(plain.port(), 0);
    PgConnection db;
    QString error;
    EXPECT_FALSE(
        db.Open(QString("host=%1 port=%2 dbname=brtx").arg(own).arg(plain.port()), &error));
    EXPECT_TRUE(error.contains("sslmode=verify-full") && error.contains("sslmode=require"))
        << "error: " << error.toStdString();
}

TEST(CentralConnection, NoPasswordInAnyText) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    const QString role = "brtx_safe_" + QString::number(QCoreApplication::applicationPid());
    ASSERT_TRUE(pg.Db().Command("CREATE ROLE " + role + " LOGIN PASSWORD 'right'", nullptr));
    const QString tcp = "host=127.0.0.1 port=" + pg.Value("SHOW port");
    const QString secret = "Sup3rSecretPw";
    const QString cases[] = {
        tcp + " user=" + role + " password=" + secret,                           // wrong password
        tcp + " user=" + secret + " password=" + secret,                         // echoed user
        "postgresql://" + role + ":" + secret + "@127.0.0.1:1/x?bad=[" + secret, // malformed
        "postgresql://" + role + ":" + secret + "@[127.0.0.1/x",                 // malformed
    };
    for (const QString& conninfo : cases) {
        PgConnection db;
        QString error;
        EXPECT_FALSE(db.Open(conninfo, &error)) << conninfo.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_FALSE(error.contains(secret)) << error.toStdString();
        // The page's source says the same without it.
        CCentralRecordSource source(conninfo);
        QStringList devices;
        EXPECT_FALSE(source.DeviceList(devices, &error));
        EXPECT_FALSE(error.contains(secret)) << error.toStdString();
    }
    pg.Db().Command("DROP ROLE " + role, nullptr);
}

TEST(CentralConnection, StatementsEndAtTheirTimeOutOrWhenAborted) {
    PgTestDb pg;
    BRTX_REQUIRE_PG(pg);
    struct Case {
        const char* name;
        int statementMs;
        bool interrupt; // else Abort() from another thread
    } cases[] = {{"statement time-out", 300, true}, {"interrupt", 0, true}, {"abort", 0, false}};
    for (const Case& c : cases) {
        PgConnection db;
        db.SetTimeouts(10, c.statementMs);
        QString error;
        ASSERT_TRUE(db.Open(pg.Conninfo(), &error)) << error.toStdString();
        std::atomic<bool> stop{false};
        if (c.statementMs == 0 && c.interrupt)
            db.SetInterrupt([&stop] { return stop.load(); });
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (c.statementMs == 0 && c.interrupt)
                stop = true;
            else if (!c.interrupt)
                db.Abort();
        });
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(db.Command("SELECT pg_sleep(20)", &error)) << c.name;
        EXPECT_LT(clock.elapsed(), 1500) << c.name;
        other.join();
    }
}

TEST(CentralConnection, AServerThatNeverAnswersEndsWithinTheTimeOut) {
    Listener stalled("127.0.0.1", true);
    ASSERT_GT(stalled.port(), 0);
    const QString conninfo =
        QString("host=127.0.0.1 port=%1 dbname=brtx connect_timeout=2").arg(stalled.port());

    // brtx-cli: one clear message within the time-out.
    TempHome home;
    QElapsedTimer clock;
    clock.start();
    const CliRun r = runCli({"history", "--device", "1", "--central", conninfo}, 15000);
    EXPECT_NE(r.code, 0);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(r.err.contains("did not answer within 2 s")) << r.err.toStdString();

    // The page's source: the same, and Abort() from the window's thread ends it sooner.
    for (const bool abort : {false, true}) {
        CCentralRecordSource source(conninfo);
        std::thread other([&] {
            if (abort) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                source.Abort();
            }
        });
        QStringList devices;
        QString error;
        clock.restart();
        EXPECT_FALSE(source.DeviceList(devices, &error));
        EXPECT_LT(clock.elapsed(), abort ? 1000 : 3000);
        EXPECT_FALSE(error.isEmpty());
        other.join();
    }
}

TEST(CentralConnection, TheHistoryPageGoesOnWhileTheServerNeverAnswers) {
    Listener stalled("127.0.0.1", true);
    ASSERT_GT(stalled.port(), 0);
    TempHome home;
    QString problem;
    ASSERT_TRUE(Central::WriteConnectionFile(
        Central::CentralConfPath(),
        QString("host=127.0.0.1 port=%1 dbname=brtx").arg(stalled.port()), &problem));
    enum End { SwitchBack, Cancel, Close };
    for (const End end : {SwitchBack, Cancel, Close}) {
        StatusWindow main;
        auto page = std::make_unique<CHistory>();
        main.Follow(page.get());
        ASSERT_TRUE(page->WaitForList());
        auto* source = qobject_cast<QComboBox*>(page->Control(HistoryIds::kSource));
        auto* cancel = qobject_cast<QPushButton*>(page->Control(HistoryIds::kCancelRead));
        auto* count = qobject_cast<QLabel*>(page->Control(HistoryIds::kRowCount));
        QElapsedTimer clock;
        clock.start();
        source->setCurrentIndex(1); // the device list is asked of the stalled server
        EXPECT_LT(clock.elapsed(), 500) << end;
        EXPECT_TRUE(page->ReadPending()) << end;
        page->OnBnClickedQuery(); // waits for the columns, the window does not

        // The window's event loop keeps running while the read is out.
        int ticks = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
        tick.start(50);
        QEventLoop loop;
        QTimer::singleShot(600, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_GE(ticks, 8) << end;
        EXPECT_TRUE(page->ReadPending()) << end;
        EXPECT_FALSE(cancel->isHidden()) << end;
        EXPECT_EQ(count->text(), GetText("ReadingCentral")) << end;

        // Each way out aborts the running call within a second and frees the worker.
        clock.restart();
        if (end == SwitchBack) {
            source->setCurrentIndex(0);
            page->WaitForList(1000);
            EXPECT_FALSE(page->ReadPending()) << end;
            EXPECT_TRUE(cancel->isHidden());
        } else if (end == Cancel) {
            cancel->click();
            EXPECT_FALSE(page->ReadPending());
            EXPECT_TRUE(cancel->isHidden());
            EXPECT_EQ(main.status(), GetText("ReadCancelled"));
            source->setCurrentIndex(0); // a new read works
            page->WaitForList(1000);
            EXPECT_FALSE(page->ReadPending()) << end;
        } else {
            page.reset();
        }
        EXPECT_LT(clock.elapsed(), 1000) << end;
    }
}

TEST(CentralConnection, TheConnectionFileIsPrivate) {
    QTemporaryDir dir;
    const QString path = dir.filePath("central.conf");
    QString line, problem;
    EXPECT_TRUE(Central::ReadConnectionFile(path, line, &problem)); // none: no store
    EXPECT_TRUE(line.isEmpty());
    ASSERT_TRUE(Central::WriteConnectionFile(path, "host=db.example password=pw", &problem));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(Central::ReadConnectionFile(path, line, &problem));
    EXPECT_EQ(line, "host=db.example password=pw");

    const QString link = dir.filePath("link.conf");
    ASSERT_TRUE(QFile::link(path, link));
    struct Case {
        const char* name;
        QString file;
        unsigned mode;
    } refused[] = {
        {"group readable", path, 0640}, {"world readable", path, 0604}, {"link", link, 0600}};
    for (const Case& c : refused) {
        ::chmod(QFile::encodeName(path).constData(), c.mode);
        EXPECT_FALSE(Central::ReadConnectionFile(c.file, line, &problem)) << c.name;
        EXPECT_FALSE(problem.isEmpty()) << c.name;
        EXPECT_TRUE(line.isEmpty()) << c.name;
    }

    // brtx-cli --central-file keeps the same rules.
    ::chmod(QFile::encodeName(path).constData(), 0644);
    TempHome home;
    // CentralUrl of Language.ini still works, with one warning; central.conf wins over it.
    QFile ini(home.file("Language.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    home.writeLanguage(ini.readAll().replace("CentralUrl=\n", "CentralUrl=host=x password=y\n"));
    EXPECT_EQ(Central::CentralUrl(CLanguage()), "host=x password=y");
    EXPECT_FALSE(Central::TakeCentralUrlWarning().isEmpty());
    EXPECT_TRUE(Central::TakeCentralUrlWarning().isEmpty());
    ASSERT_TRUE(Central::WriteConnectionFile(Central::CentralConfPath(), "host=z", &problem));
    EXPECT_EQ(Central::CentralUrl(CLanguage()), "host=z");
    const CliRun r = runCli({"history", "--device", "1", "--central-file", path});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains("other users")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("password=pw"));
}

TEST(CentralConnection, PicturePathsFromTheServerStayInTheDeviceFolder) {
    struct Case {
        const char* path;
        bool kept;
    } cases[] = {
        {"\\DEV\\00007.jpg", true},
        {"/DEV/00007_20240301101010.jpg", true},
        {"\\DEV\\..\\..\\etc\\passwd", false},
        {"/etc/passwd", false},
        {"\\OTHER\\00007.jpg", false},
        {"DEV\\00007.jpg", false},
        {"\\\\host\\share\\DEV\\x.jpg", false},
        {"\\DEV\\sub\\x.jpg", false},
        {"\\DEV\\..", false},
        {"\\DEV\\", false},
        {"\\DEV\\C:x.jpg", false},
        {"\\DEV\\a\nb.jpg", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(!DevicePicturePath("DEV", c.path).isEmpty(), c.kept) << c.path;
}
