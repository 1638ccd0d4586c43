#include "lists/RowImages.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace kavrin {
namespace {

// A 14 x 14 square one pixel in from each edge: a black outline, a light top and left edge,
// a dark bottom and right edge, and the face between them.
QPixmap BevelledSquare(QColor light, QColor face, QColor dark) {
    QImage image(kRowImageSize, kRowImageSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    const int first = 1;
    const int last = kRowImageSize - 2;
    painter.fillRect(QRect(QPoint(first, first), QPoint(last, last)), Qt::black);
    painter.fillRect(QRect(QPoint(first + 1, first + 1), QPoint(last - 1, last - 1)), dark);
    painter.fillRect(QRect(QPoint(first + 1, first + 1), QPoint(last - 2, last - 2)), light);
    painter.fillRect(QRect(QPoint(first + 2, first + 2), QPoint(last - 2, last - 2)), face);
    painter.end();
    return QPixmap::fromImage(image);
}

}  // namespace

CImageList CImageList::MakeRowImages() {
    CImageList images;
    images.m_icons.emplace_back(
        BevelledSquare(QColor(0, 255, 255), QColor(0, 128, 128), QColor(0, 64, 64)));
    images.m_icons.emplace_back(
        BevelledSquare(QColor(0, 255, 0), QColor(0, 128, 0), QColor(0, 64, 0)));
    return images;
}

QIcon CImageList::Icon(int index) const {
    if (index < 0 || index >= Count()) return QIcon();
    return m_icons[static_cast<size_t>(index)];
}

}  // namespace kavrin
