#include "history/core/Limits.h"

#include "base/Profile.h"

#include <QRegularExpression>

#include <cmath>

bool CLimits::Number(const QString& text, double& value) {
    // The notation the record list's range filter accepts: no "inf", "nan" or hex.
    static const QRegularExpression plain(
        QStringLiteral("^[ \\t]*\\+?-?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][-+]?[0-9]{1,4})?[ \\t]*$"));
    if (!plain.match(text).hasMatch())
        return false;
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

CLimits CLimits::Parse(const QString& text) {
    CLimits limits;
    for (const QString& raw : text.split(QLatin1Char(';'))) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        const int colon = int(entry.lastIndexOf(QLatin1Char(':')));
        UnitLimits unit;
        unit.unit = colon > 0 ? entry.left(colon).trimmed() : QString();
        bool ok = !unit.unit.isEmpty() && !limits.For(unit.unit);
        const QStringList numbers = entry.mid(colon + 1).split(QLatin1Char(','));
        ok = ok && numbers.size() >= 1 && numbers.size() <= 2;
        for (const QString& n : numbers) {
            double value = 0;
            if (!ok || !Number(n, value) || value < 0) {
                ok = false;
                break;
            }
            if (!unit.thresholds.isEmpty() && value <= unit.thresholds.last())
                ok = false; // the second limit lies above the first
            unit.thresholds << value;
            unit.texts << n.trimmed();
        }
        if (ok)
            limits.m_units << unit;
        else
            limits.m_problems << entry;
    }
    return limits;
}

CLimits CLimits::Read(const CLanguage& texts) {
    // Read whole: a list cut at the usual text length would end in a shortened threshold.
    return Parse(ReadProfileString(texts.FilePath(), QStringLiteral("Global"),
                                   QStringLiteral("Limits"), QString(), 1 << 16));
}

const UnitLimits* CLimits::For(const QString& unit) const {
    const QString wanted = unit.trimmed();
    for (const UnitLimits& u : m_units)
        if (u.unit.compare(wanted, Qt::CaseInsensitive) == 0)
            return &u;
    return nullptr;
}

int CLimits::Level(const QString& unit, const QString& result) const {
    const UnitLimits* u = For(unit);
    double value = 0;
    if (!u || !Number(result, value))
        return 0;
    int level = 0;
    for (int i = 0; i < u->thresholds.size(); ++i)
        if (value >= u->thresholds[i])
            level = i + 1;
    return level;
}

int CLimits::MaxCount() const {
    int most = 0;
    for (const UnitLimits& u : m_units)
        most = qMax(most, int(u.thresholds.size()));
    return most;
}

QString LimitsProblemText(const CLanguage& texts, const CLimits& limits) {
    if (limits.Problems().isEmpty())
        return QString();
    QStringList quoted;
    for (const QString& p : limits.Problems())
        quoted << QLatin1Char('"') + p + QLatin1Char('"');
    return texts.GetText(QStringLiteral("LimitsBad")).arg(quoted.join(QStringLiteral(", ")));
}

QString OverLimitText(const CLanguage& texts, const UnitLimits& unit, int level) {
    if (level < 1 || level > unit.texts.size())
        return QString();
    return texts.GetText(QStringLiteral("OverLimit"))
        .arg(level)
        .arg(unit.texts[level - 1], unit.unit);
}
