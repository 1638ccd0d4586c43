// Helpers of the widget tests.
#pragma once

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <functional>

namespace kavrin::test {

// Processes the window's events until `done` holds; false after `limitMs`.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// How many pixels of `widget`, drawn now, show exactly `colour`.
inline int CountColour(QWidget& widget, QColor colour) {
    const QImage image = widget.grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y) == colour;
    }
    return count;
}

}  // namespace kavrin::test
