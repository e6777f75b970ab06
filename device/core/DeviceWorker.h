#pragma once
// Every exchange with the instrument runs on one worker thread: adb listing and forwarding,
// connect, device information and titles, the three settings commands and all downloads.
//
// CDeviceWorker lives on that thread and does the work on a CDeviceSession; it reports only
// through signals, which reach receivers on other threads queued. CDeviceExchange is the
// front that the device page and brtx-cli hold: it owns the thread and the worker, starts one
// operation at a time (IsBusy() until its `finished` arrives), cancels downloads and shuts
// the thread down in bounded time (a hung adb or a stalled instrument is aborted).
//
// Order of signals of one operation: its result signal (devicesFound, linked, disconnected,
// commandDone, or downloadUpdate ... downloadFinished), then CDeviceExchange::busyChanged(false).
#include "device/core/DeviceSession.h"
#include "device/core/DownloadWorker.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <atomic>

class QThread;

// What a device command was.
enum class DeviceOp {
    FindDevices,
    ConnectUsb,
    ConnectWifi,
    Disconnect,
    SetTime,
    SetDeviceId,
    DeleteFiles,
    Download
};

Q_DECLARE_METATYPE(DeviceResult)
Q_DECLARE_METATYPE(LinkResult)
Q_DECLARE_METATYPE(DeviceOp)

class CDeviceWorker : public QObject {
    Q_OBJECT
public:
    explicit CDeviceWorker(CDeviceSession& session) : m_session(session) {}

    // From any thread: the running download stops after the record in hand.
    void RequestCancel() { m_cancel = true; }
    bool CancelRequested() const { return m_cancel.load(); }
    // Downloads hold this lock around each record's store (see Download::Context::storeLock).
    void SetStoreLock(std::mutex* lock) { m_storeLock = lock; }
    // More than 1: downloads store up to this many records per write transaction
    // (Download::StoreBatch); a record is reported once its transaction committed.
    void SetBatchRecords(int records) { m_batchRecords = records; }

    // Run on the worker thread (CDeviceExchange posts them there).
    void FindDevices();
    void ConnectUsb(const QString& serial);
    void ConnectWifi(const QString& address);
    void Disconnect();
    void SetTime(const QDateTime& localTime);
    void SetDeviceId(const QString& digits);
    void DeleteFiles();
    void RunDownload(const Download::Plan& plan, const QString& picRoot);

signals:
    void devicesFound(const DeviceResult& result, const QStringList& serials);
    // After a link attempt; the session's state (device number, total, new records) is read
    // by the receiver.
    void linked(DeviceOp op, const LinkResult& result);
    void disconnected();
    // Set time, set device number (newNumber: what the instrument now answers) or delete.
    void commandDone(DeviceOp op, const DeviceResult& result, const QString& newNumber);
    void downloadUpdate(const Download::Update& update);
    // The last report of every download (also after Cancel): a download has ended and its
    // records are stored. Further work on the records (a sync, ...) starts from here.
    void downloadFinished(const Download::Update& summary);
    void operationEnded(DeviceOp op);

private:
    void begin();

    CDeviceSession& m_session;
    std::atomic<bool> m_cancel{false};
    std::mutex* m_storeLock = nullptr;
    int m_batchRecords = 1;
};

class CDeviceExchange : public QObject {
    Q_OBJECT
public:
    // The session must outlive this object; from now on it is used on the worker thread only
    // while an operation runs.
    explicit CDeviceExchange(CDeviceSession& session, QObject* parent = nullptr);
    ~CDeviceExchange() override; // Shutdown()

    CDeviceWorker* Worker() const { return m_worker; }
    CDeviceSession& Session() const { return m_session; }

    // Each starts one operation and returns true, or returns false (nothing started) while
    // another runs.
    bool FindDevices();
    bool ConnectUsb(const QString& serial);
    bool ConnectWifi(const QString& address);
    bool Disconnect();
    bool SetTime(const QDateTime& localTime = QDateTime::currentDateTime());
    bool SetDeviceId(const QString& digits);
    bool DeleteFiles();
    bool Download(const Download::Plan& plan, const QString& picRoot);

    bool IsBusy() const { return m_busy; }
    bool IsDownloading() const { return m_busy && m_op == DeviceOp::Download; }
    DeviceOp CurrentOp() const { return m_op; }

    // Cancels the running download: it stops after the record in flight; an exchange still
    // in flight after abortAfterMs is aborted (that record is not stored). False when no
    // download runs (nothing changes); a second call while the first works is harmless.
    bool Cancel(int abortAfterMs = 600);
    // Aborts whatever runs now (adb, connect, exchange, download) without waiting.
    void AbortNow();
    // Cancels and aborts what runs and ends the worker thread; returns when it has ended
    // (bounded: a store in hand finishes, nothing waits on the instrument or adb).
    void Shutdown();
    // Runs the caller's event loop until no operation runs (for brtx-cli and tests).
    void WaitIdle();

signals:
    void busyChanged(bool busy);

private:
    bool start(DeviceOp op);

    CDeviceSession& m_session;
    QThread* m_thread = nullptr;
    CDeviceWorker* m_worker = nullptr;
    bool m_busy = false;
    DeviceOp m_op = DeviceOp::FindDevices;
    quint64 m_serial = 0; // counts started operations (the abort timer checks it)
};
