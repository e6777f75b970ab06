// brtx-sim: the instrument simulator as a program, for demos and benchmarks.
#include "sim/lib/Simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <vector>

namespace {

const char* const kHelp = R"(Usage: brtx-sim [options]

Plays a breath-alcohol test instrument on TCP port 7575 until interrupted (Ctrl+C).
It serves one client at a time and answers every link command: device information,
field titles, records with their photographs, clock, device number and file deletion.

Options:
  --address A        IPv4 address to listen on (default 127.0.0.1)
  --port P           port (default 7575)
  --records N        number of records held (default 10)
  --photo-bytes B    size of each JPEG photograph in bytes (default 20000; 0: none)
  --device-number D  12-digit device number (default 000123456789)
  --titles SET       field titles: default, chinese, blank, duplicate, plain
                     (default: "default", which holds two blank and one repeated title)
  --title K=TEXT     set title K (1..20) to TEXT (a single space is a blank title)
  --title-group G    title group index sent (default 1)
  --first-date D     date of record 1, yyyy-MM-dd (default 2024-01-01); one day per record
  --fault FAULT      inject a fault; may be repeated. FAULT is kind[:record[:amount[:times]]]
                     record 0 means every record (or every command); times -1 means always.
                     Kinds:
                       delay      wait amount ms (1500) before the reply
                       pause      send half the reply, wait amount ms (1500), send the rest
                       close      send half the reply, then close the connection
                       control    wrong control byte in the reply
                       ident      wrong identifier echo in the reply
                       check      wrong check byte (the program still accepts the reply)
                       truncate   leave out the last amount bytes (default: all after byte 17)
                       noreply    send no reply at all
                       bigw       record reply: w one beyond L - 8 (or L - 8 + amount)
                       smallw     record reply: w := amount (9)
                       bigl       read reply: L field too large by amount (100)
                       bigtitle   title reply: title 1 of amount bytes (230)
                       bigfield   record reply: field 15 of amount bytes (230)
                       extra      record reply: amount (2) more records in the text block
                       trailing   amount (3) extra bytes after the end byte
                       otherdevice record reply: the record names another device number
                       unplug     send half the reply to record R, then take every later
                                  connection down at once (a cable pulled mid-download)
                     Examples: --fault pause:3:1500  --fault close:5  --fault bigw:2
  --log FILE         append every request received to FILE, one hex line each
  --instruments N    play N instruments at once (default 1): instrument k (0-based) has
                     device number D + k and listens on port P + k (P 0: each a free port);
                     every other option applies to each of them
  --map FILE         write a fake-adb map of the instruments to FILE ("SIM0001 PORT" a line;
                     give it to fake-adb as FAKE_ADB_MAP)
  --quiet            print nothing but errors
  --help             show this text

Examples:
  brtx-sim --records 300 --photo-bytes 60000
  brtx-sim --address 127.0.0.2 --titles chinese --fault delay:0:300
  brtx-sim --instruments 3 --port 17575 --records 300 --map fleet.map
)";

