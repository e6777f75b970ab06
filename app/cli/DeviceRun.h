#pragma once
// What every brtx-cli command that talks to an instrument shares: one session driven through
// a CDeviceExchange (every adb run, link and command on the worker thread, as on the device
// page), linking by the command's route with each status text printed as it comes, and
// SIGINT/SIGTERM handling that cancels a download or aborts whatever else is in flight.
#include "app/cli/LinkArgs.h"
#include "device/core/DeviceWorker.h"

#include <functional>
#include <memory>

class CliSignalCancel;

class CCliDeviceRun {
public:
    // A session with the program's link options, named "cli" in the audit trail. SIGINT and
    // SIGTERM are caught from now until the object ends.
    explicit CCliDeviceRun(const CLanguage& texts);
    ~CCliDeviceRun(); // restores the signal handlers, then ends the worker thread

    CDeviceSession& Session() { return m_session; }
    CDeviceExchange& Exchange() { return *m_exchange; }

    // True once SIGINT or SIGTERM arrived; what ran then was canceled or aborted.
    bool Interrupted() const;
    // The stderr line of an interrupted command; returns kCliCanceled.
    int ReportInterrupted(const char* command) const;

    // Lists the adb devices on the worker ("DeviceFinding", then the outcome's key).
    DeviceResult FindDevices(QStringList& serials);
    // Links by the target on the worker, printing each status key: "WifiConnecting" or
    // "USBConneting" (for USB without a serial "DeviceFinding" and its outcome before it),
    // then the link's key. Nothing more is started once Interrupted().
    LinkResult Link(const LinkTarget& target);
    // Runs one settings command (start: exch.SetTime(), ...) on the worker and prints its key.
    // *newNumber (if given) gets the number the instrument answers after SetDeviceId.
    DeviceResult Command(const std::function<bool(CDeviceExchange&)>& start,
                         QString* newNumber = nullptr);
    // Closes the link on the worker.
    void Disconnect();

private:
    const CLanguage& m_texts;
    CDeviceSession m_session;
    std::unique_ptr<CDeviceExchange> m_exchange;
    std::unique_ptr<CliSignalCancel> m_signals;
};
