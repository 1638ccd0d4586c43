// SPDX-License-Identifier: MIT
#include "app/DialogUnits.h"

#include <QFontMetrics>

namespace kavrin {

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_charWidth = (letters / 26 + 1) / 2;
    m_lineHeight = metrics.height();
}

}  // namespace kavrin
