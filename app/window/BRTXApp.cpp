#include "app/window/BRTXApp.h"

#include "app/shell/ControlId.h"
#include "app/shell/Look.h"
#include "app/shell/Status.h"
#include "app/window/BRTXDlg.h"
#include "device/page/FirstPage.h"

#include <QApplication>

CBRTXApp::CBRTXApp(QApplication& app) : m_app(app) {}

bool CBRTXApp::InitInstance() {
    ApplyLook(m_app);
    CBRTXDlg dlg(nullptr, &m_language);
    if (!m_address.isEmpty())
        dlg.DevicePage()->SetAddress(m_address);
    if (!m_startStatus.isEmpty())
        ShowFieldText(&dlg, MainIds::kStatus, m_language.GetText(m_startStatus));
    dlg.exec();
    return false;
}
