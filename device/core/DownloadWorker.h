#pragma once
// The kinds of download (one record, all records, a range, the new records), the checks a
// download button makes before anything starts, and the one translation of a download's
// reports into status texts, shared by the device page and brtx-cli. The download itself runs
// on CDeviceWorker (DeviceWorker.h).
#include "device/core/DownloadRecord.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

#include <initializer_list>

class CLanguage;

namespace Download {

enum class Kind { Single, All, Range, New };

struct Plan {
    Kind kind = Kind::All;
    quint32 first = 1;        // Single: the record; All: 1; Range: start
    quint32 last = 0;         // Single: the record; All: total; Range: end (first > last: nothing)
    QVector<quint32> numbers; // New: the record numbers to fetch, ascending
    // The progress bar's range: 0 .. progressMaximum.
    int progressMaximum() const;
    // How many records the plan fetches, and the index-th of them (in fetch order).
    quint64 Count() const;
    quint32 At(quint64 index) const;
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

// "Download New": the record numbers not stored (newNumbers, from the session). Total 0
// gives "NoRecords"; no new record gives "NewRecords" (with 0: "0 new records"), nothing
// started.
PlanResult PlanNew(const QVector<quint32>& newNumbers, quint32 total);

// The box readings of a range download (exposed for tests).
quint32 SingleNumber(const QString& text, bool* overflow = nullptr);
quint32 RangeStart(const QString& text, bool* clear);
quint32 RangeEnd(const QString& text, quint32 total, bool* clear);

// The looked-up text of a status key with its first "%d" (or "%u", "%i", "%ld") replaced by
// number. The text is never used as a printf format, so a translation holding other
// conversions cannot do harm.
QString StatusText(const CLanguage& language, const QString& key, qint64 number = -1);

// The closing status text of an All or range download: "DownloadFinish", or
// "DownloadFinishFailed" with the number of records that failed, so a download in which
// records failed is not reported as a plain success.
QString FinishText(const CLanguage& language, quint32 failedRecords);

// Replaces the first "%d" (or "%u", "%i", "%ld") of text with each number in turn.
QString FillNumbers(QString text, std::initializer_list<qint64> numbers);
// Replaces the first "%s" of text with each value in turn (a value is never read as a format).
QString FillTexts(QString text, const QStringList& values);

// One report of a running download (CDeviceWorker::downloadUpdate).
struct Update {
    enum class Type { Progress, RecordDownloaded, RecordFailed, Finished };
    Type type = Type::Progress;
    quint32 number = 0; // Progress: position (1-based); Record*: the record number
    QString key;        // RecordFailed: why (see RecordResult::key)
    quint32 keyNumber = 0;
    QString pictureName; // RecordDownloaded: the picture saved
    bool stored = false; // RecordDownloaded: a new row was added (else stored already)
    // Finished:
    Kind kind = Kind::All;
    bool canceled = false;  // ended by Cancel (or by closing the page)
    quint32 downloaded = 0; // records stored now
    quint32 skipped = 0;    // records that were stored already
    quint32 failed = 0;     // records that failed
    QStringList keyTexts;   // RecordFailed: the key's "%s" values (RecordResult::keyTexts)
    QString unsignedWhy;    // the desk key could not sign the seals: why (no key material)
};

// The status texts of one report, in the order they are shown (the status line keeps the
// last): a downloaded record "DownloadRecordOK"; a failed record "DownloadRecordFail" and then
// its reason; the end "DownloadFinish" / "DownloadFinishFailed" of a download of several
// records, "DownloadFinish" after a single record that was stored, nothing more after a single
// record that failed (its reason stays), "DownloadCanceled" with the counts after Cancel;
// last "DeskKeyUnusable" with the reason when the seals were stored unsigned.
QStringList UpdateTexts(const CLanguage& language, const Update& update);

} // namespace Download

Q_DECLARE_METATYPE(Download::Plan)
Q_DECLARE_METATYPE(Download::Update)
