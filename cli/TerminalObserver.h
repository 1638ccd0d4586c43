// SPDX-License-Identifier: MIT
// The engine's observer for `kvn test`: a throttled progress line on stderr while stderr is a
// terminal, and a stop signal (cli/Interrupt.h) as the stop request: the job ends Cancelled at
// its next chunk.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/Console.h"
#include "engine/EngineObserver.h"

namespace kavrin::cli {

class TerminalObserver : public EngineObserver {
public:
    // `label` names the file on the progress line; `showProgress` false keeps stderr quiet.
    TerminalObserver(std::string label, bool showProgress);
    ~TerminalObserver() override;

    bool IsRunning() override;
    void BeginProgress(uint32_t steps) override;
    void StepProgress() override;
    void ResetProgress() override;
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool on) override { analysing_ = on; }

    // Removes the progress line, so that a report line can take its place.
    void Clear();

private:
    void Draw(bool force);

    TerminalConsole console_;  // draws and removes the line
    std::string label_;
    bool show_;
    bool analysing_ = false;
    uint32_t steps_ = 0;
    uint32_t done_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace kavrin::cli
