#include "base/Language.h"

#include "base/Paths.h"
#include "base/Profile.h"

#include <QRegularExpression>

namespace {
const int kTextChars = 1023; // a text is read into 1024 characters with its terminator
const int kNameChars = 259;  // Language and DeviceType are read into 260
} // namespace

CLanguage::CLanguage() {
    m_path = GetAppFolder() + "/Language.ini";
    m_language = ReadProfileString(m_path, "Global", "Language", "English", kNameChars);
}

QString CLanguage::GetText(const QString& key) const {
    return ReadProfileString(m_path, m_language, key, QString(), kTextChars);
}

int CLanguage::GetTextList(QStringList& list, const QString& key, const QString& separator) const {
    list.clear();
    const QString text = GetText(key);
    if (text.isEmpty())
        return 0;
    if (separator.isEmpty()) {
        list.append(text);
        return 1;
    }
    // Empty pieces are kept: "a,,b," gives "a", "", "b", "".
    qsizetype pos = 0;
    for (;;) {
        const qsizetype next = text.indexOf(separator, pos);
        if (next < 0) {
            list.append(text.mid(pos));
            break;
        }
        list.append(text.mid(pos, next - pos));
        pos = next + separator.size();
    }
    return int(list.size());
}

QString CLanguage::ReadLanguage() const {
    return m_language;
}

QString CLanguage::ReadDeviceType() const {
    return ReadProfileString(m_path, "Global", "DeviceType", "4Q", kNameChars);
}

QString CLanguage::ReadGlobal(const QString& key, const QString& def) const {
    return ReadProfileString(m_path, "Global", key, def, kTextChars);
}

QString CLanguage::GetTextNumber(const QString& key, qint64 number) const {
    QString text = GetText(key);
    static const QRegularExpression conversion(QStringLiteral("%l?[dui]"));
    const QRegularExpressionMatch match = conversion.match(text);
    if (match.hasMatch())
        text.replace(match.capturedStart(), match.capturedLength(), QString::number(number));
    return text;
}
