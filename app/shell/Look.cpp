#include "app/shell/Look.h"

#include "app/shell/DialogUnits.h"

#include <QApplication>
#include <QFile>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

// Resource initialisers live outside any namespace.
static void InitShellQrc() {
    Q_INIT_RESOURCE(shell);
}

void InitShellResources() {
    static const bool done = (InitShellQrc(), true);
    (void)done;
}

QString LookStyleSheet() {
    InitShellResources();
    QFile file(QStringLiteral(":/brtx/look.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void ApplyLook(QApplication& app) {
    InitShellResources();
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(fusion);
    QPalette pal = app.style()->standardPalette();
    pal.setColor(QPalette::Window, QColor(0xe6, 0xef, 0xf8));
    pal.setColor(QPalette::WindowText, QColor(0x1b, 0x2a, 0x38));
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::AlternateBase, QColor(0xf3, 0xf8, 0xfc));
    pal.setColor(QPalette::Button, QColor(0xea, 0xf2, 0xfa));
    pal.setColor(QPalette::ButtonText, QColor(0x16, 0x3a, 0x5c));
    pal.setColor(QPalette::Highlight, QColor(0x1e, 0x6f, 0xb8));
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::ToolTipBase, QColor(0xff, 0xfe, 0xf4));
    pal.setColor(QPalette::ToolTipText, QColor(0x1b, 0x2a, 0x38));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9a, 0xa8, 0xb5));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9a, 0xa8, 0xb5));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x9a, 0xa8, 0xb5));
    app.setPalette(pal);
    app.setFont(DialogFont());
    app.setStyleSheet(LookStyleSheet());
}
