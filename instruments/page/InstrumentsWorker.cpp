#include "instruments/page/InstrumentsWorker.h"

CInstrumentsWorker::CInstrumentsWorker(const QString& name, QObject* parent) : QObject(parent) {
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.setObjectName(name);
    m_thread.start();
}

CInstrumentsWorker::~CInstrumentsWorker() {
    m_stopping->storeRelease(1);
    m_thread.quit();
    m_thread.wait();
}

void CInstrumentsWorker::Post(std::function<void()> work) {
    m_pending.ref();
    QMetaObject::invokeMethod(
        m_context,
        [this, stopping = m_stopping, work = std::move(work)] {
            if (!stopping->loadAcquire())
                work();
            m_pending.deref();
        },
        Qt::QueuedConnection);
}
