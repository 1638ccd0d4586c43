// SPDX-License-Identifier: MIT
// What the engine calls instead of touching a window. The engine draws nothing itself: the
// worker implements this over the main window, `kvn` over a terminal line, tests over a
// recorder. All calls come from the thread running the job, in order.
#pragma once

#include <cstdint>

namespace kavrin {

// The two activity lamps: reading/writing a chunk ("transfer") and the codec at work ("coding").
enum class LampPhase { Off = 0, Transfer = 1, Coding = 2 };

class EngineObserver {
public:
    virtual ~EngineObserver() = default;
    // True while the job is wanted; asked at every chunk read and write and at the end of a job.
    virtual bool IsRunning() = 0;
    // The progress display runs from 0 to `steps`, one step per input chunk.
    virtual void BeginProgress(uint32_t steps) = 0;
    virtual void StepProgress() = 0;
    virtual void ResetProgress() = 0;
    virtual void SetLamps(LampPhase phase) = 0;
    // The analysis lamp shows the Auto trial.
    virtual void SetAnalysisLamp(bool on) = 0;
};

// An observer that shows nothing and never stops the job: for work no one watches (a library
// call, a benchmark, a fuzz target).
class QuietEngineObserver : public EngineObserver {
public:
    bool IsRunning() override { return true; }
    void BeginProgress(uint32_t) override {}
    void StepProgress() override {}
    void ResetProgress() override {}
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool) override {}
};

}  // namespace kavrin
