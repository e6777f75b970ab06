#pragma once
// The calibration state of listed records, as the list's last column shows it: "in
// calibration", "lapsed: why" or "unknown" (Calibration::StateAt over the instrument's log).
//
// A device's log and intervals are read once, on the first of its records asked for, through
// the connection the rows come from. A record's state only changes where an entry of the log
// begins or an entry's interval ends, so the times between those bounds are looked up in a
// sorted list and each stretch is worked out once: a million rows cost one look-up each,
// never a statement or a pass over the log per row.
#include "base/Language.h"

#include <QHash>
#include <QString>

#include <memory>

namespace SQLite {
class Database;
}
namespace Calibration {
class LapseTexts;
}

class CCalibrationStates {
public:
    // db: an open connection to brtx.db (read-only will do), used while Text is asked.
    CCalibrationStates(SQLite::Database& db, const CLanguage& texts);
    ~CCalibrationStates();
    CCalibrationStates(const CCalibrationStates&) = delete;
    CCalibrationStates& operator=(const CCalibrationStates&) = delete;

    // The state of the record tested on date ("yyyy-MM-dd") at time ("HH:mm:ss").
    QString Text(const QString& machineNo, const QString& date, const QString& time);

    // The column's heading, and the text of a record whose instrument has no log.
    static QString Heading(const CLanguage& texts);
    static QString UnknownText(const CLanguage& texts);

private:
    struct Device;
    Device& DeviceOf(const QString& machineNo);

    SQLite::Database& m_db;
    QString m_inText, m_lapsedText, m_unknownText;
    std::unique_ptr<Calibration::LapseTexts> m_lapses; // why a state lapsed, in the user's language
    int m_calibrationDays = 0, m_accuracyDays = 0;     // the [Global] defaults
    QHash<QString, std::shared_ptr<Device>> m_devices;
    QString m_lastDevice;
    Device* m_last = nullptr;
    QHash<QString, bool> m_validDates;
    QString m_lastDate; // the last plain date asked about, and whether it is a real day
    bool m_lastDateValid = false;
};
