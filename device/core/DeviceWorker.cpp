#include "device/core/DeviceWorker.h"

#include "store/Audit.h"
#include "store/Instruments.h"

#include "device/core/PictureStore.h"
#include "link/DeviceFrame.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

// ---------------------------------------------------------------------------------------------
// The worker (runs on the worker thread)

void CDeviceWorker::begin() {
    m_cancel = false;
    m_session.ClearAbort();
}

void CDeviceWorker::FindDevices() {
    begin();
    QStringList serials;
    const DeviceResult r = m_session.FindDevices(serials);
    emit devicesFound(r, serials);
    emit operationEnded(DeviceOp::FindDevices);
}

void CDeviceWorker::ConnectUsb(const QString& serial) {
    begin();
    emit linked(DeviceOp::ConnectUsb, m_session.ConnectUsb(serial));
    emit operationEnded(DeviceOp::ConnectUsb);
}

void CDeviceWorker::ConnectWifi(const QString& address) {
    begin();
    emit linked(DeviceOp::ConnectWifi, m_session.ConnectWifi(address));
    emit operationEnded(DeviceOp::ConnectWifi);
}

void CDeviceWorker::Disconnect() {
    begin();
    m_session.Disconnect();
    emit disconnected();
    emit operationEnded(DeviceOp::Disconnect);
}

void CDeviceWorker::SetTime(const QDateTime& localTime) {
    begin();
    emit commandDone(DeviceOp::SetTime, m_session.SetTime(localTime), QString());
    emit operationEnded(DeviceOp::SetTime);
}

void CDeviceWorker::SetDeviceId(const QString& digits) {
    begin();
    QString number;
    const DeviceResult r = m_session.SetDeviceId(digits, &number);
    emit commandDone(DeviceOp::SetDeviceId, r, number);
    emit operationEnded(DeviceOp::SetDeviceId);
}

void CDeviceWorker::DeleteFiles() {
    begin();
    emit commandDone(DeviceOp::DeleteFiles, m_session.DeleteFiles(), QString());
    emit operationEnded(DeviceOp::DeleteFiles);
}

void CDeviceWorker::RunDownload(const Download::Plan& plan, const QString& picRoot) {
    using Download::Update;
    begin();
    Download::Context ctx;
    ctx.db = &m_session.Database();
    ctx.client = &m_session.Client();
    ctx.deviceId = m_session.DeviceNumber();
    ctx.picRoot = picRoot;
    ctx.stop = &m_cancel;
    ctx.storeLock = m_storeLock;
    ctx.batchRecords = m_batchRecords;
    if (Picture::IsUsableDeviceId(ctx.deviceId))
        Picture::RemoveLeftoverParts(Picture::DeviceFolder(picRoot, ctx.deviceId));

    Update summary;
    summary.type = Update::Type::Finished;
    summary.kind = plan.kind;
    // The reports of one record: what became of it, then the plan's position.
    auto report = [&](quint32 r, const Download::RecordResult& result, quint64 position) {
        if (!result.signProblem.isEmpty())
            summary.unsignedWhy = result.signProblem;
        Update u;
        u.number = r;
        if (result.ok) {
            u.type = Update::Type::RecordDownloaded;
            u.pictureName = result.pictureName;
            u.stored = result.inserted > 0;
            ++(u.stored ? summary.downloaded : summary.skipped);
        } else {
            u.type = Update::Type::RecordFailed;
            u.key = result.key;
            u.keyNumber = result.keyNumber;
            u.keyTexts = result.keyTexts;
            ++summary.failed;
        }
        emit downloadUpdate(u);
        if (plan.kind != Download::Kind::Single) {
            Update progress;
            progress.type = Update::Type::Progress;
            progress.number = quint32(position + 1);
            emit downloadUpdate(progress);
        }
    };
    // With a batch, a record is reported once its transaction committed; the records before
    // a failure are stored and reported first, so the reports keep the plan's order.
    Download::StoreBatch batch(ctx);
    QList<quint64> batched; // plan positions of the records in the batch
    auto flush = [&] {
        const QList<QPair<quint32, Download::RecordResult>> stored = batch.Flush();
        for (qsizetype k = 0; k < stored.size(); ++k)
            report(stored[k].first, stored[k].second, batched.value(k));
        batched.clear();
    };
    const quint64 count = plan.Count();
    for (quint64 i = 0; i < count; ++i) {
        if (m_cancel.load()) {
            summary.canceled = true;
            break;
        }
        const quint32 r = plan.At(i);
        Download::RecordResult result;
        if (ctx.batchRecords > 1) {
            DeviceFrame::RecordReply parsed;
            bool plainExisted = false;
            result = Download::FetchRecord(ctx, r, &parsed, &plainExisted, &batch.TakenNames());
            if (result.ok) {
                result = batch.Add(r, parsed, plainExisted);
                if (result.ok) {
                    batched.append(i);
                    if (batch.IsDue())
                        flush();
                    continue;
                }
            }
        } else {
            result = Download::DownloadRecord(ctx, r);
        }
        if (!result.ok && m_cancel.load() && m_session.Client().Aborted()) {
            // The exchange was cut off by the cancel: nothing of the record was stored, and
            // it is not a failure of the instrument.
            summary.canceled = true;
            break;
        }
        flush();
        report(r, result, i);
    }
    flush(); // the records fetched before the end, a cancel or a lost link
    if (ctx.db->IsOpen()) {
        const QString records = plan.kind == Download::Kind::New
                                    ? QStringLiteral("%1 new").arg(count)
                                    : QStringLiteral("%1-%2").arg(plan.first).arg(plan.last);
        Audit::Append(*ctx.db, m_session.Program(), QStringLiteral("download"), ctx.deviceId,
                      records,
                      QStringLiteral("downloaded: %1, skipped: %2, failed: %3%4")
                          .arg(summary.downloaded)
                          .arg(summary.skipped)
                          .arg(summary.failed)
                          .arg(summary.canceled ? QStringLiteral(", canceled") : QString()));
        Instruments::NoteDownload(*ctx.db, ctx.deviceId);
    }
    emit downloadUpdate(summary);
    emit downloadFinished(summary);
    emit operationEnded(DeviceOp::Download);
}

