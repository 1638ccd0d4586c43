// SPDX-License-Identifier: MIT
#include "app/PushLikeButton.h"

#include <QAccessible>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace kavrin {

QColor PressedFace(const QPalette& palette) {
    const QColor face = palette.color(QPalette::Active, QPalette::Button);
    const QColor tint = palette.color(QPalette::Active, QPalette::Highlight);
    auto mix = [](int a, int b) { return a + (b - a) * 2 / 5; };
    return QColor(mix(face.red(), tint.red()), mix(face.green(), tint.green()),
                  mix(face.blue(), tint.blue()));
}

CPushLikeButton::CPushLikeButton(QWidget* parent) : QToolButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    // Screen readers hear the checked state as the button's pressed state (Accessibility.h):
    // Qt reports the change of the one, this reports the other.
    connect(this, &QAbstractButton::toggled, this, [this] {
        QAccessible::State changed;
        changed.pressed = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    });
}

void CPushLikeButton::paintEvent(QPaintEvent* event) {
    if (!isChecked()) {
        QToolButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QPalette& colours = palette();
    const QRect outer = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), PressedFace(colours));
    // A sunken bevel two pixels deep: shadow along the top and left, light along the bottom
    // and right.
    painter.setPen(colours.color(QPalette::Shadow));
    painter.drawLine(outer.topLeft(), outer.topRight());
    painter.drawLine(outer.topLeft(), outer.bottomLeft());
    painter.setPen(colours.color(QPalette::Dark));
    painter.drawLine(outer.topLeft() + QPoint(1, 1), outer.topRight() + QPoint(-1, 1));
    painter.drawLine(outer.topLeft() + QPoint(1, 1), outer.bottomLeft() + QPoint(1, -1));
    painter.setPen(colours.color(QPalette::Light));
    painter.drawLine(outer.bottomLeft(), outer.bottomRight());
    painter.drawLine(outer.topRight(), outer.bottomRight());

    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    const QPixmap picture = icon().pixmap(iconSize(), devicePixelRatioF(), mode, QIcon::On);
    QRect place(QPoint(0, 0), iconSize());
    place.moveCenter(rect().center() + QPoint(1, 1));
    painter.drawPixmap(place, picture);

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

}  // namespace kavrin
