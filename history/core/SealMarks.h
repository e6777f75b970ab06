#pragma once
// The seal state of listed records, as a one-character mark for the history list: "✓" where
// verify reports nothing for the record and its picture matches its seal, "✗" anything verify
// would report (changed, re-sealed, unsigned, a broken link or signature of its chain) or a
// missing picture, "–" no seal. A device's rows, chain and signatures are checked once, the
// first time one of its records is asked for (Seal::VerifyDevice); a record's picture is
// hashed when that record is asked for (the list asks for the rows on screen only). Both are
// remembered until Clear().
#include "store/Seal.h"

#include <QHash>

class CLanguage;
#include <QString>

class CSealMarks {
public:
    // dbPath / picRoot empty: the program's brtx.db and picture folder.
    void SetSource(const QString& dbPath, const QString& picRoot);
    void Clear(); // forgets every mark and closes the file until the next look-up

    int CheckedCount() const { return int(m_cache.size()); } // records checked so far
    // Whether the device's check is held: StatusOf then reads no more than a picture.
    bool HasDevice(const QString& machineNo) const { return m_devices.contains(machineNo); }
    // A device's check made elsewhere (CheckDevice on a helper thread).
    void SetDevice(const QString& machineNo, const Seal::VerifyResult& result);
    QString DatabasePath() const; // the file the marks are read from
    // The check StatusOf makes of a device, on a read-only connection of its own, so that it
    // can run on a helper thread.
    static Seal::VerifyResult CheckDevice(const QString& dbPath, const QString& machineNo);
    Seal::Status StatusOf(const QString& machineNo, const QString& recordNo, const QString& date,
                          const QString& time);
    QString Mark(const QString& machineNo, const QString& recordNo, const QString& date,
                 const QString& time);
    static QString MarkOf(Seal::State state);
    // The tool tip: what the mark means, with the seal or what failed.
    static QString TipOf(const CLanguage& texts, const Seal::Status& status);

private:
    QString m_dbPath;
    QString m_picRoot;
    SQLite::Database m_db;
    QHash<QString, Seal::Status> m_cache;
    QHash<QString, Seal::VerifyResult> m_devices;
};
