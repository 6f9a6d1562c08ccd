#pragma once
// Our dialogs are laid out in dialog units, as their templates give them: a horizontal unit is a
// quarter of the dialog font's average character width and a vertical unit an eighth of its
// height. With the 8-point dialog font at 96 dpi those are 6 and 13 pixels, the figures the
// layouts were drawn for. Qt scales the resulting pixels on high-density screens itself.
#include <QRect>
#include <QSize>

inline constexpr int kDialogBaseUnitX = 6;
inline constexpr int kDialogBaseUnitY = 13;

inline int DialogUnitsToPixelsX(int units) {
    return (units * kDialogBaseUnitX + 2) / 4;
}

inline int DialogUnitsToPixelsY(int units) {
    return (units * kDialogBaseUnitY + 4) / 8;
}

inline QRect DialogRect(int x, int y, int width, int height) {
    return QRect(DialogUnitsToPixelsX(x), DialogUnitsToPixelsY(y), DialogUnitsToPixelsX(width),
                 DialogUnitsToPixelsY(height));
}

inline QSize DialogSize(int width, int height) {
    return QSize(DialogUnitsToPixelsX(width), DialogUnitsToPixelsY(height));
}
