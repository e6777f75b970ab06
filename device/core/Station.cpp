#include "device/core/Station.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "device/core/DeviceWorker.h"
#include "device/core/DownloadWorker.h"
#include "link/AdbBridge.h"
#include "store/InstrumentTotals.h"

#include <QLocale>
#include <QThread>

namespace {
// Records per write transaction of a station's download (or fewer, when 250 ms passed since
// the first of them or the download ends).
constexpr int kBatchRecords = 32;
} // namespace

namespace Station {

QString Report::Line() const {
    QString line = QStringLiteral("%1 %2: downloaded: %3, skipped: %4, failed: %5")
                       .arg(source, device.isEmpty() ? QStringLiteral("-") : device)
                       .arg(downloaded)
                       .arg(skipped)
                       .arg(failed);
    for (const QString& warning : warnings)
        line += QStringLiteral("; ") + warning;
    return line;
}

QString CapacityWarning(const QString& device, quint32 total, quint32 capacity) {
    if (capacity == 0 || quint64(total) * 5 < quint64(capacity) * 4)
        return {};
    const QLocale english(QLocale::English);
    return QStringLiteral("%1 holds %2 of %3 records: delete its files after the download")
        .arg(device, english.toString(qulonglong(total)), english.toString(qulonglong(capacity)));
}

bool ParseWifiTarget(const QString& text, QString& host, quint16& port) {
    const QString t = text.trimmed();
    const qsizetype colon = t.indexOf(QLatin1Char(':'));
    host = colon < 0 ? t : t.left(colon);
    port = quint16(7575);
    if (colon >= 0) {
        bool ok = false;
        const uint p = t.mid(colon + 1).toUInt(&ok);
        if (!ok || p == 0 || p > 65535)
            return false;
        port = quint16(p);
    }
    return CDeviceSession::IsValidAddress(host);
}

} // namespace Station

// One instrument being served: what Stop() reaches from the station's thread.
struct CStation::Job {
    QString source;
    bool usb = true;
    quint64 pass = 0;
    QThread* thread = nullptr;
    std::mutex lock; // guards session and worker while the serving thread changes them
    CDeviceSession* session = nullptr;
    CDeviceWorker* worker = nullptr;
    bool downloading = false;
    std::atomic<bool> stop{false};
};

CStation::CStation(const CLanguage& texts, const Station::Options& options, QObject* parent)
    : QObject(parent), m_texts(texts), m_options(options) {
    qRegisterMetaType<Station::Report>();
    m_options.parallel = qBound(1, m_options.parallel, 64);
}

CStation::~CStation() {
    Stop();
    if (m_lister) {
        m_lister->wait();
        delete m_lister;
        m_lister = nullptr;
    }
    for (const std::shared_ptr<Job>& job : m_running) {
        job->thread->wait();
        delete job->thread;
        job->thread = nullptr;
    }
}

bool CStation::IsIdle() const {
    return !m_lister && m_queue.isEmpty() && m_running.isEmpty();
}

void CStation::StartPass() {
    if (m_stopping || m_lister)
        return;
    const quint64 pass = ++m_passCount;
    m_passes.insert(pass, Pass());
    if (!m_options.usb) {
        QMetaObject::invokeMethod(
            this, [this, pass] { listed(pass, true, {}); }, Qt::QueuedConnection);
        return;
    }
    m_listAbort = std::make_shared<std::atomic<bool>>(false);
    m_lister = QThread::create([this, pass, abort = m_listAbort] {
        // The listing is read here rather than through AdbListDevices, so an empty listing
        // (nothing docked) is told apart from adb failing.
        QString output;
        QStringList serials;
        const bool ran = RunAdbCommand(QStringLiteral("adb devices"), output, abort.get()) &&
                         output.contains(QLatin1String("List of devices attached"));
        if (ran)
            ParseAdbDeviceList(output, serials);
        QMetaObject::invokeMethod(
            this, [this, pass, ran, serials] { listed(pass, ran, serials); }, Qt::QueuedConnection);
    });
    m_lister->setObjectName(QStringLiteral("station adb"));
    m_lister->start();
}

