#include "app/shell/Status.h"

#include "app/shell/ControlId.h"

#include <QFontMetrics>
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

// A field draws its text at the field's own pixel size; a text too wide for the field is
// drawn smaller, down to 10 pixels, rather than cut off: the status line is the only place
// where the program tells the user how an operation ended.
void FitText(QLabel* label, const QString& text) {
    constexpr int kSmallest = 10;
    const char* kDesign = "brtxDesignPixelSize";
    if (!label->property(kDesign).isValid()) {
        label->ensurePolished();
        label->setProperty(kDesign, label->font().pixelSize());
    }
    const int design = label->property(kDesign).toInt();
    if (design <= 0)
        return;
    const int room = label->contentsRect().width() - qMax(0, label->indent()) - 2;
    QFont font = label->font();
    int size = design;
    font.setPixelSize(size);
    while (size > kSmallest && QFontMetrics(font).horizontalAdvance(text) > room)
        font.setPixelSize(--size);
    // The program's style sheet sets the fields' size too; the field's own sheet wins over it.
    const QString sheet = size == design ? QString() : QStringLiteral("font-size: %1px;").arg(size);
    if (label->styleSheet() != sheet) // a download sets many texts of the same size in a row
        label->setStyleSheet(sheet);
    label->setFont(font);
}

void ApplyText(QWidget* window, int id, const QString& text);

} // namespace

void ShowFieldText(QWidget* window, int id, const QString& text) {
    ApplyText(window, id, text);
}

namespace {

void ApplyText(QWidget* window, int id, const QString& text) {
    QWidget* field = FindControl(window, id);
    if (!field)
        return;
    if (auto* label = qobject_cast<QLabel*>(field)) {
        FitText(label, text);
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
