#include "history/core/SealMarks.h"

#include "base/Language.h"
#include "base/Paths.h"

#include <QFileInfo>

void CSealMarks::SetSource(const QString& dbPath, const QString& picRoot) {
    m_dbPath = dbPath;
    m_picRoot = picRoot;
    m_db.Close();
    m_cache.clear();
    m_devices.clear();
}

void CSealMarks::Clear() {
    m_db.Close();
    m_cache.clear();
    m_devices.clear();
}

void CSealMarks::SetDevice(const QString& machineNo, const Seal::VerifyResult& result) {
    m_devices.insert(machineNo, result);
}

QString CSealMarks::DatabasePath() const {
    return m_dbPath.isEmpty() ? GetDatabasePath() : m_dbPath;
}

Seal::VerifyResult CSealMarks::CheckDevice(const QString& dbPath, const QString& machineNo) {
    SQLite::Database db;
    if (!QFileInfo::exists(dbPath) || db.Open(dbPath, SQLite::Database::Access::ReadOnly) != 0)
        return Seal::VerifyResult();
    return Seal::VerifyDevice(db, machineNo);
}

Seal::Status CSealMarks::StatusOf(const QString& machineNo, const QString& recordNo,
                                  const QString& date, const QString& time) {
    const QString key = Seal::RecordKey(machineNo, recordNo, date, time);
    const auto found = m_cache.constFind(key);
    if (found != m_cache.constEnd())
        return *found;
    const QString path = DatabasePath();
    if (!m_db.IsOpen() && QFileInfo::exists(path))
        m_db.Open(path, SQLite::Database::Access::ReadOnly);
    Seal::Status status;
    if (m_db.IsOpen()) {
        auto device = m_devices.find(machineNo);
        if (device == m_devices.end())
            device = m_devices.insert(machineNo, Seal::VerifyDevice(m_db, machineNo));
        status = Seal::StatusOf(m_db, *device, machineNo, recordNo, date, time,
                                m_picRoot.isEmpty() ? GetPicFolder() : m_picRoot);
    }
    m_cache.insert(key, status);
    return status;
}

QString CSealMarks::Mark(const QString& machineNo, const QString& recordNo, const QString& date,
                         const QString& time) {
    return MarkOf(StatusOf(machineNo, recordNo, date, time).state);
}

QString CSealMarks::MarkOf(Seal::State state) {
    switch (state) {
    case Seal::State::Verified:
        return QStringLiteral("\u2713");
    case Seal::State::Changed:
    case Seal::State::PictureMissing:
        return QStringLiteral("\u2717");
    case Seal::State::Unsealed:
        break;
    }
    return QStringLiteral("\u2013");
}

namespace {
// The looked-up text, or the English one when Language.ini lacks the key.
QString textOr(const CLanguage& texts, const char* key, const char* english) {
    const QString text = texts.GetText(QLatin1String(key));
    return text.isEmpty() ? QLatin1String(english) : text;
}
} // namespace

QString CSealMarks::TipOf(const CLanguage& texts, const Seal::Status& status) {
    switch (status.state) {
    case Seal::State::Verified:
        return QStringLiteral("%1 (%2)\n%3")
            .arg(status.late ? textOr(texts, "SealVerifiedLate", "Sealed later, unchanged since")
                             : textOr(texts, "SealVerified", "Sealed at download, unchanged since"),
                 status.sealedAt, status.seal);
    case Seal::State::Changed:
    case Seal::State::PictureMissing:
        return QStringLiteral("%1: %2\n%3")
            .arg(textOr(texts, "SealFailed", "Integrity check failed"), status.detail, status.seal);
    case Seal::State::Unsealed:
        break;
    }
    return textOr(texts, "SealNone", "No seal");
}
