#include "history/core/RecordWorker.h"

#include <QEventLoop>
#include <QTimer>

CRecordWorker::CRecordWorker(std::shared_ptr<IRecordSource> source, QObject* parent)
    : QObject(parent), m_source(std::move(source)) {
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("records"));
    m_thread.start();
}

CRecordWorker::~CRecordWorker() {
    m_thread.quit();
    m_thread.wait();
}

void CRecordWorker::SetSource(std::shared_ptr<IRecordSource> source) {
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
    auto done = std::make_shared<QAtomicInt>(0);
    QEventLoop loop;
    Post([work, done](IRecordSource& source) {
        work(source);
        done->storeRelease(1);
    });
    // The loop checks often: the answer may come at any moment and must not wait for an event.
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, done] {
        if (done->loadAcquire())
            loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!done->loadAcquire()) {
        poll.start();
        limit.start(timeoutMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return done->loadAcquire() != 0;
}
