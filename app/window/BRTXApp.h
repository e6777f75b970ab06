#pragma once
// The application object: applies the program's look and runs the main window modally; the
// process ends when the window closes.
#include "base/Language.h"

class QApplication;

class CBRTXApp {
public:
    explicit CBRTXApp(QApplication& app);
    // An instrument's address typed into the device page when the window opens (brtx --address).
    void SetAddress(const QString& address) { m_address = address; }
    // Runs the main window; returns false once it has closed (the process then ends).
    bool InitInstance();
    // A status key shown once on the window's status line when it opens (empty: none).
    void SetStartStatus(const QString& key) { m_startStatus = key; }

private:
    QString m_startStatus;
    QApplication& m_app;
    CLanguage m_language; // the program's texts, read once at the start
    QString m_address;
};
