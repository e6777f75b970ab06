#pragma once
// Sync in the background: a worker object on a thread of its own runs one SyncToCentral at a
// time and reports by queued signal, so the window never waits for the server. A request
// while a sync runs is remembered and runs once the current one ends (the records of a
// download that ended meanwhile are then sent too).
#include "base/Language.h"
#include "central/CentralSync.h"

#include <QObject>
#include <QThread>

#include <atomic>

namespace Central {

class CSyncWorker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    std::atomic<bool> stop{false};
public slots:
    void Run(const Central::SyncOptions& options);
signals:
    void Progress(qint64 done, qint64 total);
    void Done(bool ok, const QString& summary, const QString& error, int conflicts);
};

class CCentralSyncWorker : public QObject {
    Q_OBJECT
public:
    // texts: the Language.ini whose CentralUrl and Station a sync uses when its options name
    // none.
    explicit CCentralSyncWorker(QObject* parent = nullptr, CLanguage texts = CLanguage());
    ~CCentralSyncWorker() override; // stops a running sync between batches and waits for it

    // Starts a sync of everything (options.conninfo empty: CentralUrl). Returns false when
    // no central store is configured.
    bool Start(SyncOptions options = SyncOptions());

signals:
    void Progress(qint64 done, qint64 total);
    // ok false: error says why (the server could not be reached, a conflict, ...);
    // conflicts: records whose seal differs from the server's.
    void Finished(bool ok, const QString& summary, const QString& error, int conflicts);

private:
    CLanguage m_texts;
    void OnDone(bool ok, const QString& summary, const QString& error, int conflicts);

    QThread m_thread;
    CSyncWorker* m_worker = nullptr;
    bool m_running = false;
    bool m_again = false;
    SyncOptions m_next;
};

} // namespace Central

Q_DECLARE_METATYPE(Central::SyncOptions)
