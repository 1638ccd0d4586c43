// SPDX-License-Identifier: MIT
// Helpers of the widget tests.
#pragma once

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <functional>

namespace kavrin::test {

// How long a wait may take before the test calls it a hang. Only a guard against a test that
// would otherwise never end: no test passes or fails on how fast something happened, so the
// guard is far above anything a loaded machine or a sanitizer needs.
inline constexpr int kHangGuardMs = 120000;

// Processes the window's events until `done` holds; false if it never did (a hang).
inline bool WaitUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kHangGuardMs) return false;
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