void CStation::listed(quint64 pass, bool adbOk, const QStringList& serials) {
    if (m_lister) {
        m_lister->wait();
        delete m_lister;
        m_lister = nullptr;
    }
    Pass& p = m_passes[pass];
    p.listed = true;
    if (!adbOk) {
        p.anyFailed = true;
        emit message(QStringLiteral("adb could not list the USB devices (%1): is adb installed "
                                    "and the server running?")
                         .arg(AdbToolPath()));
    } else {
        // An instrument unplugged since it was served is served again when it comes back.
        m_servedDocked.intersect(QSet<QString>(serials.begin(), serials.end()));
    }
    if (!m_stopping) {
        QList<QPair<QString, bool>> sources;
        for (const QString& serial : serials)
            sources.append({serial, true});
        for (const QString& address : m_options.wifi)
            sources.append({address.trimmed(), false});
        for (const auto& [source, usb] : sources) {
            if (m_busy.contains(source) || (usb && m_servedDocked.contains(source)))
                continue;
            auto job = std::make_shared<Job>();
            job->source = source;
            job->usb = usb;
            job->pass = pass;
            m_busy.insert(source);
            m_queue.append(job);
            ++p.outstanding;
            emit queued(source);
        }
    }
    if (p.outstanding == 0)
        finishPass(pass);
    pump();
    checkIdle();
}

void CStation::pump() {
    while (!m_stopping && !m_queue.isEmpty() && m_running.size() < m_options.parallel)
        startJob(m_queue.takeFirst());
}

void CStation::startJob(const std::shared_ptr<Job>& job) {
    m_running.append(job);
    job->thread = QThread::create([this, job] {
        const Station::Report report = serve(*job);
        QMetaObject::invokeMethod(
            this, [this, job, report] { jobEnded(job, report); }, Qt::QueuedConnection);
    });
    job->thread->setObjectName(QStringLiteral("station worker"));
    job->thread->start();
}

void CStation::jobEnded(const std::shared_ptr<Job>& job, const Station::Report& report) {
    job->thread->wait();
    delete job->thread;
    job->thread = nullptr;
    m_running.removeOne(job);
    m_busy.remove(job->source);
    // Served means linked: a serial that vanished before its forward is tried again.
    if (job->usb && report.ok && !report.device.isEmpty())
        m_servedDocked.insert(job->source);
    emit served(report);
    auto it = m_passes.find(job->pass);
    if (it != m_passes.end()) {
        it->anyFailed = it->anyFailed || !report.ok;
        if (--it->outstanding == 0 && it->listed)
            finishPass(job->pass);
    }
    pump();
    checkIdle();
}

void CStation::finishPass(quint64 pass) {
    const bool anyFailed = m_passes.value(pass).anyFailed;
    m_passes.remove(pass);
    emit passDone(anyFailed);
}

void CStation::checkIdle() {
    if (IsIdle())
        emit idle();
}

void CStation::Stop() {
    if (m_stopping)
        return;
    m_stopping = true;
    if (m_listAbort)
        *m_listAbort = true;
    // Queued instruments are not started: their pass ends without them.
    for (const std::shared_ptr<Job>& job : m_queue) {
        m_busy.remove(job->source);
        auto it = m_passes.find(job->pass);
        if (it != m_passes.end() && --it->outstanding == 0 && it->listed)
            finishPass(job->pass);
    }
    m_queue.clear();
    for (const std::shared_ptr<Job>& job : m_running) {
        job->stop = true;
        std::lock_guard<std::mutex> lock(job->lock);
        if (job->worker)
            job->worker->RequestCancel(); // the record in flight is finished and stored
        if (job->session && !job->downloading)
            job->session->Abort(); // a link or adb run: nothing is stored yet
    }
    QMetaObject::invokeMethod(this, &CStation::checkIdle, Qt::QueuedConnection);
}

