#pragma once
// Downloading one record from the linked instrument: the ReadRecord exchange, the reply's
// checks and parse, the duplicate test, the 38-value insert and the picture file. No widgets;
// the download worker (DownloadWorker.h) runs this on its own thread, the page and brtx-cli
// both go through the worker.
#include "store/SQLite.h"

#include <QString>

#include <atomic>

class CTCPClient;

namespace Download {

// What a record download works with. The database and the link belong to the caller (the
// device session) and are used by one download at a time.
struct Context {
    SQLite::Database* db = nullptr;
    CTCPClient* client = nullptr;             // nullptr: CTCPClient::GetInstance()
    QString deviceId;                         // names the picture folder
    QString picRoot;                          // picture root; empty: GetPicFolder()
    QString program = QStringLiteral("page"); // the audit trail's program field ("page", "cli")
    // Set when the download is asked to stop: a dropped link is then not opened again.
    const std::atomic<bool>* stop = nullptr;
};

struct RecordResult {
    bool ok = false;
    // The record's own status text, shown before the worker's "DownloadRecordOK" /
    // "DownloadRecordFail": "ReadTheImgFail", "TheImgExist", "SaveTheImgFail" or
    // "DownloadRecordFail", used as a format with keyNumber. Empty when there is none
    // (send failure, no reply, record missing on the instrument).
    QString key;
    quint32 keyNumber = 0;
    QString pictureName; // the picture file written (success only)
    int inserted = 0;    // rows added to ValueInfo
    int duplicates = 0;  // records of the reply that were stored already
};

// Downloads record r. Steps, in order:
//  1. note whether <root>/<device>/%05d.jpg of r exists already;
//  2. send ReadRecord r and collect the reply (4 MiB at most). A link that the instrument
//     dropped during an earlier record is connected again first (same host and port), so one
//     broken reply costs one record, not the rest of the download;
//  3. reject a reply with the wrong control or selector bytes ("ReadTheImgFail" r), a missing
//     record (L = 2, no text) and any reply whose declared lengths do not fit the bytes that
//     arrived (no text: the record fails, nothing is written). After a reply that was not
//     taken whole, late bytes are read and dropped until the line is quiet (1 s), so they
//     cannot be mistaken for the next record's reply. A reply carrying another record number
//     (a late reply to an earlier request) and a reply with a field longer than 200 bytes
//     (it would be stored cut) fail the record the same way;
//  4. create the picture root and device folder when missing;
//  5. for each record of the reply: skip it when a row with its device number, record number,
//     date and time exists; otherwise insert its 38 values (a record other than the requested
//     one names the plain picture of its own number). A failed insert fails the record
//     ("DownloadRecordFail" r) and no picture is written;
//  6. write the picture under the name of the reply's last record: the plain name, or the
//     date-time name when the plain file existed at step 1. An existing file gives
//     "TheImgExist" (reply's record number), a file that cannot be written "SaveTheImgFail" r.
//  Steps 5 and 6 run in one write transaction that also seals each inserted row once the
//  picture is in place (store/Seal.h); a failed seal or commit fails the record and stores
//  nothing of it.
RecordResult DownloadRecord(Context& ctx, quint32 r);

} // namespace Download
