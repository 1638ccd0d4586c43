// SPDX-License-Identifier: MIT
// A push-like radio button or check box with an icon (Start and Stop, the two destination
// buttons, Delete Source): raised when off and clearly pressed in when on, enabled or not.
//
// The desktop style draws a checked tool button only a shade darker than a raised one, and
// hardly at all once it is also greyed, so Start and Stop looked alike. Checked, the button is
// drawn here: a face tinted with the selection colour, a sunken bevel, the icon pushed one
// pixel down and to the right (greyed when the button is disabled). Unchecked, the style draws
// it as usual. Screen readers hear it as a push button that is pressed or not
// (Accessibility.h).
//
// Window thread only.
#pragma once

#include <QColor>
#include <QPalette>
#include <QToolButton>

namespace kavrin {

// The face of a pressed-in button: the button colour taken 40 % of the way towards the active
// selection colour, so it stands apart from a raised face in light and dark palettes, greyed
// or not.
QColor PressedFace(const QPalette& palette);

class CPushLikeButton : public QToolButton {
public:
    explicit CPushLikeButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace kavrin
