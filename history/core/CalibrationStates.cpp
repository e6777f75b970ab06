#include "history/core/CalibrationStates.h"

#include "instruments/Calibration.h"
#include "store/Instruments.h"
#include "store/SQLite.h"

#include <QDateTime>
#include <QVector>

#include <algorithm>

namespace {

const char kStamp[] = "yyyy-MM-dd HH:mm:ss";

bool Digits(const QString& s, int from, int n) {
    for (int i = from; i < from + n; ++i)
        if (s[i] < QLatin1Char('0') || s[i] > QLatin1Char('9'))
            return false;
    return true;
}

// "yyyy-MM-dd" and "HH:mm:ss" with a time of day that exists: then the two joined sort as
// the times they name.
bool PlainDate(const QString& d) {
    return d.size() == 10 && Digits(d, 0, 4) && d[4] == QLatin1Char('-') && Digits(d, 5, 2) &&
           d[7] == QLatin1Char('-') && Digits(d, 8, 2);
}
bool PlainTime(const QString& t) {
    return t.size() == 8 && Digits(t, 0, 2) && t[2] == QLatin1Char(':') && Digits(t, 3, 2) &&
           t[5] == QLatin1Char(':') && Digits(t, 6, 2) && t.left(2).toInt() < 24 &&
           t.mid(3, 2).toInt() < 60 && t.mid(6, 2).toInt() < 60;
}

QString TextOr(const CLanguage& texts, const char* key, const char* fallback) {
    const QString text = texts.GetText(QLatin1String(key));
    return text.isEmpty() ? QLatin1String(fallback) : text;
}

} // namespace

struct CCalibrationStates::Device {
    bool measured = false; // the log holds calibrations or accuracy checks
    QList<Instruments::LogEntry> log;
    Calibration::Intervals intervals;
    QStringList bounds;    // sorted times where the state may change
    QVector<QString> text; // per stretch (before the first bound, then from each bound on)
    QVector<bool> known;
};

CCalibrationStates::CCalibrationStates(SQLite::Database& db, const CLanguage& texts)
    : m_db(db), m_lapses(std::make_unique<Calibration::LapseTexts>(texts)) {
    m_inText = TextOr(texts, "CalibrationIn", "in calibration");
    m_lapsedText = TextOr(texts, "CalibrationLapsed", "lapsed: %s");
    m_unknownText = UnknownText(texts);
    const Calibration::Intervals defaults = Calibration::DefaultIntervals(texts);
    m_calibrationDays = defaults.calibrationDays;
    m_accuracyDays = defaults.accuracyDays;
}

CCalibrationStates::~CCalibrationStates() = default;

QString CCalibrationStates::Heading(const CLanguage& texts) {
    return TextOr(texts, "CalibrationColumn", "Calibration");
}

QString CCalibrationStates::UnknownText(const CLanguage& texts) {
    return TextOr(texts, "CalibrationUnknown", "unknown");
}

CCalibrationStates::Device& CCalibrationStates::DeviceOf(const QString& machineNo) {
    if (m_last && machineNo == m_lastDevice)
        return *m_last;
    std::shared_ptr<Device>& slot = m_devices[machineNo];
    if (!slot) {
        slot = std::make_shared<Device>();
        Device& d = *slot;
        bool ok = false;
        d.log = Instruments::Log(m_db, machineNo, &ok);
        if (!ok)
            d.log.clear();
        d.measured = std::any_of(d.log.begin(), d.log.end(), [](const Instruments::LogEntry& e) {
            return Calibration::IsMeasured(e.kind);
        });
        Instruments::Instrument instrument;
        SQLite::Query q(m_db, "SELECT CalibrationDays,AccuracyDays FROM Instrument WHERE "
                              "DeviceID=?");
        if (d.measured && q.ok()) {
            q.BindText(1, machineNo.toUtf8());
            if (q.Next()) {
                instrument.calibrationDays = int(q.Int64(0));
                instrument.accuracyDays = int(q.Int64(1));
            }
        }
        d.intervals = Calibration::IntervalsOf(
            instrument, Calibration::Intervals{m_calibrationDays, m_accuracyDays});
        // Where the state may change: at each entry's time (from then on it is the latest)
        // and at the start of the day after each entry's interval ends.
        for (const Instruments::LogEntry& e : d.log) {
            const QDateTime at = Calibration::EntryTime(e.at);
            if (!at.isValid())
                continue;
            d.bounds << at.toString(QLatin1String(kStamp));
            for (int days : {d.intervals.calibrationDays, d.intervals.accuracyDays})
                if (days > 0)
                    d.bounds << QDateTime(at.date().addDays(days + 1), QTime(0, 0))
                                    .toString(QLatin1String(kStamp));
        }
        std::sort(d.bounds.begin(), d.bounds.end());
        d.bounds.erase(std::unique(d.bounds.begin(), d.bounds.end()), d.bounds.end());
        d.text.resize(d.bounds.size() + 1);
        d.known.fill(false, d.bounds.size() + 1);
    }
    m_lastDevice = machineNo;
    m_last = slot.get();
    return *m_last;
}

QString CCalibrationStates::Text(const QString& machineNo, const QString& date,
                                 const QString& time) {
    Device& d = DeviceOf(machineNo);
    if (!d.measured)
        return m_unknownText;
    auto shown = [this](const Calibration::RecordState& s) {
        switch (s.state) {
        case Calibration::State::InCalibration:
            return m_inText;
        case Calibration::State::Lapsed: {
            QString text = m_lapsedText;
            return text.replace(QLatin1String("%s"), m_lapses->Text(s.lapses));
        }
        case Calibration::State::Unknown:
            break;
        }
        return m_unknownText;
    };
    bool plain = PlainDate(date) && PlainTime(time);
    if (plain && date != m_lastDate) { // the rows of a day mostly come one after another
        auto valid = m_validDates.constFind(date);
        if (valid == m_validDates.constEnd())
            valid = m_validDates.insert(date, QDate::fromString(date, Qt::ISODate).isValid());
        m_lastDate = date;
        m_lastDateValid = valid.value();
    }
    plain = plain && m_lastDateValid;
    if (!plain) // an odd date or time: worked out on its own
        return shown(Calibration::StateAt(
            d.log, d.intervals,
            QDateTime::fromString(date + QLatin1Char(' ') + time, QLatin1String(kStamp))));
    // The stretch between bounds the row's "date time" falls in, compared as that text
    // would be without making it: a plain date and time have the bounds' widths.
    const auto stampBefore = [&date, &time](int, const QString& bound) {
        const int byDate = QStringView(date).compare(QStringView(bound).left(10));
        return byDate != 0 ? byDate < 0 : QStringView(time).compare(QStringView(bound).mid(11)) < 0;
    };
    const int stretch = int(std::upper_bound(d.bounds.cbegin(), d.bounds.cend(), 0, stampBefore) -
                            d.bounds.cbegin());
    if (!d.known[stretch]) {
        const QString stamp = date + QLatin1Char(' ') + time;
        d.text[stretch] = shown(Calibration::StateAt(
            d.log, d.intervals, QDateTime::fromString(stamp, QLatin1String(kStamp))));
        d.known[stretch] = true;
    }
    return d.text[stretch];
}