// ---------------------------------------------------------------------------------------------
// The front (lives on the thread that made it)

CDeviceExchange::CDeviceExchange(CDeviceSession& session, QObject* parent)
    : QObject(parent), m_session(session) {
    qRegisterMetaType<DeviceResult>();
    qRegisterMetaType<LinkResult>();
    qRegisterMetaType<DeviceOp>();
    qRegisterMetaType<Download::Plan>();
    qRegisterMetaType<Download::Update>();
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("device worker"));
    m_worker = new CDeviceWorker(session);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &CDeviceWorker::operationEnded, this, [this] {
        m_busy = false;
        emit busyChanged(false);
    });
    m_thread->start();
}

CDeviceExchange::~CDeviceExchange() {
    Shutdown();
}

bool CDeviceExchange::start(DeviceOp op) {
    if (m_busy || !m_thread->isRunning())
        return false;
    m_busy = true;
    m_op = op;
    ++m_serial;
    emit busyChanged(true);
    return true;
}

bool CDeviceExchange::FindDevices() {
    if (!start(DeviceOp::FindDevices))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->FindDevices(); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::ConnectUsb(const QString& serial) {
    if (!start(DeviceOp::ConnectUsb))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, serial] { w->ConnectUsb(serial); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::ConnectWifi(const QString& address) {
    if (!start(DeviceOp::ConnectWifi))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, address] { w->ConnectWifi(address); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::Disconnect() {
    if (!start(DeviceOp::Disconnect))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->Disconnect(); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::SetTime(const QDateTime& localTime) {
    if (!start(DeviceOp::SetTime))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, localTime] { w->SetTime(localTime); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::SetDeviceId(const QString& digits) {
    if (!start(DeviceOp::SetDeviceId))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, digits] { w->SetDeviceId(digits); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::DeleteFiles() {
    if (!start(DeviceOp::DeleteFiles))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->DeleteFiles(); }, Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::Download(const Download::Plan& plan, const QString& picRoot) {
    if (!start(DeviceOp::Download))
        return false;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, plan, picRoot] { w->RunDownload(plan, picRoot); },
        Qt::QueuedConnection);
    return true;
}

bool CDeviceExchange::Cancel(int abortAfterMs) {
    if (!IsDownloading())
        return false;
    m_worker->RequestCancel();
    // A record whose exchange hangs (a stalled instrument) is cut off, so the cancel is
    // done within about a second.
    const quint64 serial = m_serial;
    QTimer::singleShot(abortAfterMs, this, [this, serial] {
        if (IsDownloading() && m_serial == serial)
            m_session.Abort();
    });
    return true;
}

void CDeviceExchange::AbortNow() {
    if (!m_busy)
        return;
    m_worker->RequestCancel();
    m_session.Abort();
}

void CDeviceExchange::Shutdown() {
    if (!m_thread || !m_thread->isRunning())
        return;
    AbortNow();
    m_thread->quit();
    m_thread->wait();
    // Reports still queued for this thread refer to a finished operation; the state is idle.
    m_busy = false;
}

void CDeviceExchange::WaitIdle() {
    if (!m_busy)
        return;
    QEventLoop loop;
    connect(this, &CDeviceExchange::busyChanged, &loop, [&loop](bool busy) {
        if (!busy)
            loop.quit();
    });
    if (m_busy)
        loop.exec();
}
