#pragma once
// The docking station's speed: `brtx-cli watch --once` serving one simulated instrument and
// then several at once (brtx-sim --instruments N --map, the stand-in adb reading the map),
// every stored row and picture checked against the simulators; the device page's station
// mode with several instruments downloading, its window thread's longest event-loop gap; and
// an idle `watch` (nothing docked): its processor use and memory.
#include <QString>

namespace bench {

struct StationSettings {
    QString programDir; // where brtx-cli, brtx-sim, fake-adb and Language.ini are
    int records = 300;  // records each instrument holds
    int photoBytes = 60000;
    int instruments = 4;  // served at once in the fleet run
    int idleSeconds = 30; // how long the idle watch is measured
    int timeoutMs = 600000;
};

struct StationRun {
    bool ok = false; // ran, exit 0, every record of every instrument stored and identical
    QString problem;
    int instruments = 0;
    int rowsMatching = 0; // over all instruments
    int picturesMatching = 0;
    double wallMs = 0; // start of brtx-cli to its exit
    long peakRssKb = 0;
};

// One `watch --once` over `instruments` simulated instruments of settings.records records.
StationRun RunStationWatch(const StationSettings& settings, int instruments);

struct StationGap {
    bool ok = false; // every instrument done and all its records stored
    QString problem;
    double longestGapMs = 0;
    double wallMs = 0; // station mode switched on until every instrument is done
};

// The device page in this process (offscreen) with station mode switched on over
// settings.instruments in-process simulators; a 5 ms timer on the window thread.
StationGap RunStationPage(const StationSettings& settings);

struct IdleFigures {
    bool ok = false;
    QString problem;
    double seconds = 0;    // the span measured (after start-up)
    double cpuPercent = 0; // of one core: the watch process alone
    double cpuWithAdb = 0; // the same with the stand-in adb runs it waited for
    long rssKb = 0;        // at the end of the span
};

// `brtx-cli watch` at its default interval with nothing docked, for settings.idleSeconds.
IdleFigures RunIdleWatch(const StationSettings& settings);

} // namespace bench
