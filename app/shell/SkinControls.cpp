#include "app/shell/SkinControls.h"

#include "app/shell/Look.h"

#include <QEnterEvent>
#include <QPainter>
#include <QTabBar>

CLabel::CLabel(QWidget* parent) : QLabel(parent) {
    QFont f = font();
    f.setPixelSize(15);
    setFont(f);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    pal.setColor(QPalette::Window, QColor(240, 250, 255));
    setPalette(pal);
    setAutoFillBackground(true);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setIndent(4);
    setTextFormat(Qt::PlainText);
}

CButtonST::CButtonST(QWidget* parent) : QToolButton(parent) {
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setAutoRaise(true);
    setIconSize(QSize(32, 32));
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void CButtonST::SetIcon(const QString& resource) {
    InitShellResources();
    setIcon(QIcon(resource));
}

CBmpButton::CBmpButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
}

void CBmpButton::LoadBitmaps(const QString& normal, const QString& hover, const QString& pressed) {
    InitShellResources();
    m_normal = QPixmap(normal);
    m_hover = hover.isEmpty() ? m_normal : QPixmap(hover);
    m_pressed = pressed.isEmpty() ? m_hover : QPixmap(pressed);
    updateGeometry();
    update();
}

QSize CBmpButton::sizeHint() const {
    return m_normal.isNull() ? QSize(16, 16) : m_normal.deviceIndependentSize().toSize();
}

void CBmpButton::paintEvent(QPaintEvent*) {
    const QPixmap& pix = isDown() ? m_pressed : (m_under ? m_hover : m_normal);
    if (pix.isNull())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(rect(), pix);
}

void CBmpButton::enterEvent(QEnterEvent* event) {
    m_under = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CBmpButton::leaveEvent(QEvent* event) {
    m_under = false;
    update();
    QAbstractButton::leaveEvent(event);
}

CSkinTabCtrl::CSkinTabCtrl(QWidget* parent) : QTabWidget(parent) {
    InitShellResources();
    setDocumentMode(false);
    setUsesScrollButtons(false);
    tabBar()->setDrawBase(false);
    tabBar()->setExpanding(false);
    tabBar()->setFocusPolicy(Qt::NoFocus);
    QFont bold = tabBar()->font();
    bold.setBold(true); // every host shows one tab, and the selected tab's text is bold
    tabBar()->setFont(bold);
    ApplySkin();
}

void CSkinTabCtrl::SetItemSize(const QSize& size, int minWidth) {
    m_itemSize = size;
    m_minWidth = minWidth;
    ApplySkin();
}

int CSkinTabCtrl::AddPage(QWidget* page, const QString& text) {
    return addTab(page, text);
}

void CSkinTabCtrl::ApplySkin() {
    // The skin images are cut into corners and edges so a tab of any width keeps its look.
    tabBar()->setStyleSheet(
        QStringLiteral("QTabBar::tab { border-image: url(:/brtx/tab.png) 6 6 2 6 stretch; "
                       "border-width: 6px 6px 2px 6px; color: #45617c; padding: 0 8px; "
                       "min-width: %1px; height: %2px; }"
                       "QTabBar::tab:selected { border-image: url(:/brtx/tab_selected.png) 6 6 2 "
                       "6 stretch; color: #0d3b66; }")
            .arg(m_minWidth - 16 - 12 > 0 ? m_minWidth - 16 - 12 : 0)
            .arg(m_itemSize.height() - 8));
}
