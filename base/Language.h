#pragma once
// Localised texts from Language.ini in the program folder.
#include <QString>
#include <QStringList>

class CLanguage {
public:
    CLanguage(); // takes the file path and [Global] Language now
    QString GetText(const QString& key) const;
    // The text of key used as a format with one number (see the free GetTextNumber below).
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

// The process-wide table, made on first use, for code that is not handed a CLanguage of its
// own (the history pages and brtx-cli for now). ResetLanguage() makes a new one (tests that
// switch BRTX_HOME call it). The device page and the device work take the program's object.
CLanguage& Language();
void ResetLanguage();

// Shorthands for Language().
QString GetText(const QString& key);
int GetTextList(QStringList& list, const QString& key, const QString& separator);
QString ReadLanguage();
QString ReadDeviceType();

// The looked-up text of key used as a format with one number: its first "%d" (or "%u", "%i",
// "%ld") becomes number in decimal. The text is never handed to printf, so a translation
// holding other conversions cannot do harm. The status texts of the record download use this.
QString GetTextNumber(const QString& key, qint64 number);