int Usage(const QString& message) {
    QTextStream(stderr) << "brtx-sim: " << message << "\nTry brtx-sim --help\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    brtxsim::SimConfig cfg;
    QList<brtxsim::Fault> faults;
    QStringList titles = brtxsim::DefaultTitles();
    bool quiet = false;
    int instruments = 1;
    QString mapFile;

    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        auto number = [&](int& out, int min, int max) {
            QString v;
            bool ok = false;
            if (value(v))
                out = v.toInt(&ok);
            return ok && out >= min && out <= max;
        };
        QString v;
        int n = 0;
        if (a == "--help" || a == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--address") {
            if (!value(cfg.address))
                return Usage("--address needs a value");
        } else if (a == "--port") {
            if (!number(n, 0, 65535))
                return Usage("--port needs a number 0..65535");
            cfg.port = uint16_t(n);
        } else if (a == "--records") {
            if (!number(cfg.recordCount, 0, 0xFFFFFF))
                return Usage("--records needs a number 0..16777215");
        } else if (a == "--photo-bytes") {
            if (!number(cfg.photoBytes, 0, 4000000))
                return Usage("--photo-bytes needs a number 0..4000000");
        } else if (a == "--device-number") {
            if (!value(cfg.deviceNumber) || cfg.deviceNumber.size() != 12 ||
                !std::all_of(cfg.deviceNumber.begin(), cfg.deviceNumber.end(),
                             [](QChar c) { return c.isDigit(); }))
                return Usage("--device-number needs 12 digits");
        } else if (a == "--titles") {
            bool ok = false;
            if (!value(v) || (titles = brtxsim::TitlePreset(v, &ok), !ok))
                return Usage("--titles needs one of default, chinese, blank, duplicate, plain");
        } else if (a == "--title") {
            const qsizetype eq = value(v) ? v.indexOf('=') : -1;
            const int k = eq > 0 ? v.left(eq).toInt() : 0;
            if (k < 1 || k > 20)
                return Usage("--title needs K=TEXT with K in 1..20");
            titles[k - 1] = v.mid(eq + 1);
        } else if (a == "--title-group") {
            if (!number(cfg.titleGroup, 0, 255))
                return Usage("--title-group needs a number 0..255");
        } else if (a == "--first-date") {
            if (!value(v) || !(cfg.firstDate = QDate::fromString(v, "yyyy-MM-dd")).isValid())
                return Usage("--first-date needs yyyy-MM-dd");
        } else if (a == "--fault") {
            brtxsim::Fault f;
            QString error;
            if (!value(v) || !brtxsim::ParseFault(v, f, &error))
                return Usage("--fault: " + (error.isEmpty() ? QString("needs a value") : error));
            faults.append(f);
        } else if (a == "--instruments") {
            if (!number(instruments, 1, 64))
                return Usage("--instruments needs a number 1..64");
        } else if (a == "--map") {
            if (!value(mapFile))
                return Usage("--map needs a file name");
        } else if (a == "--log") {
            if (!value(cfg.requestLogFile))
                return Usage("--log needs a file name");
        } else {
            return Usage("unknown option " + a);
        }
    }
    cfg.titles = titles;

    // Block the stop signals before the serving thread starts, then wait for them here.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    if (cfg.port != 0 && int(cfg.port) + instruments - 1 > 65535)
        return Usage("--port leaves no room for that many instruments");
    std::vector<std::unique_ptr<brtxsim::CSimulator>> sims;
    QString map;
    for (int k = 0; k < instruments; ++k) {
        brtxsim::SimConfig one = cfg;
        one.port = cfg.port == 0 ? 0 : uint16_t(cfg.port + k);
        one.deviceNumber = QStringLiteral("%1").arg(cfg.deviceNumber.toULongLong() + qulonglong(k),
                                                    12, 10, QLatin1Char('0'));
        if (one.deviceNumber.size() != 12)
            return Usage("--device-number leaves no room for that many instruments");
        auto sim = std::make_unique<brtxsim::CSimulator>(one);
        for (const brtxsim::Fault& f : faults)
            sim->AddFault(f);
        QString error;
        if (!sim->Start(&error)) {
            QTextStream(stderr) << "brtx-sim: " << error << "\n";
            return 1;
        }
        const QString serial = QStringLiteral("SIM%1").arg(k + 1, 4, 10, QLatin1Char('0'));
        map += serial + QLatin1Char(' ') + QString::number(sim->Port()) + QLatin1Char('\n');
        if (!quiet) {
            QTextStream(stdout) << "brtx-sim " << (instruments > 1 ? serial + " " : QString())
                                << "listening on " << one.address << ":" << sim->Port() << ", "
                                << one.recordCount << " records, device number "
                                << sim->DeviceNumber() << " (" << sim->DeviceNumberText() << ")\n";
        }
        sims.push_back(std::move(sim));
    }
    if (!mapFile.isEmpty()) {
        QFile file(mapFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(map.toUtf8()) != map.toUtf8().size()) {
            QTextStream(stderr) << "brtx-sim: cannot write " << mapFile << "\n";
            return 1;
        }
    }
    if (!quiet)
        QTextStream(stdout) << "Ctrl+C stops\n" << Qt::flush;
    int sig = 0;
    sigwait(&stop, &sig);
    for (auto& sim : sims)
        sim->Stop();
    if (!quiet)
        QTextStream(stdout) << "brtx-sim stopped\n";
    return 0;
}
