// SPDX-License-Identifier: MIT
// Dialog units: the window's layout is given in units of the dialog font, a quarter of its
// average character width across and an eighth of its line height down, so the window grows
// with the font the desktop uses and its texts keep fitting.
//
// Any thread (font metrics only).
#pragma once

#include <QFont>
#include <QRect>

namespace kavrin {

class DialogUnits {
public:
    // The units of `font`: its average character width (over the 52 Latin letters, rounded)
    // and its line height.
    explicit DialogUnits(const QFont& font);
    DialogUnits(int averageCharWidth, int lineHeight)
        : m_charWidth(averageCharWidth), m_lineHeight(lineHeight) {}

    int X(int units) const { return Scale(units, m_charWidth, 4); }
    int Y(int units) const { return Scale(units, m_lineHeight, 8); }
    // A rectangle given in dialog units, in pixels.
    QRect ToPixels(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }

private:
    // units x base / divisor, rounded to the nearest pixel.
    static int Scale(int units, int base, int divisor) {
        return (units * base + divisor / 2) / divisor;
    }

    int m_charWidth;
    int m_lineHeight;
};

}  // namespace kavrin
