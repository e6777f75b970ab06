#pragma once
// Downloading one record from the linked instrument: the ReadRecord exchange, the reply's
// checks and parse, the duplicate test, the 38-value insert and the picture file. No widgets;
// the download worker (DownloadWorker.h) runs this on its own thread, the page and brtx-cli
// both go through the worker.
#include "store/SQLite.h"

#include <QString>
#include <QStringList>

#include <QElapsedTimer>
#include <QList>
#include <QSet>

#include <atomic>
#include <memory>
#include <mutex>

class CTCPClient;
namespace DeviceFrame {
struct RecordReply;
}

namespace Download {

// What a record download works with. The database and the link belong to the caller (the
// device session) and are used by one download at a time.
struct Context {
    SQLite::Database* db = nullptr;
    CTCPClient* client = nullptr; // the session's link (nullptr: every record fails)
    QString deviceId;             // names the picture folder
    QString picRoot;              // picture root; empty: GetPicFolder()
    // Set when the download is asked to stop: a dropped link is then not opened again.
    const std::atomic<bool>* stop = nullptr;
    // Held around each record's store when given: several downloads into one database (the
    // station's) then take their write transactions one at a time, so none of them waits on
    // another's lock until SQLite's busy timeout gives up.
    std::mutex* storeLock = nullptr;
    // More than 1: the records are stored several to a write transaction (StoreBatch), up to
    // this many or as many as arrived within batchMs of the first, whichever comes first.
    int batchRecords = 1;
    int batchMs = 250;
};

struct RecordResult {
    bool ok = false;
    // Why the record failed, a status key used as a format with keyNumber:
    // "RecordNoReply" (nothing or a broken reply arrived), "RecordOtherNumber" (the reply
    // was for another record), "ReadTheImgFail" (reply rejected: control or identifier bytes,
    // or lengths that do not fit), "RecordNotOnDevice", "SaveTheImgFail" (picture could not
    // be saved), "TheImgExist" (rows stored, the picture file was there already),
    // "RecordOtherDevice" (a record of the reply names another device than the linked
    // instrument; keyTexts: that number, the instrument's) or "DownloadRecordFail" (the
    // database refused the rows).
    QString key;
    quint32 keyNumber = 0;
    QString pictureName;  // the picture file written (success only)
    int inserted = 0;     // rows added to ValueInfo
    int duplicates = 0;   // records of the reply that were stored already
    QStringList keyTexts; // the key's "%s" values in order (control characters escaped)
    QString signProblem;  // stored and sealed, but the desk key could not sign: why
};

// Downloads record r. Steps, in order:
//  1. note whether <root>/<device>/%05d.jpg of r exists already;
//  2. send ReadRecord r and collect the reply (4 MiB at most). A link that the instrument
//     dropped during an earlier record is connected again first (same host and port), so one
//     broken reply costs one record, not the rest of the download;
//  3. reject a reply with the wrong control or selector bytes or whose declared lengths do
//     not fit the bytes that arrived ("ReadTheImgFail" r), a missing record (L = 2,
//     "RecordNotOnDevice" r), no reply ("RecordNoReply" r) and a reply carrying another
//     record number, a late reply to an earlier request ("RecordOtherNumber" r). After a reply
//     that was not taken whole, late bytes are read and dropped until the line is quiet (1 s),
//     so they cannot be mistaken for the next record's reply;
//  4. StoreRecord.
RecordResult DownloadRecord(Context& ctx, quint32 r);

// Stores one accepted reply of record r: the one place a downloaded record enters the store.
//  0. refuse the whole reply when one of its records names another device number (field 0)
//     than the linked instrument's (ctx.deviceId, compared as text as every query of the
//     device does): "RecordOtherDevice" r, nothing stored;
//  1. create the picture root and device folder when missing;
//  2. in one transaction, for each record of the reply: skip it when a row with its device
//     number, record number, date and time exists; otherwise insert its 38 values (a record
//     other than the requested one names the picture of its own number, as its own download
//     will save it: the plain name, or the date-time name when the plain file exists). A
//     failed insert fails the record ("DownloadRecordFail" r), nothing is kept;
//  3. write the picture under the name of the reply's last record: the plain name, or the
//     date-time name when the plain file existed before the request (plainExisted). A file
//     that cannot be written rolls the rows back ("SaveTheImgFail" r); an existing file keeps
//     the rows and gives "TheImgExist" (reply's record number);
//  4. seal each inserted row once the picture is in place (store/Seal.h), in the same
//     transaction, and commit. So a record is stored whole with its picture and its seal, or
//     not at all; a failed seal or commit fails the record and stores nothing of it. A seal
//     binds only the picture written now. A record carried in another record's reply is
//     stored unsealed; the reply of its own number (where it is a duplicate) seals it with the
//     picture that reply writes under the row's name.
RecordResult StoreRecord(Context& ctx, quint32 r, const DeviceFrame::RecordReply& parsed,
                         bool plainExisted);

// Steps 1 to 3 of DownloadRecord: ok with the accepted reply in *parsed and whether the
// plain picture name was taken before the request (a file, or a name in takenNames), or the
// record's failure.
RecordResult FetchRecord(Context& ctx, quint32 r, DeviceFrame::RecordReply* parsed,
                         bool* plainExisted, const QSet<QString>* takenNames = nullptr);

// Several downloaded records stored in one write transaction, so that instruments served at
// once do not each wait for a flush of the store per record. Each record is stored as
// StoreRecord stores it, with these differences in timing only:
//  - Add(), outside the store's lock: the device check, the names of the reply's pictures
//    (as StoreRecord would choose them now, counting the names of the records added before),
//    and the picture's bytes written to a private temporary file and flushed to the disk;
//  - Flush(), under the store's lock: one transaction; each reply gets a savepoint, its rows,
//    its picture's final name and its seals, and a reply that fails is undone alone (the
//    others stay). The folder's names are flushed, the chains signed once and the
//    transaction committed; only then is a record reported stored. A failed commit fails
//    every record of the batch and removes the pictures it named; nothing of it stays.
// A process ended before Flush leaves only temporary files, which the next download removes.
class StoreBatch {
public:
    explicit StoreBatch(Context& ctx) : m_ctx(ctx) {}
    ~StoreBatch(); // drops what was added and not flushed
    StoreBatch(const StoreBatch&) = delete;
    StoreBatch& operator=(const StoreBatch&) = delete;

    // Readies the accepted reply of record r. A record refused here (another device, a
    // picture that cannot be written) gets its failure at once (ok false) and nothing is
    // kept; otherwise ok with nothing stored yet.
    RecordResult Add(quint32 r, const DeviceFrame::RecordReply& parsed, bool plainExisted);
    bool IsEmpty() const { return m_items.isEmpty(); }
    // The batch should be stored now: batchRecords added, or batchMs since the first.
    bool IsDue() const;
    // Picture names the batch will give (for FetchRecord's takenNames).
    const QSet<QString>& TakenNames() const { return m_names; }
    // Stores what was added; each record's number and result, in the order added.
    QList<QPair<quint32, RecordResult>> Flush();

private:
    struct Item;
    Context& m_ctx;
    QList<std::shared_ptr<Item>> m_items;
    QSet<QString> m_names;
    QElapsedTimer m_age;
};

} // namespace Download