bool CStation::claim(const QString& device, const QString& source, QString* holder) {
    std::lock_guard<std::mutex> lock(m_claimLock);
    const auto it = m_claims.constFind(device);
    if (it != m_claims.constEnd() && it.value() != source) {
        *holder = it.value();
        return false;
    }
    m_claims.insert(device, source);
    return true;
}

void CStation::release(const QString& device, const QString& source) {
    std::lock_guard<std::mutex> lock(m_claimLock);
    if (m_claims.value(device) == source)
        m_claims.remove(device);
}

Station::Report CStation::serve(Job& job) {
    Station::Report report;
    report.source = job.source;

    CDeviceSession session(m_options.link);
    session.ReadCalibrationDefaults(m_texts);
    session.SetProgram(m_options.program);
    CDeviceWorker worker(session);
    worker.SetStoreLock(&m_storeLock);
    // Instruments served at once share the store: each stores its records several to a
    // transaction, so the store's flushes and signatures do not set the pace.
    worker.SetBatchRecords(kBatchRecords);
    {
        std::lock_guard<std::mutex> lock(job.lock);
        job.session = &session;
        job.worker = &worker;
    }
    struct Detach {
        Job& job;
        ~Detach() {
            std::lock_guard<std::mutex> lock(job.lock);
            job.session = nullptr;
            job.worker = nullptr;
        }
    } detach{job};
    if (job.stop)
        session.Abort();

    quint16 port = 0;
    QString host = QStringLiteral("127.0.0.1");
    if (job.usb) {
        if (!AdbForwardFreePort(job.source, &port, &job.stop) || job.stop) {
            if (job.stop) {
                report.ok = false;
                report.warnings << QStringLiteral("stopped before it was linked");
            } else {
                report.warnings << QStringLiteral("skipped: gone before adb could forward a port "
                                                  "to it");
            }
            return report;
        }
    } else if (!Station::ParseWifiTarget(job.source, host, port)) {
        report.ok = false;
        report.warnings << m_texts.GetText(QStringLiteral("GetIPFail"));
        return report;
    }
    struct Unforward {
        const Job& job;
        quint16 port;
        ~Unforward() {
            if (job.usb)
                AdbRemoveForward(job.source, port);
        }
    } unforward{job, port};

    if (!session.OpenDatabase()) {
        report.ok = false;
        report.warnings << QStringLiteral("cannot open %1").arg(GetDatabasePath());
        return report;
    }
    const LinkResult link =
        session.ConnectAt(job.usb ? LinkRoute::Usb : LinkRoute::Wifi, host, port);
    if (!link) {
        report.ok = false;
        const QString why = m_texts.GetText(link.key);
        report.warnings << (why.isEmpty() ? link.key : why);
        return report;
    }
    const QString device = session.DeviceNumber();
    report.device = device;
    QString holder;
    if (!claim(device, job.source, &holder)) {
        report.ok = false;
        report.warnings << QStringLiteral("refused: %1 and %2 both report device number %3; "
                                          "their records would mix")
                               .arg(holder, job.source, device);
        session.Disconnect();
        return report;
    }
    struct Release {
        CStation& station;
        QString device, source;
        ~Release() { station.release(device, source); }
    } release{*this, device, job.source};

    const quint32 total = session.Total();
    SQLite::Database& db = session.Database();
    InstrumentTotals::EnsureTable(db);
    const qint64 last = InstrumentTotals::Last(db, device);
    if (last >= 0 && qint64(total) < last)
        report.warnings << QStringLiteral("%1 holds %2 records, %3 at its last download: its "
                                          "files were deleted")
                               .arg(device)
                               .arg(total)
                               .arg(last);
    const QString full = Station::CapacityWarning(device, total, m_options.capacity);
    if (!full.isEmpty())
        report.warnings << full;
    // A calibration or an accuracy check that is overdue or falls due soon.
    if (const CDeviceSession::DueNotice& due = session.CalibrationNotice(); !due.key.isEmpty()) {
        QString notice = m_texts.GetTextNumber(due.key, due.days);
        notice.replace(QStringLiteral("%s"), due.date);
        if (!notice.isEmpty())
            report.warnings << device + QStringLiteral(": ") + notice;
    }

    const Download::PlanResult plan = Download::PlanNew(session.NewRecordNumbers(), total);
    bool linkLost = false;
    if (plan.start && !job.stop) {
        const quint32 count = quint32(plan.plan.Count());
        int failedInRow = 0;
        QString firstFailure;
        quint32 done = 0;
        Download::Update summary;
        QObject::connect(
            &worker, &CDeviceWorker::downloadUpdate, &worker,
            [&](const Download::Update& u) {
                using Type = Download::Update::Type;
                if (job.stop)
                    worker.RequestCancel(); // also when Stop() came just as it began
                if (u.type == Type::Finished) {
                    summary = u;
                    return;
                }
                if (u.type == Type::Progress) {
                    done = u.number;
                    emit progress(job.source, device, done, count);
                    return;
                }
                if (u.type == Type::RecordFailed) {
                    if (firstFailure.isEmpty())
                        firstFailure = Download::UpdateTexts(m_texts, u).join(QLatin1Char(' '));
                    // Failures one after another with the link down: the instrument is gone
                    // (unplugged, switched off). Its download ends here; what is missing is
                    // fetched when it is served again.
                    if (!session.Client().IsConnected() && ++failedInRow >= 3) {
                        linkLost = true;
                        worker.RequestCancel();
                    }
                } else {
                    failedInRow = 0;
                }
            },
            Qt::DirectConnection);
        {
            std::lock_guard<std::mutex> lock(job.lock);
            job.downloading = true;
        }
        if (!job.stop) // a Stop() in between would have found nothing to cancel yet
            worker.RunDownload(plan.plan,
                               m_options.picRoot.isEmpty() ? GetPicFolder() : m_options.picRoot);
        {
            std::lock_guard<std::mutex> lock(job.lock);
            job.downloading = false;
        }
        report.downloaded = summary.downloaded;
        report.skipped = summary.skipped;
        report.failed = summary.failed;
        const quint32 left =
            count - qMin(count, summary.downloaded + summary.skipped + summary.failed);
        if (linkLost) {
            report.failed += left;
            report.warnings << QStringLiteral("link lost after %1 of %2 records (unplugged?): "
                                              "the rest follows when it is served again")
                                   .arg(done)
                                   .arg(count);
        } else if (summary.canceled && left > 0) {
            report.warnings
                << QStringLiteral("stopped: %1 records left for the next run").arg(left);
        }
        if (!firstFailure.isEmpty() && summary.failed > 0)
            report.warnings << firstFailure;
        if (!summary.unsignedWhy.isEmpty())
            report.warnings << m_texts.GetText(QStringLiteral("DeskKeyUnusable")) +
                                   QLatin1Char(' ') + summary.unsignedWhy;
    }
    report.ok = report.failed == 0 && !linkLost;
    if (!linkLost)
        InstrumentTotals::Store(db, device, total);
    session.Disconnect();

    if (m_options.sync) {
        bool pending;
        {
            std::lock_guard<std::mutex> lock(m_claimLock);
            pending = m_syncPending.contains(device);
        }
        if (report.downloaded > 0 || pending) {
            QString why;
            {
                std::lock_guard<std::mutex> lock(m_syncLock);
                why = m_options.sync(device);
            }
            std::lock_guard<std::mutex> lock(m_claimLock);
            if (why.isEmpty()) {
                m_syncPending.remove(device);
            } else {
                m_syncPending.insert(device);
                report.ok = false;
                report.warnings << QStringLiteral("sync failed: ") + why;
            }
        }
    }
    return report;
}
