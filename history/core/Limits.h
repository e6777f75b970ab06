#pragma once
// The legal limits of Language.ini [Global] Limits: one or two thresholds per unit, such as
// "mg/L:0.25,0.40;g/L:0.5,0.8;‰:0.5,0.8". A result at or over a threshold is over that limit.
// Entries that do not read are named in Problems() and left out; the others are used.
#include "base/Language.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct UnitLimits {
    QString unit;               // as written (trimmed); matched without regard to case
    QVector<double> thresholds; // one or two, ascending
    QStringList texts;          // the thresholds as written, for tooltips and headings
};

class CLimits {
public:
    CLimits() = default;
    static CLimits Parse(const QString& text);
    // [Global] Limits of the texts' Language.ini (empty: no limits).
    static CLimits Read(const CLanguage& texts);

    const QVector<UnitLimits>& Units() const { return m_units; }
    bool IsEmpty() const { return m_units.isEmpty(); }
    // The entries that did not read, as written.
    const QStringList& Problems() const { return m_problems; }
    // The limits of a unit (trimmed, case ignored), or nullptr.
    const UnitLimits* For(const QString& unit) const;
    // 0 when the result is under every threshold of its unit (or is no number, or its unit
    // has none), else the number (1 or 2) of the highest threshold it reaches.
    int Level(const QString& unit, const QString& result) const;
    // The most thresholds any unit has (0, 1 or 2).
    int MaxCount() const;

    // A stored result as a number: plain decimal notation, blanks around it allowed.
    static bool Number(const QString& text, double& value);

private:
    QVector<UnitLimits> m_units;
    QStringList m_problems;
};

// The status text for the entries that did not read ("LimitsBad" with the entries), or "".
QString LimitsProblemText(const CLanguage& texts, const CLimits& limits);
// The tooltip of a result over a limit ("OverLimit": level, threshold, unit).
QString OverLimitText(const CLanguage& texts, const UnitLimits& unit, int level);
