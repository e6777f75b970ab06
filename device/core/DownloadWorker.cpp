#include "device/core/DownloadWorker.h"

#include "base/Language.h"
#include "store/Audit.h"

#include <QCoreApplication>
#include <QObject>

#include <limits>
#include <mutex>

namespace Download {

namespace {
// Taken by the worker after an event is filled in and by the receiver before reading one.
std::mutex g_handOver;
} // namespace

const DownloadEvent* AsDownloadEvent(const QEvent* e) {
    // The lock comes before the first read of the event, its type included: the worker wrote
    // all of it before its own hand-over.
    std::lock_guard<std::mutex> lock(g_handOver);
    switch (int(e->type())) {
    case kProgressEvent:
    case kFinishedEvent:
    case kRecordDownloadedEvent:
    case kRecordFailedEvent:
        return static_cast<const DownloadEvent*>(e);
    default:
        return nullptr;
    }
}

int Plan::progressMaximum() const {
    if (kind == Kind::Single || first > last)
        return 0;
    const quint64 count = quint64(last) - first + 1;
    return int(qMin<quint64>(count, quint64(std::numeric_limits<int>::max())));
}

quint32 SingleNumber(const QString& text, bool* overflow) {
    // The ordinary unsigned decimal conversion: blanks, an optional sign, digits up to the
    // first other character. A minus sign or a value beyond 32 bits gives the largest value,
    // which no instrument total reaches.
    if (overflow)
        *overflow = false;
    int i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    quint64 value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        any = true;
        value = value * 10 + quint64(text[i].unicode() - '0');
        if (value > std::numeric_limits<quint32>::max()) {
            if (overflow)
                *overflow = true;
            return std::numeric_limits<quint32>::max();
        }
    }
    if (negative && any && value != 0) {
        if (overflow)
            *overflow = true;
        return std::numeric_limits<quint32>::max();
    }
    return quint32(value);
}

namespace {
bool allDigits(const QString& text) {
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}
} // namespace

quint32 RangeStart(const QString& text, bool* clear) {
    quint32 value;
    if (text.isEmpty())
        value = 1;
    else if (text.size() > 6 || !allDigits(text))
        value = 0;
    else
        value = text.toUInt();
    if (clear)
        *clear = text.isEmpty() || value == 0;
    return value;
}

quint32 RangeEnd(const QString& text, quint32 total, bool* clear) {
    quint32 value;
    if (text.isEmpty())
        value = total;
    else if (text.size() > 5 || !allDigits(text))
        value = 0;
    else
        value = text.toUInt();
    if (clear)
        *clear = text.isEmpty() || value == 0;
    return value;
}

PlanResult PlanSingle(const QString& fromText, quint32 total) {
    PlanResult result;
    if (total == 0) {
        result.key = QStringLiteral("NoRecords");
        result.clearFrom = true;
        return result;
    }
    const quint32 number = SingleNumber(fromText);
    if (number > total) {
        result.key = QStringLiteral("NumberMustLessTotoal");
        return result;
    }
    result.start = true;
    result.plan = Plan{Kind::Single, number, number};
    return result;
}

PlanResult PlanAll(quint32 total) {
    PlanResult result;
    if (total < 1) {
        result.key = QStringLiteral("NoRecords");
        return result;
    }
    result.start = true;
    result.plan = Plan{Kind::All, 1, total};
    return result;
}

PlanResult PlanDownload(const QString& fromText, const QString& toText, quint32 total) {
    const QString from = fromText.trimmed();
    const QString to = toText.trimmed();
    if (from.isEmpty() && to.isEmpty())
        return PlanAll(total);
    PlanResult result;
    if (total == 0) {
        result.key = QStringLiteral("NoRecords");
        result.clearFrom = true;
        result.clearTo = true;
        return result;
    }
    const quint32 start = RangeStart(from, &result.clearFrom);
    const quint32 end = RangeEnd(to, total, &result.clearTo);
    result.start = true;
    result.plan = Plan{Kind::Range, start, end};
    return result;
}

QString StatusText(const QString& key, qint64 number) {
    return number < 0 ? GetText(key) : GetTextNumber(key, number);
}

