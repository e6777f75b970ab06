#pragma once
// The thread the history list reads its records on. Every call of the record source runs
// there, one after another; its answer comes back on the caller's thread as a queued call, so
// the window only draws and reacts while a long search or sort runs.
#include "history/core/RecordSource.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

class CRecordWorker : public QObject {
    Q_OBJECT
public:
    explicit CRecordWorker(std::shared_ptr<IRecordSource> source, QObject* parent = nullptr);
    // Aborts the source's running call, waits for it to end, then stops the thread.
    ~CRecordWorker() override;

    // Calls from now on read this source; the old one is aborted (the calls already queued
    // for it end at once).
    void SetSource(std::shared_ptr<IRecordSource> source);

    // Runs work(source) on the thread, then done(result) on receiver's thread (not at all when
    // the receiver is gone by then).
    template <class R>
    void Run(QObject* receiver, std::function<R(IRecordSource&)> work,
             std::function<void(R)> done) {
        Post([receiver, work = std::move(work), done = std::move(done)](IRecordSource& source) {
            auto result = std::make_shared<R>(work(source));
            QMetaObject::invokeMethod(
                receiver, [done, result] { done(std::move(*result)); }, Qt::QueuedConnection);
        });
    }

    // Runs work(source) on the thread and waits for it while the caller's events are handled
    // (the window keeps painting). False when it did not end within timeoutMs.
    bool RunAndWait(const std::function<void(IRecordSource&)>& work, int timeoutMs = 120000);

    // Calls queued and not yet ended.
    int Pending() const { return m_pending.loadAcquire(); }

private:
    void Post(std::function<void(IRecordSource&)> work);

    QThread m_thread;
    QObject* m_context = nullptr;            // lives on m_thread
    std::shared_ptr<IRecordSource> m_source; // used on m_thread only
    std::shared_ptr<IRecordSource> m_latest; // the last one given, on the owner's thread
    QAtomicInt m_pending;
};
