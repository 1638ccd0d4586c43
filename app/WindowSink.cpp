// SPDX-License-Identifier: MIT
#include "app/WindowSink.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QWidget>
#include <algorithm>
#include <utility>

#include "app/Accessibility.h"
#include "res/Resources.h"

namespace kavrin {

std::array<QPixmap, 3> MakeLampBitmaps(qreal devicePixelRatio) {
    return {res::LampBitmap(kLampOff, devicePixelRatio), res::LampBitmap(kLampOn, devicePixelRatio),
            res::LampBitmap(kLampAnalysis, devicePixelRatio)};
}

CWindowSink::CWindowSink(QWidget& window, QProgressBar& progress, QLabel& analysisLamp,
                         QLabel& transferLamp, QLabel& codingLamp,
                         const std::array<QPixmap, 3>& lamps, std::function<void()> onStep)
    : m_window(window),
      m_progress(progress),
      m_analysisLamp(analysisLamp),
      m_transferLamp(transferLamp),
      m_codingLamp(codingLamp),
      m_lamps(lamps),
      m_onStep(std::move(onStep)) {}

void CWindowSink::BeginProgress(uint32_t steps) {
    QProgressBar* bar = &m_progress;
    const int maximum = static_cast<int>(std::min<uint32_t>(steps, INT32_MAX));
    QMetaObject::invokeMethod(
        bar,
        [bar, maximum] {
            bar->setRange(0, maximum);
            bar->setValue(0);
        },
        Qt::QueuedConnection);
}

void CWindowSink::StepProgress() {
    if (m_onStep) m_onStep();
    QProgressBar* bar = &m_progress;
    QMetaObject::invokeMethod(
        bar, [bar] { bar->setValue(std::min(bar->value() + 1, bar->maximum())); },
        Qt::QueuedConnection);
}

void CWindowSink::ResetProgress() {
    QProgressBar* bar = &m_progress;
    QMetaObject::invokeMethod(
        bar, [bar] { bar->setValue(0); }, Qt::QueuedConnection);
}

void CWindowSink::SetLamps(LampPhase phase) {
    QLabel* transfer = &m_transferLamp;
    QLabel* coding = &m_codingLamp;
    const bool transferLit = phase == LampPhase::Transfer;
    const bool codingLit = phase == LampPhase::Coding;
    const QPixmap& transferPicture = m_lamps[transferLit ? kLampOn : kLampOff];
    const QPixmap& codingPicture = m_lamps[codingLit ? kLampOn : kLampOff];
    QMetaObject::invokeMethod(
        transfer,
        [transfer, coding, &transferPicture, &codingPicture, transferLit, codingLit] {
            ShowLamp(*transfer, transferPicture, transferLit);
            ShowLamp(*coding, codingPicture, codingLit);
        },
        Qt::QueuedConnection);
}

void CWindowSink::SetAnalysisLamp(bool on) {
    QLabel* lamp = &m_analysisLamp;
    const QPixmap& picture = m_lamps[on ? kLampAnalysis : kLampOff];
    QMetaObject::invokeMethod(
        lamp, [lamp, &picture, on] { ShowLamp(*lamp, picture, on); }, Qt::QueuedConnection);
}

void CWindowSink::PostJobFinished(const JobEnd& end) {
    QCoreApplication::postEvent(&m_window, new JobFinishedEvent(end));
}

}  // namespace kavrin
