#pragma once
// The rules of an instrument's log: what a new entry must hold, whether a calibration or an
// accuracy check passed, when the next ones are due, and whether a test was made while the
// instrument was in calibration.
//
// Numbers are decimal texts compared exactly (in millionths), so a reference check of
// 0.072 against 0.080 ± 10% passes as it does on paper: no binary rounding decides a
// boundary.
#include "store/Instruments.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

class CLanguage;

namespace Calibration {

// The kinds of an entry as typed on the command line and stored.
inline const QStringList& Kinds() {
    static const QStringList kinds = {QStringLiteral("calibration"), QStringLiteral("accuracy"),
                                      QStringLiteral("repair"), QStringLiteral("certification"),
                                      QStringLiteral("note")};
    return kinds;
}
inline const QStringList& StandardKinds() {
    static const QStringList kinds = {QStringLiteral("wet-bath"), QStringLiteral("dry-gas"),
                                      QStringLiteral("other")};
    return kinds;
}
// Calibrations and accuracy checks are measured against a reference standard.
bool IsMeasured(const QString& kind);

// A decimal text ("0.080", "-1", "12.5") in millionths; false for anything else, or more than
// six decimals.
bool ParseMicro(const QString& text, qint64* micro);

// An entry as given (by the command line or the page), before it is checked.
struct Input {
    QString device, kind, date, technician;
    QString standardKind, lot, expiry, target, unit;
    QStringList measured; // each a number, optionally followed by its unit
    QString tolerance;    // "0.008" or "10%"
    qint64 supersedes = 0;
};

// Checks the input; on success fills *entry (kind, date, values, result and reason) and
// returns "", else the reason it is refused. now is the current time (a date after it is
// refused).
QString Prepare(const Input& in, const QDateTime& now, Instruments::LogEntry* entry);

// Pass when every measured value lies within target ± tolerance and the standard had not
// expired on the entry's date. reason says why not.
bool Passes(const QString& target, const QString& tolerance, const QStringList& measured,
            const QDate& expiry, const QDate& on, QString* reason);
// The band target ± tolerance in millionths; false when either is no number.
bool Band(const QString& target, const QString& tolerance, qint64* low, qint64* high);
// An entry's date and time in the forms the log accepts (date, date with minutes or seconds,
// a space or "T" between); invalid for anything else.
QDateTime EntryTime(const QString& at);

// The intervals in force for an instrument: its own, else the defaults.
struct Intervals {
    int calibrationDays = 365;
    int accuracyDays = 30;
};
Intervals IntervalsOf(const Instruments::Instrument& i, const Intervals& defaults);
// [Global] CalibrationDays and AccuracyDays of the given texts (365 and 30 without them).
Intervals DefaultIntervals(const CLanguage& texts);

// When the next calibration and accuracy check are due: the date of the last passing entry
// of that kind in force plus its interval; invalid when there is none.
struct Due {
    QDate calibration, accuracy;
};
Due NextDue(const QList<Instruments::LogEntry>& log, const Intervals& intervals);

// A record's calibration state at the time of its test.
enum class State { InCalibration, Lapsed, Unknown };
// Why one kind of entry does not cover a test: none before it, the last one failed, or its
// interval had ended (on: the entry's date; until: the day its interval ended).
struct Lapse {
    bool calibration = true; // false: the accuracy check
    enum class Why { NoEntry, Failed, Expired } why = Why::NoEntry;
    QDate on, until;
};
struct RecordState {
    State state = State::Unknown;
    QString why;         // for Lapsed, in English (the discovery package, the log)
    QList<Lapse> lapses; // for Lapsed: the same reasons, for texts in the user's language
};
// The reasons of a lapsed state in the language of texts (Language.ini keys
// LapsedNoCalibration, LapsedNoAccuracy, LapsedCalibrationFailed, LapsedAccuracyFailed,
// LapsedCalibrationExpired, LapsedAccuracyExpired; %1 the entry's date, %2 the day its interval
// ended), joined by "; ". Without texts, or for a missing key, English.
class LapseTexts {
public:
    LapseTexts();
    explicit LapseTexts(const CLanguage& texts);
    QString Text(const QList<Lapse>& lapses) const;

private:
    QString m_templates[6];
};
// "in calibration" when the last calibration and the last accuracy check before the test
// (entries in force) passed and were within their intervals; "unknown" without a log.
RecordState StateAt(const QList<Instruments::LogEntry>& log, const Intervals& intervals,
                    const QDateTime& test);
QString StateText(State state); // "in calibration", "lapsed", "unknown"

// A log entry as a row of a table (the CLI's list, the discovery package), with its headings.
QStringList LogHeadings();
QStringList LogRow(const Instruments::LogEntry& e);

// What a link says about the due dates: the most urgent of an overdue calibration, an overdue
// accuracy check, then either falling due within warnDays. key is a text key of Language.ini
// ("CalibrationOverdue", "AccuracyOverdue", "CalibrationDueIn", "AccuracyDueIn"; empty: nothing
// to say); days until it is due, date since when it is overdue.
struct Notice {
    QString key;
    qint64 days = 0;
    QString date;
};
Notice DueNotice(const Due& due, const QDate& today, int warnDays = 14);

} // namespace Calibration
