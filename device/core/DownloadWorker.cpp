#include "device/core/DownloadWorker.h"

#include "base/Language.h"

#include <QRegularExpression>

#include <limits>

namespace Download {

int Plan::progressMaximum() const {
    if (kind == Kind::New)
        return int(numbers.size());
    if (kind == Kind::Single || first > last)
        return 0;
    const quint64 count = quint64(last) - first + 1;
    return int(qMin<quint64>(count, quint64(std::numeric_limits<int>::max())));
}

quint64 Plan::Count() const {
    if (kind == Kind::New)
        return quint64(numbers.size());
    return first > last ? 0 : quint64(last) - first + 1;
}

quint32 Plan::At(quint64 index) const {
    return kind == Kind::New ? numbers.at(qsizetype(index)) : quint32(first + index);
}

quint32 SingleNumber(const QString& text, bool* overflow) {
    // The ordinary unsigned decimal conversion: blanks, an optional sign, digits up to the
    // first other character. A minus sign or a value beyond 32 bits gives the largest value,
    // which no instrument total reaches.
    if (overflow)
        *overflow = false;
    int i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    quint64 value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        any = true;
        value = value * 10 + quint64(text[i].unicode() - '0');
        if (value > std::numeric_limits<quint32>::max()) {
            if (overflow)
                *overflow = true;
            return std::numeric_limits<quint32>::max();
        }
    }
    if (negative && any && value != 0) {
        if (overflow)
            *overflow = true;
        return std::numeric_limits<quint32>::max();
    }
    return quint32(value);
}

namespace {
bool allDigits(const QString& text) {
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}
} // namespace

quint32 RangeStart(const QString& text, bool* clear) {
    quint32 value;
    if (text.isEmpty())
        value = 1;
    else if (text.size() > 6 || !allDigits(text))
        value = 0;
    else
        value = text.toUInt();
    if (clear)
        *clear = text.isEmpty() || value == 0;
    return value;
}

quint32 RangeEnd(const QString& text, quint32 total, bool* clear) {
    quint32 value;
    if (text.isEmpty())
        value = total;
    else if (text.size() > 5 || !allDigits(text))
        value = 0;
    else
        value = text.toUInt();
    if (clear)
        *clear = text.isEmpty() || value == 0;
    return value;
}

PlanResult PlanSingle(const QString& fromText, quint32 total) {
    PlanResult result;
    if (total == 0) {
        result.key = QStringLiteral("NoRecords");
        result.clearFrom = true;
        return result;
    }
    const quint32 number = SingleNumber(fromText);
    if (number > total) {
        result.key = QStringLiteral("NumberMustLessTotoal");
        return result;
    }
    result.start = true;
    result.plan = Plan{Kind::Single, number, number, {}};
    return result;
}

PlanResult PlanAll(quint32 total) {
    PlanResult result;
    if (total < 1) {
        result.key = QStringLiteral("NoRecords");
        return result;
    }
    result.start = true;
    result.plan = Plan{Kind::All, 1, total, {}};
    return result;
}

PlanResult PlanDownload(const QString& fromText, const QString& toText, quint32 total) {
    const QString from = fromText.trimmed();
    const QString to = toText.trimmed();
    if (from.isEmpty() && to.isEmpty())
        return PlanAll(total);
    PlanResult result;
    if (total == 0) {
        result.key = QStringLiteral("NoRecords");
        result.clearFrom = true;
        result.clearTo = true;
        return result;
    }
    const quint32 start = RangeStart(from, &result.clearFrom);
    const quint32 end = RangeEnd(to, total, &result.clearTo);
    result.start = true;
    result.plan = Plan{Kind::Range, start, end, {}};
    return result;
}

PlanResult PlanNew(const QVector<quint32>& newNumbers, quint32 total) {
    PlanResult result;
    if (total < 1) {
        result.key = QStringLiteral("NoRecords");
        return result;
    }
    if (newNumbers.isEmpty()) {
        result.key = QStringLiteral("NewRecords");
        return result;
    }
    result.start = true;
    result.plan.kind = Kind::New;
    result.plan.first = newNumbers.first();
    result.plan.last = newNumbers.last();
    result.plan.numbers = newNumbers;
    return result;
}

QString StatusText(const CLanguage& language, const QString& key, qint64 number) {
    return number < 0 ? language.GetText(key) : language.GetTextNumber(key, number);
}

QString FillNumbers(QString text, std::initializer_list<qint64> numbers) {
    static const QRegularExpression conversion(QStringLiteral("%l?[dui]"));
    qsizetype from = 0;
    for (qint64 number : numbers) {
        const QRegularExpressionMatch match = conversion.match(text, from);
        if (!match.hasMatch())
            break;
        const QString value = QString::number(number);
        text.replace(match.capturedStart(), match.capturedLength(), value);
        from = match.capturedStart() + value.size();
    }
    return text;
}

QString FillTexts(QString text, const QStringList& values) {
    qsizetype from = 0;
    for (const QString& value : values) {
        const qsizetype at = text.indexOf(QLatin1String("%s"), from);
        if (at < 0)
            break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

QString FinishText(const CLanguage& language, quint32 failedRecords) {
    // A Language.ini supplied with the instrument may not know the key of the failure
    // count: the plain closing text then, never an empty status line.
    const QString failedText =
        failedRecords == 0
            ? QString()
            : StatusText(language, QStringLiteral("DownloadFinishFailed"), failedRecords);
    return failedText.isEmpty() ? language.GetText(QStringLiteral("DownloadFinish")) : failedText;
}

QStringList UpdateTexts(const CLanguage& language, const Update& u) {
    QStringList texts;
    switch (u.type) {
    case Update::Type::Progress:
        break;
    case Update::Type::RecordDownloaded:
        texts << StatusText(language, QStringLiteral("DownloadRecordOK"), u.number);
        break;
    case Update::Type::RecordFailed:
        texts << StatusText(language, QStringLiteral("DownloadRecordFail"), u.number);
        if (!u.key.isEmpty()) {
            const QString why = FillTexts(StatusText(language, u.key, u.keyNumber), u.keyTexts);
            if (!why.isEmpty())
                texts << why;
        }
        break;
    case Update::Type::Finished:
        if (u.canceled) {
            QString text = FillNumbers(language.GetText(QStringLiteral("DownloadCanceled")),
                                       {qint64(u.downloaded + u.skipped), qint64(u.failed)});
            texts << (text.isEmpty() ? language.GetText(QStringLiteral("DownloadFinish")) : text);
        } else if (u.kind != Kind::Single) {
            texts << FinishText(language, u.failed);
        } else if (u.failed == 0) {
            texts << language.GetText(QStringLiteral("DownloadFinish"));
        }
        if (!u.unsignedWhy.isEmpty())
            texts << language.GetText(QStringLiteral("DeskKeyUnusable")) + QLatin1Char(' ') +
                         u.unsignedWhy;
        break;
    }
    texts.removeAll(QString());
    return texts;
}

} // namespace Download
