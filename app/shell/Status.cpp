#include "app/shell/Status.h"

#include "app/shell/ControlId.h"

#include <QLabel>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QVariant>

namespace {

// The registered main window. Worker threads read it, so it is only touched under the lock;
// the window unregisters itself (and its destroyed() signal does too) before it goes away, so
// a text posted to it under the lock is either delivered or dropped with the window's events.
QMutex g_lock;
QWidget* g_main = nullptr;

void ApplyText(QWidget* window, int id, const QString& text) {
    QWidget* field = FindControl(window, id);
    if (!field)
        return;
    if (auto* label = qobject_cast<QLabel*>(field)) {
        label->setText(text);
        // A long status text is cut by its field; the whole text stays readable as a tip.
        label->setToolTip(text);
    } else {
        field->setProperty("text", text);
    }
}

void SetField(int id, const QString& text) {
    QMutexLocker lock(&g_lock);
    QWidget* window = g_main;
    if (!window)
        return;
    if (QThread::currentThread() == window->thread()) {
        lock.unlock();
        ApplyText(window, id, text);
        return;
    }
    // Another thread never touches a widget: the text travels to the window's thread. The
    // window is the context object, so the call is dropped if the window is gone by then.
    QMetaObject::invokeMethod(
        window,
        [window, id, text] {
            QMutexLocker check(&g_lock);
            if (g_main != window)
                return;
            check.unlock();
            ApplyText(window, id, text);
        },
        Qt::QueuedConnection);
}

} // namespace

void SetStatusText(const QString& text) {
    SetField(MainIds::kStatus, text);
}
void SetVersionText(const QString& text) {
    SetField(MainIds::kVersion, text);
}
void SetDeviceIdText(const QString& text) {
    SetField(MainIds::kDeviceId, text);
}
void SetTotalNumberText(const QString& text) {
    SetField(MainIds::kTotal, text);
}

void RegisterMainWindow(QWidget* window) {
    QMutexLocker lock(&g_lock);
    g_main = window;
    if (window) {
        QObject::connect(window, &QObject::destroyed, [window] {
            QMutexLocker inner(&g_lock);
            if (g_main == window)
                g_main = nullptr;
        });
    }
}

QWidget* MainWindow() {
    QMutexLocker lock(&g_lock);
    return g_main;
}
