// SPDX-License-Identifier: MIT
// kavrin-render-icon: draws a scalable picture into a square PNG of the given size, for the
// icon sizes a desktop theme wants beside the scalable one.
//
//   kavrin-render-icon IN.svg SIZE OUT.png
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kavrin-render-icon IN.svg SIZE OUT.png\n");
        return 2;
    }
    // A picture without text needs no application object, and so no display either.
    const int size = std::atoi(argv[2]);
    QSvgRenderer picture(QString::fromLocal8Bit(argv[1]));
    if (!picture.isValid() || size <= 0) {
        std::fprintf(stderr, "kavrin-render-icon: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    picture.render(&painter);
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[3])) ? 0 : 1;
}
