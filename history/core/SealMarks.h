#pragma once
// The seal state of listed records, as a one-character mark for the history list: "✓" the
// record and its picture match their seal, "✗" changed or picture missing, "–" no seal.
// Each record is checked the first time it is asked for (the list asks for the rows on
// screen only) and remembered until Clear().
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
};
