#pragma once
// A docking station: every instrument connected by USB (listed by adb) or named by its Wi-Fi
// address is linked, downloaded (the records not stored yet) and, when asked, synced, several
// at once, with nobody at the keyboard. brtx-cli watch drives one; so can a window.
//
// A pass lists the adb devices on a thread of its own. Each instrument not being served is
// then served on a worker thread of its own, at most `parallel` at a time: for USB, adb
// forwards a free local port to the instrument's 7575 (removed afterwards); then the link,
// the Download New plan run by CDeviceWorker::RunDownload as the device page runs it (records
// sealed and signed as they are stored), the memory warnings and the sync. Each worker has its
// own connection to brtx.db and stores its records in batches (up to 32 records, or what
// arrived within 250 ms, to one write transaction; see Download::StoreBatch); the batches take
// one shared lock, so the store takes one write transaction at a time. An instrument served
// without failure stays served while it stays listed (it is served again once it was
// unplugged and comes back); one that failed is served again at the next pass, with what is
// still missing. Wi-Fi addresses are served at every pass.
//
// Every report reaches the thread that made the station through queued signals; nothing in
// it waits for an instrument or adb.
#include "device/core/DeviceSession.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

class CLanguage;
class QThread;

namespace Station {

struct Options {
    int parallel = 4;     // instruments served at once
    bool usb = true;      // list adb devices at each pass
    QStringList wifi;     // addresses served at each pass: "A.B.C.D" or "A.B.C.D:PORT"
    quint32 capacity = 0; // records an instrument holds ([Global] InstrumentCapacity); 0: none
    QString picRoot;      // empty: GetPicFolder()
    LinkOptions link;
    QString program = QStringLiteral("watch"); // the audit trail's program name
    // After an instrument's download stored records (or an earlier sync of its device failed),
    // on its worker, one at a time: uploads the device's records. Returns why it failed, or
    // an empty text.
    std::function<QString(const QString& device)> sync;
};

// One instrument's outcome of one pass.
struct Report {
    QString source; // the adb serial or the Wi-Fi address
    QString device; // the device number text; empty when the link failed
    quint32 downloaded = 0;
    quint32 skipped = 0;
    quint32 failed = 0;
    bool ok = true;       // false: records failed, or the instrument could not be served
    QStringList warnings; // each said after the counts
    // "SERIAL DEVICE: downloaded: N, skipped: N, failed: N; WARNING; ..."
    QString Line() const;
};

// "00123456 holds 1,612 of 2,000 records: delete its files after the download" when total
// reaches 80% of capacity (capacity 0: never), else empty.
QString CapacityWarning(const QString& device, quint32 total, quint32 capacity);

// Splits "A.B.C.D[:PORT]" into the address and the port (7575 when not given). False when
// the address is not four numbers 0..255 or the port not 1..65535.
bool ParseWifiTarget(const QString& text, QString& host, quint16& port);

} // namespace Station

Q_DECLARE_METATYPE(Station::Report)

class CStation : public QObject {
    Q_OBJECT
public:
    // texts: the program's texts, for the link and record failure reasons.
    CStation(const CLanguage& texts, const Station::Options& options, QObject* parent = nullptr);
    ~CStation() override; // Stop(), then waits for every worker (bounded: links are aborted)

    // Starts a pass; ignored while the listing of the last one still runs or after Stop().
    void StartPass();
    // No new instrument is served; each download ends after the record in flight, every link
    // or adb run in progress is aborted. idle() follows once every worker has ended.
    void Stop();
    bool IsIdle() const;
    bool IsStopping() const { return m_stopping; }

signals:
    // A pass-level message: adb could not list the devices (once per pass).
    void message(const QString& text);
    // An instrument is waiting for a worker (a free place among the `parallel`).
    void queued(const QString& source);
    void served(const Station::Report& report);
    // While an instrument downloads: done of total records of this pass.
    void progress(const QString& source, const QString& device, quint32 done, quint32 total);
    // Every instrument the pass started serving has ended; anyFailed: a report was not ok or
    // adb failed.
    void passDone(bool anyFailed);
    void idle();

private:
    struct Job;
    struct Pass {
        int outstanding = 0;
        bool listed = false;
        bool anyFailed = false;
    };

    void listed(quint64 pass, bool adbOk, const QStringList& serials);
    void pump();
    void startJob(const std::shared_ptr<Job>& job);
    void jobEnded(const std::shared_ptr<Job>& job, const Station::Report& report);
    void finishPass(quint64 pass);
    void checkIdle();
    // Run on a worker thread.
    Station::Report serve(Job& job);
    // Claims the device number for a source; false with the source holding it already.
    bool claim(const QString& device, const QString& source, QString* holder);
    void release(const QString& device, const QString& source);

    const CLanguage& m_texts;
    Station::Options m_options;
    std::mutex m_storeLock; // held around each batch of records stored
    std::mutex m_syncLock;  // one sync at a time
    std::mutex m_claimLock;
    QHash<QString, QString> m_claims; // device number -> source being served
    QSet<QString> m_syncPending;      // devices whose last sync failed (guarded by m_claimLock)

    quint64 m_passCount = 0;
    QHash<quint64, Pass> m_passes;
    QThread* m_lister = nullptr;
    std::shared_ptr<std::atomic<bool>> m_listAbort;
    QList<std::shared_ptr<Job>> m_queue;
    QList<std::shared_ptr<Job>> m_running;
    QSet<QString> m_busy;         // sources queued or being served
    QSet<QString> m_servedDocked; // USB serials served without failure, still listed
    bool m_stopping = false;
};
