#include "app/window/BRTXApp.h"

#include "app/shell/Look.h"
#include "app/window/BRTXDlg.h"

#include <QApplication>

CBRTXApp::CBRTXApp(QApplication& app) : m_app(app) {}

bool CBRTXApp::InitInstance() {
    ApplyLook(m_app);
    CBRTXDlg dlg(nullptr, &m_language);
    dlg.exec();
    return false;
}
