#pragma once
// The main window's four status fields (1001, 1002, 1032, 1003) without the main window, so a
// page's status texts have somewhere to go. Registered for as long as the object lives.
#include "app/shell/Status.h"

#include <QLabel>
#include <QWidget>

namespace brtxtest {

class StatusWindow {
public:
    StatusWindow() {
        for (int id : {1001, 1002, 1032, 1003}) {
            auto* label = new QLabel(&m_window);
            label->setObjectName(QString::number(id));
        }
        RegisterMainWindow(&m_window);
    }
    ~StatusWindow() { RegisterMainWindow(nullptr); }
    QString status() const { return m_window.findChild<QLabel*>("1003")->text(); }

private:
    QWidget m_window;
};

} // namespace brtxtest
