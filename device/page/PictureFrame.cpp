#include "device/page/PictureFrame.h"

#include "app/base/Paths.h"

#include <QEvent>
#include <QImageReader>
#include <QPainter>

CPictureView::CPictureView(QWidget* frame) : QWidget(frame) {
    setObjectName(QStringLiteral("pictureView"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(frame->rect());
    frame->installEventFilter(this);
}

namespace {
QImage loadImage(const QString& path) {
    if (path.isEmpty())
        return QImage();
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read();
}
} // namespace

bool CPictureView::ShowFile(const QString& path) {
    m_image = loadImage(path);
    const bool loaded = !m_image.isNull();
    m_shownFile = path;
    if (!loaded) {
        m_shownFile = GetAppFolder() + QStringLiteral("/failer.jpg");
        m_image = loadImage(m_shownFile);
        if (m_image.isNull())
            m_shownFile.clear();
    }
    update();
    return loaded;
}

void CPictureView::Clear() {
    m_image = QImage();
    m_shownFile.clear();
    update();
}

void CPictureView::paintEvent(QPaintEvent*) {
    if (m_image.isNull())
        return;
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.drawImage(QPoint(0, 0), m_image);
}

bool CPictureView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(static_cast<QWidget*>(watched)->rect());
    return QWidget::eventFilter(watched, event);
}
