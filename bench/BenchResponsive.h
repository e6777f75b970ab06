#pragma once
// How long the window thread can go without serving its event loop while the device page
// waits on slow instrument work: a hanging adb, a Wi-Fi connect that times out and a long
// download. The device page runs in this process on the offscreen platform; a 5 ms timer on
// the window thread records the longest gap between its ticks.
#include <QString>

#include <functional>

namespace bench {

struct GapFigures {
    bool ok = false;
    QString problem;
    double longestGapMs = 0;
    double waitedMs = 0; // how long the slow work lasted
    QString detail;      // what ended it (status text)
};

// Runs the event loop until done() or timeoutMs with a 5 ms timer on this thread; the longest
// gap between two of its ticks. start() runs once the timer ticks (the work to watch begins).
GapFigures WatchGaps(const std::function<bool()>& done, int timeoutMs,
                     const std::function<void()>& start = {});

// "Find devices" with an adb that never answers (both runs of "adb devices" time out).
GapFigures RunHangingAdb(const QString& programDir);
// Wi-Fi connect to a port whose accept queue is full, so the connect times out.
GapFigures RunConnectTimeout(const QString& programDir, const QString& address);
// "All Download" of `records` records from an in-process simulator on address.
GapFigures RunPageDownload(const QString& programDir, const QString& address, int records);

} // namespace bench
