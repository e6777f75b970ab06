#pragma once
// Localised texts from Language.ini in the program folder. A CLanguage is a small value (the
// file's path and the language chosen in it when it was made); each program makes one at its
// start and hands it (or copies of it) to the parts that show texts. Texts are read from the
// file on every look-up.
#include <QString>
#include <QStringList>

class CLanguage {
public:
    CLanguage(); // takes the file path and [Global] Language now
    QString GetText(const QString& key) const;
    // The text of key used as a format with one number: its first "%d" (or "%u", "%i", "%ld")
    // becomes number in decimal. The text is never handed to printf, so a translation holding
    // other conversions cannot do harm.
    QString GetTextNumber(const QString& key, qint64 number) const;
    int GetTextList(QStringList& list, const QString& key, const QString& separator) const;
    QString ReadLanguage() const;   // [Global] Language, default "English"
    QString ReadDeviceType() const; // [Global] DeviceType, default "4Q", read on every call
    // Any [Global] value (read on every call), for settings such as StrictTiming.
    QString ReadGlobal(const QString& key, const QString& def = QString()) const;
    QString FilePath() const { return m_path; }

private:
    QString m_path;
    QString m_language;
};
