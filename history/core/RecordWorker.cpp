#include "history/core/RecordWorker.h"

#include <QEventLoop>
#include <QTimer>

CRecordWorker::CRecordWorker(std::shared_ptr<IRecordSource> source, QObject* parent)
    : QObject(parent), m_source(source), m_latest(std::move(source)) {
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("records"));
    m_thread.start();
}

CRecordWorker::~CRecordWorker() {
    if (m_latest)
        m_latest->Abort();
    m_thread.quit();
    m_thread.wait();
}

void CRecordWorker::SetSource(std::shared_ptr<IRecordSource> source) {
    if (m_latest && m_latest != source)
        m_latest->Abort();
    m_latest = source;
    Post([this, source](IRecordSource&) { m_source = source; });
}

void CRecordWorker::Post(std::function<void(IRecordSource&)> work) {
    m_pending.ref();
    QMetaObject::invokeMethod(
        m_context,
        [this, work = std::move(work)] {
            work(*m_source);
            m_pending.deref();
        },
        Qt::QueuedConnection);
}

bool CRecordWorker::RunAndWait(const std::function<void(IRecordSource&)>& work, int timeoutMs) {
    // The work usually writes into its caller's frame. States: queued, running, done, or given
    // up by the caller before it started (the thread then skips it); once running, it is waited
    // for to its end, so it never outlives that frame.
    enum : int { Queued, Running, Done, GivenUp };
    auto state = std::make_shared<QAtomicInt>(Queued);
    Post([work, state](IRecordSource& source) {
        if (!state->testAndSetAcquire(Queued, Running))
            return;
        work(source);
        state->storeRelease(Done);
    });
    QEventLoop loop;
    // The loop checks often: the answer may come at any moment and must not wait for an event.
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, state] {
        if (state->loadAcquire() == Done)
            loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    bool late = false;
    QObject::connect(&limit, &QTimer::timeout, &loop, [&loop, &late, state] {
        late = true;
        if (state->testAndSetOrdered(Queued, GivenUp))
            loop.quit(); // it never starts now
    });
    if (state->loadAcquire() != Done) {
        poll.start();
        limit.start(timeoutMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return !late && state->loadAcquire() == Done;
}
