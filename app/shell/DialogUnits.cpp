#include "app/shell/DialogUnits.h"

#include <QFontMetrics>
#include <QScreen>

namespace {
int MulDiv(int value, int mul, int div) {
    // Rounded like the Windows helper of the same name.
    const long long product = static_cast<long long>(value) * mul;
    return static_cast<int>((product >= 0 ? product + div / 2 : product - div / 2) / div);
}
} // namespace

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((letters / 26 + 1) / 2, metrics.height());
}

QRect DialogUnitsToPixels(const QRect& dlu, const QSize& baseUnits) {
    const int left = MulDiv(dlu.left(), baseUnits.width(), 4);
    const int top = MulDiv(dlu.top(), baseUnits.height(), 8);
    const int right = MulDiv(dlu.left() + dlu.width(), baseUnits.width(), 4);
    const int bottom = MulDiv(dlu.top() + dlu.height(), baseUnits.height(), 8);
    return QRect(left, top, right - left, bottom - top);
}

QFont DialogFont(const QSize& dluSize, const QScreen* screen) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Shell Dlg"), QStringLiteral("Tahoma"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Droid Sans Fallback")});
    font.setPointSize(9);
    if (!screen || dluSize.isEmpty())
        return font;
    const QSize room = screen->availableGeometry().size();
    for (int points = 9; points >= 7; --points) {
        font.setPointSize(points);
        const QRect px = DialogUnitsToPixels(QRect(QPoint(0, 0), dluSize), DialogBaseUnits(font));
        if (px.width() <= room.width() && px.height() <= room.height())
            break;
    }
    return font;
}
