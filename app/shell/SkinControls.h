#pragma once
// The owner-drawn controls of the main window, shared by any window that wants the same look.
// Their colours come from the program's style sheet (Look.h) where one applies; the
// properties fixed by the window design (label font and colours, tab item size) are set here
// so the controls look right without it too.
#include <QAbstractButton>
#include <QLabel>
#include <QPixmap>
#include <QTabWidget>
#include <QToolButton>

// A field label: 15-pixel character height, black on pale blue (240, 250, 255).
class CLabel : public QLabel {
    Q_OBJECT
public:
    explicit CLabel(QWidget* parent = nullptr);
};

// A page button of the title strip: icon above its text.
class CButtonST : public QToolButton {
    Q_OBJECT
public:
    explicit CButtonST(QWidget* parent = nullptr);
    void SetIcon(const QString& resource); // loaded at its own size, shown at 32 x 32
};

// A button drawn from images: normal, under the mouse, pressed.
class CBmpButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit CBmpButton(QWidget* parent = nullptr);
    void LoadBitmaps(const QString& normal, const QString& hover = QString(),
                     const QString& pressed = QString());
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap m_normal;
    QPixmap m_hover;
    QPixmap m_pressed;
    bool m_under = false;
};

// A tab control drawn with the program's tab skin; hosts pages as its tabs.
class CSkinTabCtrl : public QTabWidget {
    Q_OBJECT
public:
    explicit CSkinTabCtrl(QWidget* parent = nullptr);
    // Tab items of the given size; minWidth is the least width of a tab whose text is short.
    void SetItemSize(const QSize& size, int minWidth);
    // Adds page as a tab with the given text; the first tab is the one shown.
    int AddPage(QWidget* page, const QString& text);

private:
    void ApplySkin();
    QSize m_itemSize{80, 28};
    int m_minWidth = 80;
};
