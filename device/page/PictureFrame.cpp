#include "device/page/PictureFrame.h"

#include "app/shell/RecordPicture.h"

#include <QEvent>
#include <QPainter>

CPictureView::CPictureView(QWidget* frame) : QWidget(frame) {
    setObjectName(QStringLiteral("pictureView"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(frame->rect());
    frame->installEventFilter(this);
}

bool CPictureView::ShowFile(const QString& path) {
    // The shared loader gives failer.jpg when the picture itself cannot be loaded.
    m_image = LoadRecordPicture(path, &m_shownFile);
    update();
    return !m_image.isNull() && m_shownFile == path;
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
