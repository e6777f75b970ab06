#include "instruments/Calibration.h"

#include "base/Language.h"

#include <QRegularExpression>

#include <algorithm>

namespace Calibration {

namespace {

constexpr qint64 kMicro = 1000000;

QDateTime ParseWhen(const QString& text) {
    for (const char* format :
         {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm"}) {
        const QDateTime t = QDateTime::fromString(text, QLatin1String(format));
        if (t.isValid())
            return t;
    }
    const QDate d = QDate::fromString(text, Qt::ISODate);
    return d.isValid() && text.size() == 10 ? QDateTime(d, QTime(0, 0)) : QDateTime();
}

QDate ParseDate(const QString& text) {
    const QDate d = QDate::fromString(text, Qt::ISODate);
    return text.size() == 10 ? d : QDate();
}

// A tolerance: absolute millionths, or a percentage in millionths of a percent.
struct Tolerance {
    qint64 micro = 0;
    bool percent = false;
};
bool ParseTolerance(const QString& text, Tolerance* out) {
    QString t = text.trimmed();
    out->percent = t.endsWith(QLatin1Char('%'));
    if (out->percent)
        t.chop(1);
    return ParseMicro(t.trimmed(), &out->micro) && out->micro >= 0;
}

bool Within(qint64 target, const Tolerance& tol, qint64 value) {
    const __int128 off = value > target ? __int128(value) - target : __int128(target) - value;
    if (!tol.percent)
        return off <= tol.micro;
    // off / |target| <= tol% : off * 100 * 10^6 <= |target| * tol (both in millionths)
    const __int128 base = target < 0 ? -__int128(target) : __int128(target);
    return off * 100 * kMicro <= base * tol.micro;
}

QString MicroText(qint64 micro) {
    const bool negative = micro < 0;
    const qint64 m = negative ? -micro : micro;
    QString text = QString::number(m / kMicro);
    qint64 fraction = m % kMicro;
    if (fraction) {
        QString digits = QStringLiteral("%1").arg(fraction, 6, 10, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    return negative ? QLatin1Char('-') + text : text;
}

// The latest entry in force of a kind at or before `until` (null: any time).
const Instruments::LogEntry* Latest(const QList<Instruments::LogEntry>& log, const QString& kind,
                                    const QDateTime& until) {
    const Instruments::LogEntry* best = nullptr;
    QDateTime bestAt;
    for (const Instruments::LogEntry& e : log) {
        if (e.superseded || e.kind != kind)
            continue;
        const QDateTime at = ParseWhen(e.at);
        if (!at.isValid() || (until.isValid() && at > until))
            continue;
        if (!best || at >= bestAt) {
            best = &e;
            bestAt = at;
        }
    }
    return best;
}

// Why one kind of entry does not cover a test at `test` (false when it does).
bool Lapsed(const QList<Instruments::LogEntry>& log, const QString& kind, int days,
            const QDateTime& test, Lapse* lapse) {
    lapse->calibration = kind == QLatin1String("calibration");
    const Instruments::LogEntry* last = Latest(log, kind, test);
    if (!last) {
        lapse->why = Lapse::Why::NoEntry;
        return true;
    }
    lapse->on = ParseWhen(last->at).date();
    if (last->result != QLatin1String("pass")) {
        lapse->why = Lapse::Why::Failed;
        return true;
    }
    if (days > 0 && test.date() > lapse->on.addDays(days)) {
        lapse->why = Lapse::Why::Expired;
        lapse->until = lapse->on.addDays(days);
        return true;
    }
    return false;
}

// The English texts, in the order of LapseTexts' templates: per reason, calibration first.
constexpr const char* kLapseKeys[6][2] = {
    {"LapsedNoCalibration", "no calibration before the test"},
    {"LapsedNoAccuracy", "no accuracy check before the test"},
    {"LapsedCalibrationFailed", "the calibration of %1 failed"},
    {"LapsedAccuracyFailed", "the accuracy check of %1 failed"},
    {"LapsedCalibrationExpired", "the calibration of %1 lapsed on %2"},
    {"LapsedAccuracyExpired", "the accuracy check of %1 lapsed on %2"},
};

} // namespace

LapseTexts::LapseTexts() {
    for (int i = 0; i < 6; ++i)
        m_templates[i] = QLatin1String(kLapseKeys[i][1]);
}

LapseTexts::LapseTexts(const CLanguage& texts) : LapseTexts() {
    for (int i = 0; i < 6; ++i) {
        const QString text = texts.GetText(QLatin1String(kLapseKeys[i][0]));
        if (!text.isEmpty())
            m_templates[i] = text;
    }
}

QString LapseTexts::Text(const QList<Lapse>& lapses) const {
    QStringList out;
    for (const Lapse& l : lapses) {
        const int row = 2 * int(l.why) + (l.calibration ? 0 : 1);
        QString text = m_templates[row];
        if (l.why != Lapse::Why::NoEntry)
            text.replace(QLatin1String("%1"), l.on.toString(Qt::ISODate));
        if (l.why == Lapse::Why::Expired)
            text.replace(QLatin1String("%2"), l.until.toString(Qt::ISODate));
        out << text;
    }
    return out.join(QStringLiteral("; "));
}

bool IsMeasured(const QString& kind) {
    return kind == QLatin1String("calibration") || kind == QLatin1String("accuracy");
}

bool ParseMicro(const QString& text, qint64* micro) {
    static const QRegularExpression number(QStringLiteral("^([+-]?)(\\d{1,9})(?:\\.(\\d{1,6}))?$"));
    const QRegularExpressionMatch m = number.match(text);
    if (!m.hasMatch())
        return false;
    qint64 value = m.captured(2).toLongLong() * kMicro;
    const QString fraction = m.captured(3);
    if (!fraction.isEmpty())
        value += fraction.leftJustified(6, QLatin1Char('0')).toLongLong();
    if (micro)
        *micro = m.captured(1) == QLatin1String("-") ? -value : value;
    return true;
}

bool Band(const QString& target, const QString& tolerance, qint64* low, qint64* high) {
    qint64 t = 0;
    Tolerance tol;
    if (!ParseMicro(target, &t) || !ParseTolerance(tolerance, &tol))
        return false;
    const qint64 span =
        tol.percent ? qint64((__int128(t < 0 ? -t : t) * tol.micro) / (100 * kMicro)) : tol.micro;
    *low = t - span;
    *high = t + span;
    return true;
}

QDateTime EntryTime(const QString& at) {
    return ParseWhen(at);
}

bool Passes(const QString& target, const QString& tolerance, const QStringList& measured,
            const QDate& expiry, const QDate& on, QString* reason) {
    qint64 t = 0, low = 0, high = 0;
    Tolerance tol;
    if (!ParseMicro(target, &t) || !ParseTolerance(tolerance, &tol) ||
        !Band(target, tolerance, &low, &high)) {
        if (reason)
            *reason = QStringLiteral("target or tolerance is not a number");
        return false;
    }
    QStringList outside;
    for (const QString& value : measured) {
        qint64 v = 0;
        if (!ParseMicro(value, &v) || !Within(t, tol, v))
            outside << value;
    }
    QStringList why;
    if (expiry.isValid() && on.isValid() && expiry < on)
        why << QStringLiteral("the reference standard expired on %1")
                   .arg(expiry.toString(Qt::ISODate));
    if (!outside.isEmpty())
        why << QStringLiteral("%1 outside %2 to %3")
                   .arg(outside.join(QStringLiteral(", ")), MicroText(low), MicroText(high));
    if (reason)
        *reason = why.join(QStringLiteral("; "));
    return why.isEmpty();
}

QString Prepare(const Input& in, const QDateTime& now, Instruments::LogEntry* entry) {
    if (!Kinds().contains(in.kind))
        return QStringLiteral("--kind takes one of: %1").arg(Kinds().join(QStringLiteral(", ")));
    const QDateTime when = ParseWhen(in.date.trimmed());
    if (!when.isValid())
        return QStringLiteral("--date takes YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS], not \"%1\"")
            .arg(in.date);
    if (when.date() > now.date() || when > now.addSecs(60))
        return QStringLiteral("--date %1 lies in the future").arg(in.date);
    if (in.supersedes < 0)
        return QStringLiteral("--supersedes takes an entry number");
    Instruments::LogEntry e;
    e.device = in.device;
    e.kind = in.kind;
    e.at = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    e.technician = in.technician.trimmed();
    e.supersedes = in.supersedes;
    if (IsMeasured(in.kind)) {
        if (e.technician.isEmpty())
            return QStringLiteral("a %1 needs --technician").arg(in.kind);
        if (!StandardKinds().contains(in.standardKind))
            return QStringLiteral("--standard-kind takes one of: %1")
                .arg(StandardKinds().join(QStringLiteral(", ")));
        if (in.lot.trimmed().isEmpty())
            return QStringLiteral("a %1 needs the standard's --lot").arg(in.kind);
        const QDate expiry = ParseDate(in.expiry.trimmed());
        if (!expiry.isValid())
            return QStringLiteral("--expiry takes the standard's expiry date as YYYY-MM-DD");
        qint64 target = 0;
        if (!ParseMicro(in.target.trimmed(), &target) || target <= 0)
            return QStringLiteral("--target takes a positive number, not \"%1\"").arg(in.target);
        if (in.unit.trimmed().isEmpty())
            return QStringLiteral("a %1 needs the target's --unit").arg(in.kind);
        Tolerance tol;
        if (!ParseTolerance(in.tolerance, &tol))
            return QStringLiteral("--tolerance takes a number or a percentage of at least 0, "
                                  "not \"%1\"")
                .arg(in.tolerance);
        if (in.measured.isEmpty())
            return QStringLiteral("a %1 needs at least one --measured value").arg(in.kind);
        static const QRegularExpression valueAndUnit(
            QStringLiteral("^\\s*([^\\s]*?)\\s*([^0-9.\\s+-][^\\s]*)?\\s*$"));
        QStringList values;
        for (const QString& given : in.measured) {
            const QRegularExpressionMatch m = valueAndUnit.match(given);
            const QString number = m.captured(1);
            const QString unit = m.captured(2);
            if (!m.hasMatch() || !ParseMicro(number, nullptr))
                return QStringLiteral("--measured \"%1\" is not a number").arg(given);
            if (!unit.isEmpty() && unit != in.unit.trimmed())
                return QStringLiteral("--measured \"%1\" is in %2, the target in %3")
                    .arg(given, unit, in.unit.trimmed());
            values << number;
        }
        e.standardKind = in.standardKind;
        e.lot = in.lot.trimmed();
        e.expiry = expiry.toString(Qt::ISODate);
        e.target = in.target.trimmed();
        e.unit = in.unit.trimmed();
        e.measured = values.join(QLatin1Char(','));
        e.tolerance = in.tolerance.trimmed();
        e.result = Passes(e.target, e.tolerance, values, expiry, when.date(), &e.reason)
                       ? QStringLiteral("pass")
                       : QStringLiteral("fail");
    } else if (!in.measured.isEmpty() || !in.target.isEmpty() || !in.tolerance.isEmpty()) {
        return QStringLiteral("a %1 takes no measured values, target or tolerance").arg(in.kind);
    }
    if (entry)
        *entry = e;
    return QString();
}

Intervals IntervalsOf(const Instruments::Instrument& i, const Intervals& defaults) {
    Intervals out = defaults;
    if (i.calibrationDays > 0)
        out.calibrationDays = i.calibrationDays;
    if (i.accuracyDays > 0)
        out.accuracyDays = i.accuracyDays;
    return out;
}

Intervals DefaultIntervals(const CLanguage& texts) {
    Intervals d;
    bool ok = false;
    const int calibration = texts.ReadGlobal(QStringLiteral("CalibrationDays")).toInt(&ok);
    if (ok && calibration > 0)
        d.calibrationDays = calibration;
    const int accuracy = texts.ReadGlobal(QStringLiteral("AccuracyDays")).toInt(&ok);
    if (ok && accuracy > 0)
        d.accuracyDays = accuracy;
    return d;
}

Notice DueNotice(const Due& due, const QDate& today, int warnDays) {
    Notice n;
    const struct {
        QDate date;
        const char* overdue;
        const char* dueIn;
    } kinds[] = {{due.calibration, "CalibrationOverdue", "CalibrationDueIn"},
                 {due.accuracy, "AccuracyOverdue", "AccuracyDueIn"}};
    for (const auto& k : kinds)
        if (k.date.isValid() && k.date < today) {
            n.key = QLatin1String(k.overdue);
            n.date = k.date.toString(Qt::ISODate);
            return n;
        }
    for (const auto& k : kinds) {
        const qint64 days = k.date.isValid() ? today.daysTo(k.date) : -1;
        if (days >= 0 && days <= warnDays && (n.key.isEmpty() || days < n.days)) {
            n.key = QLatin1String(k.dueIn);
            n.days = days;
        }
    }
    return n;
}

Due NextDue(const QList<Instruments::LogEntry>& log, const Intervals& intervals) {
    Due due;
    auto lastPass = [&](const QString& kind) {
        QDate best;
        for (const Instruments::LogEntry& e : log) {
            const QDate on = ParseWhen(e.at).date();
            if (!e.superseded && e.kind == kind && e.result == QLatin1String("pass") &&
                on.isValid() && (!best.isValid() || on > best))
                best = on;
        }
        return best;
    };
    const QDate calibration = lastPass(QStringLiteral("calibration"));
    const QDate accuracy = lastPass(QStringLiteral("accuracy"));
    if (calibration.isValid())
        due.calibration = calibration.addDays(intervals.calibrationDays);
    if (accuracy.isValid())
        due.accuracy = accuracy.addDays(intervals.accuracyDays);
    return due;
}

RecordState StateAt(const QList<Instruments::LogEntry>& log, const Intervals& intervals,
                    const QDateTime& test) {
    RecordState out;
    const bool measured = std::any_of(
        log.begin(), log.end(), [](const Instruments::LogEntry& e) { return IsMeasured(e.kind); });
    if (!measured || !test.isValid())
        return out;
    Lapse calibration, accuracy;
    if (Lapsed(log, QStringLiteral("calibration"), intervals.calibrationDays, test, &calibration))
        out.lapses << calibration;
    if (Lapsed(log, QStringLiteral("accuracy"), intervals.accuracyDays, test, &accuracy))
        out.lapses << accuracy;
    out.state = out.lapses.isEmpty() ? State::InCalibration : State::Lapsed;
    static const LapseTexts english;
    out.why = english.Text(out.lapses);
    return out;
}

QStringList LogHeadings() {
    return {QStringLiteral("Entry"),      QStringLiteral("Device"),
            QStringLiteral("Kind"),       QStringLiteral("Date"),
            QStringLiteral("Technician"), QStringLiteral("Standard"),
            QStringLiteral("Lot"),        QStringLiteral("Expiry"),
            QStringLiteral("Target"),     QStringLiteral("Unit"),
            QStringLiteral("Measured"),   QStringLiteral("Tolerance"),
            QStringLiteral("Result"),     QStringLiteral("Reason"),
            QStringLiteral("Attachment"), QStringLiteral("Attachment SHA-256"),
            QStringLiteral("Supersedes"), QStringLiteral("Superseded"),
            QStringLiteral("Recorded"),   QStringLiteral("Hash")};
}

QStringList LogRow(const Instruments::LogEntry& e) {
    return {QString::number(e.id),
            e.device,
            e.kind,
            e.at,
            e.technician,
            e.standardKind,
            e.lot,
            e.expiry,
            e.target,
            e.unit,
            e.measured,
            e.tolerance,
            e.result,
            e.reason,
            e.attachment,
            e.attachmentSha256,
            e.supersedes > 0 ? QString::number(e.supersedes) : QString(),
            e.superseded ? QStringLiteral("yes") : QString(),
            e.recordedAt,
            e.hash};
}

QString StateText(State state) {
    switch (state) {
    case State::InCalibration:
        return QStringLiteral("in calibration");
    case State::Lapsed:
        return QStringLiteral("lapsed");
    case State::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

} // namespace Calibration
