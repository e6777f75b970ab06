#include "reports/Report.h"

#include <QRegularExpression>

#include <cerrno>
#include <iconv.h>

namespace {

bool isNameControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// A device or record number that names itself in a usual report name.
bool plainPart(const QString& text) {
    for (const QChar c : text)
        if (c == QLatin1Char('_') || c == QLatin1Char('%') || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || isNameControl(c))
            return false;
    return true;
}

// A value of an unusual key, every character that could join, split or leave a name escaped.
QString escapedPart(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('_') || c == QLatin1Char('%') || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || c == QLatin1Char(':') || isNameControl(c))
            out += QStringLiteral("%%1").arg(uint(c.unicode()), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

// The page, in five pieces; each "%s" is filled in order.
const char* const kHead =
    R"(<!doctype html><html><head><meta charset="%s"><meta name="viewport" content="width=device-width, initial-scale=1, shrink-to-fit=no"><link rel="stylesheet" href="bootstrap.min.css"><link rel="stylesheet" href="report.css"><title>Alcohol Test Report</title></head><body class="bg"><div><div class="row"><div class="col-sm-6"><img src="logo.png" alt="logo"></div><div class="col-sm-6"></div></div><div><P class="title">Alcohol Test Report</P></div><div><H1 class="imagetitle">Sample information: </H1></div><div><table class="table table-bordered"><tbody>)";
const char* const kSample =
    R"(<tr><td>%s</td><td colspan="3">%s</td></tr><tr><td>%s</td><td colspan="3">%s</td></tr><tr><td>%s %s</td><td colspan="3">%s %s</td></tr><tr><td>%s</td><td colspan="3">%s</td></tr><tr><td>%s</td><th colspan="3">%s %s</th></tr>)";
const char* const kOneField =
    R"(<tr><td class="td25">%s</td><td colspan='3' class="td75">%s</td></tr>)";
const char* const kTwoFields =
    R"(<tr class="tr25"><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>)";
const char* const kTail =
    R"(</tbody></table></div><div class="row"><H1 class='imagetitle'>Test Picture: </H1></div><div class="row col-sm-12"><img class="mx-auto timg" src="pic%s" alt="image"></div></div></body></html>)";

// Fills the "%s" placeholders of a template in order (values are taken literally).
QString fill(const char* tmpl, const QStringList& values) {
    const QString t = QString::fromLatin1(tmpl);
    QString out;
    out.reserve(t.size() + 64 * values.size());
    qsizetype from = 0;
    int next = 0;
    for (;;) {
        const qsizetype at = t.indexOf(QLatin1String("%s"), from);
        if (at < 0)
            break;
        out += QStringView(t).mid(from, at - from);
        out += values.value(next++);
        from = at + 2;
    }
    out += QStringView(t).mid(from);
    return out;
}

} // namespace

QString ReportName(const QStringList& cells) {
    static const QRegularExpression usualDate(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d$"));
    static const QRegularExpression usualTime(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
    const QString device = cells.value(0);
    const QString record = cells.value(1);
    QString date = cells.value(2);
    QString time = cells.value(3);
    if (plainPart(device) && plainPart(record) && usualDate.match(date).hasMatch() &&
        usualTime.match(time).hasMatch()) {
        // The removed "-" and ":" stood at fixed places: nothing is lost.
        date.remove(QLatin1Char('-'));
        time.remove(QLatin1Char(':'));
        return QStringLiteral("%1_%2_%3_%4").arg(device, record, date, time);
    }
    return QStringLiteral("%1_%2_%3_%4_%")
        .arg(escapedPart(device), escapedPart(record), escapedPart(date), escapedPart(time));
}

QString HtmlEncode(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
        case 0x2030:
            out += QLatin1String("&#8240;");
            continue;
        case 0x20AC:
            out += QLatin1String("&#8364;");
            continue;
        case 0x2122:
            out += QLatin1String("&#8482;");
            continue;
        case 0x221A:
            out += QLatin1String("&#8730;");
            continue;
        case 0x2105:
            out += QLatin1String("&#x2105;");
            continue;
        case 0x03C0:
            out += QLatin1String("&#x03C0;");
            continue;
        case 0x2022:
            out += QLatin1String("&#x2022;");
            continue;
        case 0xFF0C:
            out += QLatin1String("&#65292;");
            continue;
        default:
            break;
        }
        if (c >= 161 && c <= 383 && c != 168 && c != 173 && c != 180 && c != 184) {
            out += QLatin1String("&#");
            out += QString::number(c);
            out += QLatin1Char(';');
        } else {
            out += ch;
        }
    }
    return out;
}

QString HtmlEscape(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString ReportCharset(const QString& language) {
    return language == QLatin1String("Chinese") ? QStringLiteral("gbk") : QStringLiteral("utf-8");
}

QString BuildReportText(const QStringList& headings, const QStringList& cells,
                        const QString& picturePath, const QString& charset) {
    const int count = static_cast<int>(qMin<qsizetype>(headings.size(), kReportMaxHeadings));
    auto h = [&](int c) { return c < count ? HtmlEscape(headings.at(c)) : QString(); };
    auto v = [&](int c) { return HtmlEscape(cells.value(c)); };

    QString text = fill(kHead, {charset});
    text += fill(kSample,
                 {h(0), v(0), h(1), v(1), h(2), h(3), v(2), v(3), h(4), v(4), h(5), v(5), v(6)});
    const int fields = count - 7; // field columns and GPS
    if (fields <= 10) {
        for (int c = 7; c < fields + 7 && c < 20; ++c)
            text += fill(kOneField, {h(c), v(c)});
    } else {
        for (int c = 7; c < fields + 7; c += 2) {
            if (c + 1 < count)
                text += fill(kTwoFields, {h(c), v(c), h(c + 1), v(c + 1)});
            else
                text += fill(kTwoFields, {h(c), v(c), QString(), QString()});
        }
    }
    // A relative URL: "/" separates folders, and "%", "#" and "?" in a name must not end
    // the path or start an escape.
    QString picture = picturePath;
    picture.replace(QLatin1Char('\\'), QLatin1Char('/'));
    picture.replace(QLatin1Char('%'), QLatin1String("%25"));
    picture.replace(QLatin1Char('#'), QLatin1String("%23"));
    picture.replace(QLatin1Char('?'), QLatin1String("%3F"));
    text += fill(kTail, {HtmlEscape(picture)});
    return text;
}

QString BuildReportHtml(const QStringList& headings, const QStringList& cells,
                        const QString& picturePath, const QString& charset) {
    return HtmlEncode(BuildReportText(headings, cells, picturePath, charset));
}

QByteArray ReportBytes(const QString& html, const QString& charset) {
    if (charset != QLatin1String("gbk"))
        return html.toUtf8();

    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return html.toUtf8();
    QByteArray in = html.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    char* src = in.data();
    size_t srcLeft = static_cast<size_t>(in.size());
    char buffer[4096];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<qsizetype>(dst - buffer));
        if (r != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        // A character GBK cannot hold: write it as a character reference and go on.
        const QString rest =
            QString::fromUtf8(src, static_cast<qsizetype>(qMin<size_t>(srcLeft, 4)));
        const char32_t cp = rest.isEmpty() ? 0xFFFD : rest.toUcs4().value(0, 0xFFFD);
        out += "&#" + QByteArray::number(static_cast<uint>(cp)) + ';';
        const size_t len = (static_cast<uchar>(*src) < 0x80)   ? 1
                           : (static_cast<uchar>(*src) < 0xE0) ? 2
                           : (static_cast<uchar>(*src) < 0xF0) ? 3
                                                               : 4;
        const size_t skip = qMin(len, srcLeft);
        src += skip;
        srcLeft -= skip;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    iconv_close(cd);
    return out;
}
