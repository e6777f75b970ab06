#pragma once
// Dialog units: layout measures that grow with the dialog font. One horizontal unit is a
// quarter of the font's average character width, one vertical unit an eighth of its height,
// where the average width is taken over the 52 Latin letters the usual way.
#include <QFont>
#include <QRect>
#include <QSize>

class QScreen;

// Base units of a font: average character width and character height in pixels.
QSize DialogBaseUnits(const QFont& font);

// A rectangle in dialog units converted to pixels with the given base units.
QRect DialogUnitsToPixels(const QRect& dlu, const QSize& baseUnits);

// The dialog font of the program's windows (9 pt in the Windows dialog font or its
// look-alikes). With a screen, the size is lowered step by step (down to 7 pt) until a dialog
// of dluSize fits into the screen's available area.
QFont DialogFont(const QSize& dluSize = QSize(), const QScreen* screen = nullptr);
