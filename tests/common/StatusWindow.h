#pragma once
// The main window's four status fields (1001, 1002, 1032, 1003) without the main window, so a
// page's status texts have somewhere to go: Follow(page) shows what the page reports by its
// signals, as the main window does.
#include <QLabel>
#include <QObject>
#include <QStringList>
#include <QWidget>

namespace brtxtest {

class StatusWindow {
public:
    StatusWindow() {
        for (int id : {1001, 1002, 1032, 1003}) {
            auto* label = new QLabel(&m_window);
            label->setObjectName(QString::number(id));
        }
    }
    // Shows what the page reports through its statusChanged signal and, where the page has
    // them, versionChanged, deviceIdChanged and totalChanged.
    template <class Page> void Follow(Page* page) {
        QObject::connect(page, &Page::statusChanged, &m_window, [this](const QString& text) {
            m_seen << text;
            label(1003)->setText(text);
        });
        auto to = [this](int id) {
            return [label = label(id)](const QString& text) { label->setText(text); };
        };
        if constexpr (requires { &Page::versionChanged; }) {
            QObject::connect(page, &Page::versionChanged, &m_window, to(1001));
            QObject::connect(page, &Page::deviceIdChanged, &m_window, to(1002));
            QObject::connect(page, &Page::totalChanged, &m_window, to(1032));
        }
    }
    QString field(int id) const { return label(id)->text(); }
    QString status() const { return field(1003); }
    // Every status text a followed page reported, so a test sees a text that a later one
    // replaced before the test looked.
    bool saw(const QString& text) const { return m_seen.contains(text); }
    QString version() const { return field(1001); }
    QString deviceId() const { return field(1002); }
    QString total() const { return field(1032); }
    void clearStatus() { label(1003)->clear(); }

private:
    QLabel* label(int id) const { return m_window.findChild<QLabel*>(QString::number(id)); }

    QWidget m_window;
    QStringList m_seen;
};

} // namespace brtxtest
