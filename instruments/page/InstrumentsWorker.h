#pragma once
// The thread the Instruments page does its database and package work on. Jobs run there one
// after another; each answer comes back on the receiver's thread as a queued call, so the
// window never waits for the database.
#include <QAtomicInt>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

class CInstrumentsWorker : public QObject {
    Q_OBJECT
public:
    explicit CInstrumentsWorker(const QString& name, QObject* parent = nullptr);
    // Lets the running job end, drops the queued ones, then stops the thread.
    ~CInstrumentsWorker() override;

    // Runs work() on the thread, then done(result) on receiver's thread (not at all when the
    // receiver is gone by then).
    template <class R>
    void Run(QObject* receiver, std::function<R()> work, std::function<void(R)> done) {
        Post([receiver, work = std::move(work), done = std::move(done)] {
            auto result = std::make_shared<R>(work());
            QMetaObject::invokeMethod(
                receiver, [done, result] { done(std::move(*result)); }, Qt::QueuedConnection);
        });
    }

    // Jobs queued and not yet ended.
    int Pending() const { return m_pending.loadAcquire(); }

private:
    void Post(std::function<void()> work);

    QThread m_thread;
    QObject* m_context = nullptr; // lives on m_thread
    QAtomicInt m_pending;
    std::shared_ptr<QAtomicInt> m_stopping = std::make_shared<QAtomicInt>(0);
};
