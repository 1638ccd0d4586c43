// SPDX-License-Identifier: MIT
// The worker's view of the main window: the job progress bar (1014) and the three lamps
// (1016 analysis, 1017 transfer, 1018 coding), and the "job finished" event.
//
// Every call comes from the worker thread and is queued to the window's thread, never waited
// for: the worker cannot block on the window, so closing the window cannot deadlock. The
// job-finished event is posted after the updates that preceded it and is delivered after them.
//
// The window owns the sink and stops the worker before it destroys the sink or the controls.
#pragma once

#include <QEvent>
#include <QPixmap>
#include <array>
#include <functional>

#include "jobs/Worker.h"

class QLabel;
class QProgressBar;
class QWidget;

namespace kavrin {

// The lamp pictures (resources 139 to 141): 8 x 8 squares of one colour each.
enum LampPicture { kLampOff = 0, kLampOn = 1, kLampAnalysis = 2 };
std::array<QPixmap, 3> MakeLampBitmaps(qreal devicePixelRatio = 1.0);

// The event type of the worker's "job finished" notification.
inline constexpr int WM_JOB_FINISHED = 1124;

// The posted "job finished" event, with how the job ended.
class JobFinishedEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(WM_JOB_FINISHED);
    explicit JobFinishedEvent(const JobEnd& end) : QEvent(kType), end(end) {}
    const JobEnd end;
};

class CWindowSink : public WorkerSink {
public:
    // The pictures are the window's (m_hLampBitmaps); they must outlive the worker.
    // `onStep`, when given, runs on the worker at every progress step before the step is queued
    // (a test seam: WindowSeams::workerStep).
    CWindowSink(QWidget& window, QProgressBar& progress, QLabel& analysisLamp, QLabel& transferLamp,
                QLabel& codingLamp, const std::array<QPixmap, 3>& lamps,
                std::function<void()> onStep = {});

    void BeginProgress(uint32_t steps) override;
    void StepProgress() override;
    void ResetProgress() override;
    void SetLamps(LampPhase phase) override;
    void SetAnalysisLamp(bool on) override;
    void PostJobFinished(const JobEnd& end) override;

private:
    QWidget& m_window;
    QProgressBar& m_progress;
    QLabel& m_analysisLamp;
    QLabel& m_transferLamp;
    QLabel& m_codingLamp;
    const std::array<QPixmap, 3>& m_lamps;
    const std::function<void()> m_onStep;
};

}  // namespace kavrin
