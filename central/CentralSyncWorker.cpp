#include "central/CentralSyncWorker.h"

#include "base/Paths.h"
#include "central/CentralConfig.h"

namespace Central {

void CSyncWorker::Run(const Central::SyncOptions& options) {
    const SyncResult r = SyncToCentral(
        options,
        [this](const QString& stage, qint64 done, qint64 total) {
            if (stage == QLatin1String("records"))
                emit Progress(done, total);
        },
        &stop);
    QString error = r.error;
    if (!r.conflicts.isEmpty())
        error += QStringLiteral(": ") + r.conflicts.first();
    emit Done(r.ok, r.Summary(), error, int(r.conflicts.size()));
}

CCentralSyncWorker::CCentralSyncWorker(QObject* parent, CLanguage texts)
    : QObject(parent), m_texts(std::move(texts)) {
    qRegisterMetaType<Central::SyncOptions>();
    m_worker = new CSyncWorker;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &CSyncWorker::Progress, this, &CCentralSyncWorker::Progress,
            Qt::QueuedConnection);
    connect(m_worker, &CSyncWorker::Done, this, &CCentralSyncWorker::OnDone, Qt::QueuedConnection);
    m_thread.setObjectName(QStringLiteral("central sync"));
    m_thread.start();
}

CCentralSyncWorker::~CCentralSyncWorker() {
    m_worker->stop = true;
    m_thread.quit();
    m_thread.wait();
}

bool CCentralSyncWorker::Start(SyncOptions options) {
    if (options.conninfo.isEmpty()) {
        QString problem;
        options.conninfo = CentralUrl(m_texts, &problem);
        if (!problem.isEmpty())
            qWarning("central store: %s", qPrintable(problem));
    }
    if (options.conninfo.isEmpty())
        return false;
    // Settings are read here, on the caller's thread; the worker only talks to the stores.
    if (options.dbPath.isEmpty())
        options.dbPath = GetDatabasePath();
    if (options.picRoot.isEmpty())
        options.picRoot = GetPicFolder();
    if (options.station.isEmpty())
        options.station = StationName(m_texts);
    if (m_running) {
        m_again = true;
        m_next = options;
        return true;
    }
    m_running = true;
    QMetaObject::invokeMethod(m_worker, "Run", Qt::QueuedConnection,
                              Q_ARG(Central::SyncOptions, options));
    return true;
}

void CCentralSyncWorker::OnDone(bool ok, const QString& summary, const QString& error,
                                int conflicts) {
    m_running = false;
    emit Finished(ok, summary, error, conflicts);
    if (m_again) {
        m_again = false;
        Start(m_next);
    }
}

} // namespace Central