QString FinishText(quint32 failedRecords) {
    // A Language.ini supplied with the instrument may not know the key of the failure
    // count: the plain closing text then, never an empty status line.
    const QString failedText =
        failedRecords == 0 ? QString()
                           : StatusText(QStringLiteral("DownloadFinishFailed"), failedRecords);
    return failedText.isEmpty() ? GetText(QStringLiteral("DownloadFinish")) : failedText;
}

CDownloadWorker::CDownloadWorker(QObject* receiver) : m_receiver(receiver) {}

CDownloadWorker::~CDownloadWorker() {
    Stop();
}

bool CDownloadWorker::Start(const Plan& plan, const Context& ctx) {
    if (m_running.load())
        return false;
    if (m_thread.joinable())
        m_thread.join(); // the previous download has ended; collect its thread
    m_stop = false;
    m_running = true;
    m_thread = std::thread(&CDownloadWorker::run, this, plan, ctx);
    return true;
}

void CDownloadWorker::Stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CDownloadWorker::Wait() {
    if (m_thread.joinable())
        m_thread.join();
}

void CDownloadWorker::post(DownloadEvent* event) {
    { std::lock_guard<std::mutex> lock(g_handOver); }
    QCoreApplication::postEvent(m_receiver, event);
}

void CDownloadWorker::run(Plan plan, Context ctx) {
    ctx.stop = &m_stop;
    bool singleFailed = false;
    QString singleKey;
    quint32 singleKeyNumber = 0;
    quint32 failedRecords = 0;
    quint32 stored = 0;
    quint32 skipped = 0;

    auto report = [&](quint32 r, const RecordResult& result) {
        if (result.ok)
            ++(result.inserted > 0 ? stored : skipped);
        if (result.ok) {
            auto* event = new DownloadEvent(kRecordDownloadedEvent, r);
            event->pictureName = result.pictureName;
            event->stored = result.inserted > 0;
            post(event);
        } else {
            ++failedRecords;
            auto* event = new DownloadEvent(kRecordFailedEvent, r);
            event->key = result.key;
            event->keyNumber = result.keyNumber;
            post(event);
        }
    };

    switch (plan.kind) {
    case Kind::Single: {
        const RecordResult result = DownloadRecord(ctx, plan.first);
        if (result.ok) {
            report(plan.first, result);
        } else {
            singleFailed = true;
            singleKey = result.key;
            singleKeyNumber = result.keyNumber;
        }
        break;
    }
    case Kind::All:
        for (quint64 i = plan.first; i <= plan.last && !m_stop.load(); ++i) {
            post(new DownloadEvent(kProgressEvent, quint32(i)));
            report(quint32(i), DownloadRecord(ctx, quint32(i)));
        }
        break;
    case Kind::Range: {
        quint32 count = 0;
        for (quint64 n = plan.first; n <= plan.last && !m_stop.load(); ++n) {
            ++count;
            const RecordResult result = DownloadRecord(ctx, quint32(n));
            report(quint32(n), result);
            if (result.ok)
                post(new DownloadEvent(kProgressEvent, count));
        }
        break;
    }
    }

    auto* finished = new DownloadEvent(kFinishedEvent, plan.kind == Kind::Single ? plan.first : 0);
    finished->failed = singleFailed;
    finished->key = singleKey;
    finished->keyNumber = singleKeyNumber;
    finished->failedRecords = failedRecords;
    finished->stopped = m_stop.load();
    if (ctx.db && ctx.db->IsOpen())
        Audit::Append(*ctx.db, ctx.program, QStringLiteral("download"), ctx.deviceId,
                      QStringLiteral("%1-%2").arg(plan.first).arg(plan.last),
                      QStringLiteral("downloaded: %1, skipped: %2, failed: %3%4")
                          .arg(stored)
                          .arg(skipped)
                          .arg(failedRecords + (singleFailed ? 1 : 0))
                          .arg(finished->stopped ? QStringLiteral(", stopped") : QString()));
    // Cleared before the last event goes out, so the receiver may start the next download
    // from its Finished handler.
    m_running = false;
    post(finished);
}

} // namespace Download
