#pragma once
// The download benchmark: brtx-sim on a loopback address, `brtx-cli download` into a
// temporary program folder, timed line by line, its memory sampled, and everything it stored
// checked against what the simulator sends.
#include <QString>
#include <QVector>

namespace brtxsim {
class CSimulator;
}

namespace bench {

struct DownloadSettings {
    QString programDir; // where brtx-cli, brtx-sim and Language.ini are
    QString address;    // loopback address for the simulator (port 7575)
    int records = 300;  // records held by the simulator and downloaded by the default run
    int photoBytes = 60000;
    bool strict = false; // StrictTiming=1 in the temporary Language.ini
    QString home;        // program folder to use (must exist); empty: a temporary one
    int count = 300;     // how many records this run downloads (1 .. count)
    int timeoutMs = 600000;
};

struct RssSample {
    int record = 0; // records reported so far
    long rssKb = 0;
};

struct DownloadFigures {
    bool ok = false;    // ran, exit 0, every record stored and every picture identical
    QString problem;    // first thing that went wrong
    int downloaded = 0; // record lines seen
    int rowsStored = 0; // ValueInfo rows found afterwards
    int rowsMatching = 0;
    int picturesMatching = 0;
    double wallMs = 0;   // process start to exit
    double linkedMs = 0; // when the link was up (the Wi-Fi connected line)
    double lastMs = 0;   // when the last record line came
    long peakRssKb = 0;
    QVector<RssSample> rss;

    // Records per second over the whole run (start-up and link included).
    double EndToEndRate() const;
    // Records per second from the link being up to the last record.
    double DownloadRate() const;
    // Milliseconds per record from the link being up to the last record.
    double PerRecordMs() const;
    // The memory sample taken when `fraction` of the run's records were reported.
    RssSample SampleAt(double fraction) const;
    // Memory growth per record from `fraction` of the run to its end, in KiB.
    double GrowthKbPerRecord(double fraction) const;
};

// Runs one download against a simulator this call starts and stops.
DownloadFigures RunDownload(const DownloadSettings& settings);

// Checks what a download of records 1 .. count stored in the program folder `home`: every
// ValueInfo row against the record fields of `expected` (a simulator with the same settings),
// every picture file byte for byte against the picture the simulator running at `address`
// sends for that record. Fills the counts, problem and ok of `out`.
void VerifyDownload(const brtxsim::CSimulator& expected, const QString& address,
                    const QString& home, int count, DownloadFigures& out);

// The same for one instrument of a fleet whose records share the database with others': only
// the rows of the expected simulator's device number are looked at, and the pictures are asked
// of the simulator on address:port.
void VerifyDeviceDownload(const brtxsim::CSimulator& expected, const QString& address, quint16 port,
                          const QString& home, int count, DownloadFigures& out);

// A program folder of our own in home: the program's Language.ini (with StrictTiming as
// asked) and failer.jpg. False with *problem when it cannot be made.
bool MakeBenchHome(const QString& programDir, const QString& home, bool strict, QString* problem);

} // namespace bench
