// Dialog forms keep their rectangles in dialog units, as the station's dialog
// templates define them; this turns them into pixels for the dialog's font.
#pragma once
#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace ui {

// Base units of a font as Windows computes them for dialogs: the average width
// of the 52 Latin letters (rounded) and the font's height.
QSize DialogBaseUnits(const QFont& font);

// Dialog units -> pixels: x and width by base width / 4, y and height by
// base height / 8, rounded as MulDiv rounds.
QRect DialogUnitsToPixels(const QRect& dialogUnits, const QSize& baseUnits);

// For a form whose "dialogUnits" property is true: converts the dialog's size
// and the rectangle of each direct child from dialog units to pixels, once,
// after giving the logical "MS Shell Dlg" font an installed family.
// Drop-down lists keep their own height (their template height includes the
// open list).
void ApplyDialogUnits(QWidget* dialog);

}  // namespace ui
