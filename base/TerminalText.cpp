#include "base/TerminalText.h"

namespace {
bool isControl(char16_t c, bool keepTab) {
    return IsTerminalControl(c) && !(keepTab && c == u'\t');
}
} // namespace

bool HasControls(QStringView text, bool keepTab) {
    for (const QChar c : text)
        if (isControl(c.unicode(), keepTab))
            return true;
    return false;
}

void AppendEscaped(QString& out, QStringView text, bool keepTab) {
    static const char kHex[] = "0123456789abcdef";
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!isControl(c, keepTab))
            continue;
        out += text.mid(from, i - from);
        const char escape[] = {'\\', 'x', kHex[(c >> 4) & 0xf], kHex[c & 0xf]};
        out += QLatin1StringView(escape, 4);
        from = i + 1;
    }
    out += text.mid(from);
}

QString EscapeControls(QStringView text, bool keepTab) {
    if (!HasControls(text, keepTab))
        return text.toString();
    QString out;
    out.reserve(text.size() + 16);
    AppendEscaped(out, text, keepTab);
    return out;
}
