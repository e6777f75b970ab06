#include "device/core/DownloadRecord.h"

#include "base/Paths.h"
#include "base/TerminalText.h"
#include "device/core/PictureStore.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "store/Seal.h"
#include "store/Sha256.h"
#include "store/Statements.h"

#include <QDebug>
#include <QFile>

#include <mutex>
#include <utility>

namespace Download {

namespace {

// The 38 values of a ValueInfo row in column order: fields 0..14, fields 15..34, GPS, Path,
// PictureName.
QStringList rowValues(const DeviceFrame::ParsedRecord& rec, const QString& path,
                      const QString& pictureName) {
    QStringList values;
    values.reserve(Statements::kValueColumnCount);
    for (int f = 0; f <= 34; ++f)
        values.append(rec.fields.value(f));
    values.append(rec.fields.value(36) + QLatin1Char(' ') + rec.fields.value(37));
    values.append(path);
    values.append(pictureName);
    return values;
}

// Reads and drops what is still arriving of a reply that was not taken whole (a stalled or
// oversized reply), until the line has been quiet for the link's silence time. Bounded, so a
// peer that never stops talking cannot hold the download.
void drainLateBytes(CTCPClient& client) {
    std::lock_guard<std::recursive_mutex> lock(client.ExchangeMutex());
    QByteArray scratch(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < 64 && client.IsConnected(); ++i) {
        int got = 0;
        client.Receive(scratch.data(), int(scratch.size()), &got);
        if (got == 0)
            break;
    }
}

RecordResult failed(const QString& key = QString(), quint32 number = 0) {
    RecordResult result;
    result.key = key;
    result.keyNumber = number;
    return result;
}

// Refuses a reply one of whose records names another device than the linked instrument's.
bool otherDevice(const Context& ctx, quint32 r, const DeviceFrame::RecordReply& parsed,
                 RecordResult* refused) {
    // Records are filed, listed and chained under the linked instrument's number: a record
    // naming another device (something else answering at the address, or a record copied
    // between instruments) would land in that device's chain. It is refused, not re-filed.
    for (const DeviceFrame::ParsedRecord& rec : parsed.records) {
        if (rec.fields.value(0) != ctx.deviceId) {
            qDebug() << "record" << r << "names device" << rec.fields.value(0) << "not"
                     << ctx.deviceId;
            *refused = failed(QStringLiteral("RecordOtherDevice"), r);
            refused->keyTexts = {EscapeControls(rec.fields.value(0)), EscapeControls(ctx.deviceId)};
            return true;
        }
    }
    return false;
}

// The picture takes the name of the last record of the reply, stored or not: a record
// downloaded again keeps its row and gets its picture under the date-time name.
QString replyPictureName(const DeviceFrame::RecordReply& parsed, bool plainExisted) {
    if (!plainExisted || parsed.records.isEmpty())
        return Picture::PlainName(parsed.recordNo);
    const DeviceFrame::ParsedRecord& last = parsed.records.last();
    return Picture::AlternativeName(
        parsed.recordNo, Picture::DateTimeSuffix(last.fields.value(2), last.fields.value(3)));
}

// For each record of the reply, the picture name its row takes when it is another record than
// the requested one (else empty): named as its own download will name the picture, the plain
// name, or the date-time name when that name is taken already (an older file, or a name in
// taken) so an older file is never taken for this record's picture.
QStringList carriedNames(const QString& deviceFolder, const DeviceFrame::RecordReply& parsed,
                         const QSet<QString>* taken) {
    QStringList names;
    for (const DeviceFrame::ParsedRecord& rec : parsed.records) {
        bool number = false;
        const uint otherNo = rec.fields.value(1).toUInt(&number);
        if (!number || parsed.records.size() < 2 || otherNo == parsed.recordNo) {
            names.append(QString());
            continue;
        }
        QString name = Picture::PlainName(otherNo);
        if (FileExists(deviceFolder + QLatin1Char('/') + name) || (taken && taken->contains(name)))
            name = Picture::AlternativeName(
                otherNo, Picture::DateTimeSuffix(rec.fields.value(2), rec.fields.value(3)));
        names.append(name);
    }
    return names;
}

// Inserts the rows of one reply into the open write transaction and notes the seals they
// take: a row stored already is skipped (and, stored earlier from another record's reply,
// waits for this picture); a carried record's row names carried[i]. False when an insert
// failed (the caller undoes the reply).
bool insertRows(Context& ctx, quint32 r, const DeviceFrame::RecordReply& parsed,
                const QString& pictureName, const QStringList& carried, Seal::PendingSeals& seals,
                RecordResult& result) {
    for (qsizetype i = 0; i < parsed.records.size(); ++i) {
        const DeviceFrame::ParsedRecord& rec = parsed.records.at(i);
        const QString machineNo = rec.fields.value(0);
        const QString recordNo = rec.fields.value(1);
        const QString date = rec.fields.value(2);
        const QString time = rec.fields.value(3);
        // The reply's picture belongs to the requested record. Another record the reply
        // carries names the picture of its own number, which its own download saves.
        const bool otherNumber = !carried.value(i).isEmpty();

        const SQLite::Table found =
            ctx.db->QuerySQL(Statements::SelectDuplicate(machineNo, recordNo, date, time));
        if (found.GetRowCount() > 0) {
            ++result.duplicates;
            // Stored earlier from another record's reply, it waits for this picture: sealed
            // with it when it is written now under the name the row gives.
            if (!otherNumber)
                seals.AddStoredUnsealed(machineNo, recordNo, date, time);
            continue;
        }
        const QString rowPicture = otherNumber ? carried.value(i) : pictureName;
        const QString path = Picture::StoredPath(ctx.deviceId, rowPicture);
        const int rc =
            ctx.db->ExecuteSQL(Statements::InsertValueInfo(rowValues(rec, path, rowPicture)));
        if (rc != 0) {
            // Nothing of this record may look stored: no picture, and the next download
            // fetches it again.
            qDebug() << "record" << r << "insert failed, SQLite code" << rc;
            return false;
        }
        // A carried record is sealed with its picture, by the reply of its own number.
        if (!otherNumber)
            seals.AddLastInsert();
        ++result.inserted;
    }
    return true;
}

} // namespace

RecordResult FetchRecord(Context& ctx, quint32 r, DeviceFrame::RecordReply* out,
                         bool* plainExistedOut, const QSet<QString>* takenNames) {
    const QString picRoot = ctx.picRoot.isEmpty() ? GetPicFolder() : ctx.picRoot;
    const QString deviceFolder = Picture::DeviceFolder(picRoot, ctx.deviceId);
    const bool usableFolder = Picture::IsUsableDeviceId(ctx.deviceId);

    // Whether the plain picture of the requested record is there before the request decides
    // the name of the new picture.
    const QString plain = Picture::PlainName(r);
    *plainExistedOut = usableFolder && (FileExists(deviceFolder + QLatin1Char('/') + plain) ||
                                        (takenNames && takenNames->contains(plain)));

    if (!ctx.client)
        return failed(QStringLiteral("RecordNoReply"), r);
    CTCPClient& client = *ctx.client;
    if (!client.IsConnected() && !(ctx.stop && ctx.stop->load()) && !client.Aborted() &&
        !client.Host().isEmpty()) {
        qDebug() << "record" << r << ": link was dropped, connecting again to" << client.Host();
        client.Connect();
    }
    const DeviceFrame::Reply reply = DeviceFrame::Exchange(client, DeviceFrame::Command::ReadRecord,
                                                           DeviceFrame::BuildReadRecord(r));
    switch (reply.status) {
    case DeviceFrame::ExchangeStatus::Ok:
        break;
    case DeviceFrame::ExchangeStatus::Rejected:
        drainLateBytes(client);
        return failed(QStringLiteral("ReadTheImgFail"), r);
    case DeviceFrame::ExchangeStatus::NoReply:
        drainLateBytes(client); // a reply that comes late must not answer the next request
        return failed(QStringLiteral("RecordNoReply"), r);
    default:
        return failed(QStringLiteral("RecordNoReply"), r);
    }

    DeviceFrame::RecordReply& parsed = *out;
    switch (DeviceFrame::ParseRecordReply(reply.bytes, reply.received, parsed)) {
    case DeviceFrame::RecordStatus::Ok:
        break;
    case DeviceFrame::RecordStatus::NoRecord:
        return failed(QStringLiteral("RecordNotOnDevice"), r);
    case DeviceFrame::RecordStatus::Invalid:
        qDebug() << "record" << r << "reply rejected:" << reply.received << "bytes, L"
                 << parsed.length << "w" << parsed.textBytes;
        drainLateBytes(client);
        return failed(QStringLiteral("ReadTheImgFail"), r);
    }
    // The reply echoes the requested number. Another number is a late reply to an earlier
    // request (the instrument stalled longer than the drain waited): storing it here would
    // report this record as downloaded while it is not.
    if (parsed.recordNo != (r & 0xFFFFFFu)) {
        qDebug() << "record" << r << "got the reply of record" << parsed.recordNo;
        drainLateBytes(client);
        return failed(QStringLiteral("RecordOtherNumber"), r);
    }
    RecordResult accepted;
    accepted.ok = true;
    return accepted;
}

RecordResult DownloadRecord(Context& ctx, quint32 r) {
    DeviceFrame::RecordReply parsed;
    bool plainExisted = false;
    const RecordResult fetched = FetchRecord(ctx, r, &parsed, &plainExisted);
    if (!fetched.ok)
        return fetched;
    if (ctx.storeLock) {
        std::lock_guard<std::mutex> lock(*ctx.storeLock);
        return StoreRecord(ctx, r, parsed, plainExisted);
    }
    return StoreRecord(ctx, r, parsed, plainExisted);
}

RecordResult StoreRecord(Context& ctx, quint32 r, const DeviceFrame::RecordReply& parsed,
                         bool plainExisted) {
    const QString picRoot = ctx.picRoot.isEmpty() ? GetPicFolder() : ctx.picRoot;
    const QString deviceFolder = Picture::DeviceFolder(picRoot, ctx.deviceId);
    const bool usableFolder = Picture::IsUsableDeviceId(ctx.deviceId);
    if (!ctx.db || !ctx.db->IsOpen())
        return failed(QStringLiteral("DownloadRecordFail"), r);
    if (!usableFolder)
        return failed(QStringLiteral("SaveTheImgFail"), r);
    RecordResult refused;
    if (otherDevice(ctx, r, parsed, &refused))
        return refused;
    Picture::EnsureDeviceFolder(picRoot, ctx.deviceId);

    // The reply's rows, its picture and the rows' seals go in together: one write transaction
    // that seals the rows once the picture is whole and is committed only then, so a failure or
    // a crash before the commit leaves neither rows nor seals.
    Seal::PendingSeals seals(*ctx.db);
    if (!seals.Begin())
        return failed(QStringLiteral("DownloadRecordFail"), r);
    seals.HashPictureAhead(parsed.picture);
    auto rollback = [&](const QString& key, quint32 number) {
        seals.Rollback();
        return failed(key, number);
    };

    RecordResult result;
    const QString pictureName = replyPictureName(parsed, plainExisted);
    if (!insertRows(ctx, r, parsed, pictureName, carriedNames(deviceFolder, parsed, nullptr), seals,
                    result))
        return rollback(QStringLiteral("DownloadRecordFail"), r);

    const QString picturePath = deviceFolder + QLatin1Char('/') + pictureName;
    const Picture::SaveResult saved =
        Picture::SavePictureFile(deviceFolder, pictureName, parsed.picture);
    if (saved == Picture::SaveResult::CannotCreate)
        return rollback(QStringLiteral("SaveTheImgFail"), r);
    if (saved == Picture::SaveResult::Saved) {
        // The picture's name too is on the disk before the record is committed.
        if (!Picture::SyncFolder(deviceFolder)) {
            QFile::remove(picturePath);
            return rollback(QStringLiteral("SaveTheImgFail"), r);
        }
        seals.PictureSaved(picturePath);
    }
    if (!seals.Commit(picRoot)) {
        qDebug() << "record" << r << "could not be sealed or committed";
        if (saved == Picture::SaveResult::Saved) // it belongs to no stored row
            QFile::remove(picturePath);
        return failed(QStringLiteral("DownloadRecordFail"), r);
    }
    result.signProblem = seals.SignProblem();
    if (saved == Picture::SaveResult::Exists) {
        // The picture of this record is there already (an earlier download): the rows are
        // whole with it.
        result.key = QStringLiteral("TheImgExist");
        result.keyNumber = parsed.recordNo;
        return result;
    }
    result.ok = true;
    result.pictureName = pictureName;
    return result;
}

// ---- StoreBatch ----

struct StoreBatch::Item {
    quint32 r = 0;
    DeviceFrame::RecordReply parsed;
    QString pictureName;
    QStringList carried;
    QByteArray part; // the picture's temporary file, until it is named or dropped
    QString hash;
};

StoreBatch::~StoreBatch() {
    for (const std::shared_ptr<Item>& item : std::as_const(m_items))
        Picture::DropPart(item->part);
}

bool StoreBatch::IsDue() const {
    return !m_items.isEmpty() &&
           (m_items.size() >= m_ctx.batchRecords || m_age.elapsed() >= m_ctx.batchMs);
}

RecordResult StoreBatch::Add(quint32 r, const DeviceFrame::RecordReply& parsed, bool plainExisted) {
    const QString picRoot = m_ctx.picRoot.isEmpty() ? GetPicFolder() : m_ctx.picRoot;
    const QString deviceFolder = Picture::DeviceFolder(picRoot, m_ctx.deviceId);
    if (!m_ctx.db || !m_ctx.db->IsOpen())
        return failed(QStringLiteral("DownloadRecordFail"), r);
    if (!Picture::IsUsableDeviceId(m_ctx.deviceId))
        return failed(QStringLiteral("SaveTheImgFail"), r);
    RecordResult refused;
    if (otherDevice(m_ctx, r, parsed, &refused))
        return refused;
    Picture::EnsureDeviceFolder(picRoot, m_ctx.deviceId);

    auto item = std::make_shared<Item>();
    item->r = r;
    item->parsed = parsed;
    item->pictureName = replyPictureName(parsed, plainExisted);
    item->carried = carriedNames(deviceFolder, parsed, &m_names);
    if (!Picture::WritePart(deviceFolder, parsed.picture, &item->part))
        return failed(QStringLiteral("SaveTheImgFail"), r);
    item->hash = Sha256::hex(parsed.picture);
    item->parsed.picture = QByteArray(); // on the disk now: the batch keeps only the rows
    if (m_items.isEmpty())
        m_age.start();
    // Only the picture files the batch will make count as taken: a carried record's row names
    // the picture its own reply brings, as it does without a batch.
    m_names.insert(item->pictureName);
    m_items.append(item);
    RecordResult ready;
    ready.ok = true;
    return ready;
}

QList<QPair<quint32, RecordResult>> StoreBatch::Flush() {
    QList<QPair<quint32, RecordResult>> results;
    if (m_items.isEmpty())
        return results;
    const QList<std::shared_ptr<Item>> items = std::exchange(m_items, {});
    m_names.clear();
    const QString picRoot = m_ctx.picRoot.isEmpty() ? GetPicFolder() : m_ctx.picRoot;
    const QString deviceFolder = Picture::DeviceFolder(picRoot, m_ctx.deviceId);
    QStringList named; // pictures this batch put in place, removed again if it fails

    std::unique_lock<std::mutex> lock;
    if (m_ctx.storeLock)
        lock = std::unique_lock<std::mutex>(*m_ctx.storeLock);
    Seal::PendingSeals seals(*m_ctx.db);
    bool open = seals.Begin();
    for (const std::shared_ptr<Item>& item : items) {
        const quint32 r = item->r;
        RecordResult result;
        if (!open || !seals.Mark()) {
            open = false;
            Picture::DropPart(item->part);
            results.append({r, failed(QStringLiteral("DownloadRecordFail"), r)});
            continue;
        }
        if (!insertRows(m_ctx, r, item->parsed, item->pictureName, item->carried, seals, result)) {
            seals.Undo();
            Picture::DropPart(item->part);
            results.append({r, failed(QStringLiteral("DownloadRecordFail"), r)});
            continue;
        }
        const QString picturePath = deviceFolder + QLatin1Char('/') + item->pictureName;
        const Picture::SaveResult saved =
            Picture::PublishPart(std::exchange(item->part, {}), deviceFolder, item->pictureName);
        if (saved == Picture::SaveResult::CannotCreate) {
            seals.Undo();
            results.append({r, failed(QStringLiteral("SaveTheImgFail"), r)});
            continue;
        }
        if (saved == Picture::SaveResult::Saved) {
            seals.PictureSaved(picturePath);
            seals.SetPictureHash(item->hash);
            named.append(picturePath);
        }
        if (!seals.SealReply(picRoot)) {
            seals.Undo();
            if (saved == Picture::SaveResult::Saved) {
                QFile::remove(picturePath);
                named.removeLast();
            }
            results.append({r, failed(QStringLiteral("DownloadRecordFail"), r)});
            continue;
        }
        if (saved == Picture::SaveResult::Exists) {
            // The picture of this record is there already (an earlier download): the rows
            // are whole with it.
            result.key = QStringLiteral("TheImgExist");
            result.keyNumber = item->parsed.recordNo;
        } else {
            result.ok = true;
            result.pictureName = item->pictureName;
        }
        results.append({r, result});
    }
    // The names are on the disk before the rows that name them are committed.
    const bool committed =
        open && (named.isEmpty() || Picture::SyncFolder(deviceFolder)) && seals.Commit(picRoot);
    if (!committed) {
        qDebug() << "a batch of" << items.size() << "records could not be sealed or committed";
        seals.Rollback();
        for (const QString& file : std::as_const(named))
            QFile::remove(file); // it belongs to no stored row
        for (auto& [r, result] : results)
            if (result.ok || result.key == QLatin1String("TheImgExist"))
                result = failed(QStringLiteral("DownloadRecordFail"), r);
        return results;
    }
    const QString signProblem = seals.SignProblem();
    for (auto& [r, result] : results)
        if (result.ok || result.key == QLatin1String("TheImgExist"))
            result.signProblem = signProblem;
    return results;
}

} // namespace Download
