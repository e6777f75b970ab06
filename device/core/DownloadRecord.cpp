#include "device/core/DownloadRecord.h"

#include "base/Paths.h"
#include "base/TerminalText.h"
#include "device/core/PictureStore.h"
#include "link/DeviceFrame.h"
#include "link/TCPClient.h"
#include "store/Seal.h"
#include "store/Statements.h"

#include <QDebug>
#include <QFile>

#include <mutex>

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

} // namespace

RecordResult DownloadRecord(Context& ctx, quint32 r) {
    const QString picRoot = ctx.picRoot.isEmpty() ? GetPicFolder() : ctx.picRoot;
    const QString deviceFolder = Picture::DeviceFolder(picRoot, ctx.deviceId);
    const bool usableFolder = Picture::IsUsableDeviceId(ctx.deviceId);

    // Whether the plain picture of the requested record is there before the request decides
    // the name of the new picture.
    const bool plainExisted =
        usableFolder && FileExists(deviceFolder + QLatin1Char('/') + Picture::PlainName(r));

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

    DeviceFrame::RecordReply parsed;
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
    // Records are filed, listed and chained under the linked instrument's number: a record
    // naming another device (something else answering at the address, or a record copied
    // between instruments) would land in that device's chain. It is refused, not re-filed.
    for (const DeviceFrame::ParsedRecord& rec : parsed.records) {
        if (rec.fields.value(0) != ctx.deviceId) {
            qDebug() << "record" << r << "names device" << rec.fields.value(0) << "not"
                     << ctx.deviceId;
            RecordResult refused = failed(QStringLiteral("RecordOtherDevice"), r);
            refused.keyTexts = {EscapeControls(rec.fields.value(0)), EscapeControls(ctx.deviceId)};
            return refused;
        }
    }
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
    QString pictureName = Picture::PlainName(parsed.recordNo);
    for (const DeviceFrame::ParsedRecord& rec : parsed.records) {
        const QString machineNo = rec.fields.value(0);
        const QString recordNo = rec.fields.value(1);
        const QString date = rec.fields.value(2);
        const QString time = rec.fields.value(3);

        // The picture takes the name of the last record of the reply, stored or not: a record
        // downloaded again keeps its row and gets its picture under the date-time name.
        pictureName = plainExisted ? Picture::AlternativeName(parsed.recordNo,
                                                              Picture::DateTimeSuffix(date, time))
                                   : Picture::PlainName(parsed.recordNo);

        // The reply's picture belongs to the requested record. Another record the reply carries
        // names the picture of its own number, which its own download saves.
        bool otherNumber = false;
        const uint otherNo = recordNo.toUInt(&otherNumber);
        otherNumber = otherNumber && parsed.records.size() > 1 && otherNo != parsed.recordNo;

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
        QString rowPicture = pictureName;
        if (otherNumber) {
            // Named as its own download will name the picture: the plain name, or the
            // date-time name when a file of the plain name is there already (an older file is
            // never taken for this record's picture).
            rowPicture = Picture::PlainName(otherNo);
            if (FileExists(deviceFolder + QLatin1Char('/') + rowPicture))
                rowPicture = Picture::AlternativeName(otherNo, Picture::DateTimeSuffix(date, time));
        }
        const QString path = Picture::StoredPath(ctx.deviceId, rowPicture);
        const int rc =
            ctx.db->ExecuteSQL(Statements::InsertValueInfo(rowValues(rec, path, rowPicture)));
        if (rc != 0) {
            // Nothing of this record may look stored: no picture, and the next download
            // fetches it again.
            qDebug() << "record" << r << "insert failed, SQLite code" << rc;
            return rollback(QStringLiteral("DownloadRecordFail"), r);
        }
        // A carried record is sealed with its picture, by the reply of its own number.
        if (!otherNumber)
            seals.AddLastInsert();
        ++result.inserted;
    }

    const QString picturePath = deviceFolder + QLatin1Char('/') + pictureName;
    const Picture::SaveResult saved =
        Picture::SavePictureFile(deviceFolder, pictureName, parsed.picture);
    if (saved == Picture::SaveResult::CannotCreate)
        return rollback(QStringLiteral("SaveTheImgFail"), r);
    if (saved == Picture::SaveResult::Saved)
        seals.PictureSaved(picturePath);
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

} // namespace Download
