#pragma once
// The three kinds of download (one record, all records, a range) and the worker thread that
// runs one of them. The worker reports only by events posted to a receiver object (the device
// page, or brtx-cli's printer); it never touches a widget.
//
// Events (DownloadEvent, types as the page's message numbers):
//   0x0BD2 Progress:         number = progress position
//   0x0BD4 Finished:         the download has ended; failed = a single download that failed
//                            (number = its record, its own text, if any, in key/keyNumber);
//                            failedRecords = records of an All or range download that failed
//   0x0BD6 RecordDownloaded: number = record number; pictureName = the picture saved;
//                            key/keyNumber empty
//   0x0BDA RecordFailed:     number = record number; key/keyNumber = the record's own status
//                            text ("ReadTheImgFail", "TheImgExist", ...), empty when none
// Order: All posts Progress(i) then RecordDownloaded/RecordFailed for each i = 1..total;
// Range posts RecordDownloaded then Progress(count) for each success, RecordFailed for each
// failure; Single posts RecordDownloaded then Finished, or Finished(failed). Finished is
// always the last event, also after Stop().
#include "device/core/DownloadRecord.h"

#include <QEvent>
#include <QPointer>
#include <QString>

#include <atomic>
#include <thread>

class QObject;

namespace Download {

constexpr QEvent::Type kProgressEvent = QEvent::Type(0x0BD2);
constexpr QEvent::Type kFinishedEvent = QEvent::Type(0x0BD4);
constexpr QEvent::Type kRecordDownloadedEvent = QEvent::Type(0x0BD6);
constexpr QEvent::Type kRecordFailedEvent = QEvent::Type(0x0BDA);

class DownloadEvent : public QEvent {
public:
    DownloadEvent(QEvent::Type type, quint32 number) : QEvent(type), number(number) {}
    quint32 number = 0;
    QString key; // a record's own status text (format with one number), or empty
    quint32 keyNumber = 0;
    QString pictureName;       // RecordDownloaded
    bool stored = false;       // RecordDownloaded: a new row was added (else it was stored already)
    bool failed = false;       // Finished of a single download that failed
    bool stopped = false;      // Finished after Stop()
    quint32 failedRecords = 0; // Finished of an All or range download: its failed records
};

// The download event in e, or nullptr for any other event. Receivers read the worker's events
// through this: besides the type test it pairs with the worker's hand-over, so the event's
// fields are seen as written also by thread checkers that cannot see Qt's internal locking.
const DownloadEvent* AsDownloadEvent(const QEvent* e);

enum class Kind { Single, All, Range };

struct Plan {
    Kind kind = Kind::All;
    quint32 first = 1; // Single: the record; All: 1; Range: start
    quint32 last = 0;  // Single: the record; All: total; Range: end (first > last: nothing)
    // The progress bar's range: 0 .. progressMaximum.
    int progressMaximum() const;
};

// The decision a download button makes before a worker starts.
struct PlanResult {
    bool start = false; // false: nothing is started; show key
    QString key;        // "NoRecords", "NumberMustLessTotoal", or empty
    Plan plan;
    // Range boxes that get the focus and are emptied (empty, too long, not digits, or 0).
    bool clearFrom = false;
    bool clearTo = false;
};

// "Single Download": the "From Record No." text by the ordinary decimal conversion (leading
// blanks and a sign allowed, the number ends at the first non-digit, empty gives 0).
// Total 0 gives "NoRecords" (and clearFrom); a number above the total "NumberMustLessTotoal".
PlanResult PlanSingle(const QString& fromText, quint32 total);
// "All Download": total below 1 gives "NoRecords".
PlanResult PlanAll(quint32 total);
// "Download": both texts empty (after trimming) acts as All; otherwise a range. Total 0 gives
// "NoRecords" (both boxes cleared). Start: empty 1; more than 6 characters or a non-digit 0;
// else its value. End: empty the total; more than 5 characters or a non-digit 0; else its value.
PlanResult PlanDownload(const QString& fromText, const QString& toText, quint32 total);

// The box readings of a range download (exposed for tests).
quint32 SingleNumber(const QString& text, bool* overflow = nullptr);
quint32 RangeStart(const QString& text, bool* clear);
quint32 RangeEnd(const QString& text, quint32 total, bool* clear);

// The looked-up text of a status key with its first "%d" (or "%u", "%i", "%ld") replaced by
// number. The text is never used as a printf format, so a translation holding other
// conversions cannot do harm.
QString StatusText(const QString& key, qint64 number = -1);

// The closing status text of an All or range download: "DownloadFinish", or
// "DownloadFinishFailed" with the number of records that failed, so a download in which
// records failed is not reported as a plain success.
QString FinishText(quint32 failedRecords);

// One download at a time on its own thread.
class CDownloadWorker {
public:
    explicit CDownloadWorker(QObject* receiver);
    ~CDownloadWorker(); // Stop(): the thread is stopped and joined before the worker goes away
    CDownloadWorker(const CDownloadWorker&) = delete;
    CDownloadWorker& operator=(const CDownloadWorker&) = delete;

    // Starts the plan on a new thread. False (nothing started) while a download runs.
    // ctx is copied; its database and link must outlive the download (Stop() ends it).
    bool Start(const Plan& plan, const Context& ctx);
    // Asks the running download to stop after the record in hand, and waits for its thread.
    void Stop();
    // Waits for the running download to end by itself.
    void Wait();
    bool IsRunning() const { return m_running.load(); }

private:
    void run(Plan plan, Context ctx);
    void post(DownloadEvent* event);

    QObject* m_receiver;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
};

} // namespace Download
