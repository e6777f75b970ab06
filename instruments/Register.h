#pragma once
// The register and log as the Instruments page and brtx-cli show and change them: each
// instrument with its due dates, checked edits of the register, new log entries with their
// attachment copied into certs/<device>/, and the accuracy checks of a drift chart.
#include "instruments/Calibration.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

namespace InstrumentRegister {

// One instrument of the register with its intervals and next due dates.
struct Row {
    Instruments::Instrument instrument;
    Calibration::Intervals intervals;
    Calibration::Due due;
};

// Every instrument (registered or known from its records) with its due dates; ok false when
// the register or the log cannot be read. Nothing is written.
QList<Row> Load(SQLite::Database& db, const Calibration::Intervals& defaults, bool* ok);

// A due date as shown: "yyyy-MM-dd", with overdueMark after it when it lies before today.
QString DueText(const QDate& due, const QDate& today, const QString& overdueMark);

// The status values of the register.
inline const QStringList& Statuses() {
    static const QStringList statuses = {
        QStringLiteral("in-service"), QStringLiteral("out-of-service"), QStringLiteral("retired")};
    return statuses;
}

// Checks an edit of the register's fields (status, lengths, intervals 0 or 1 to 3650) and
// stores it, audited; the status date becomes today when the status changed. "" on success,
// else why not (nothing is stored then). refused: the edit itself is wrong (not the store).
QString Save(SQLite::Database& db, const Instruments::Instrument& before,
             Instruments::Instrument edited, const QDate& today, const QString& program,
             bool* refused = nullptr);

// Attachments of log entries: a certificate as PDF or picture.
constexpr qint64 kMaxAttachment = 50LL * 1024 * 1024;
// Copies source into certs/<device>/ of the data folder under a name of its own (its hash
// first); the relative path and the file's SHA-256 come back. "" on success, else why not.
QString CopyAttachment(const QString& device, const QString& source, QString* relative,
                       QString* sha256);

// Appends a prepared entry (Calibration::Prepare), with the file at attach (empty: none)
// copied and hashed first. "" on success, else why not; refused: the input was wrong (an
// unusable attachment, a superseded entry that does not exist), nothing is stored then.
QString Append(SQLite::Database& db, Instruments::LogEntry& e, const QString& attach,
               const QString& program, bool* refused = nullptr);

// The accuracy checks in force as points of a drift chart: each measured value against its
// entry's target and tolerance band. Only the entries in the unit of the latest one are taken
// (a chart has one scale); values that are no numbers are left out.
struct DriftPoint {
    QDateTime at;
    qint64 entry = 0;
    double value = 0, target = 0, low = 0, high = 0;
    bool pass = false; // the entry's result
};
struct Drift {
    QString unit;
    QList<DriftPoint> points; // by time
};
Drift DriftOf(const QList<Instruments::LogEntry>& log);

} // namespace InstrumentRegister
