// The engine's observer for `kvn test`: a throttled progress line on stderr while stderr is a
// terminal, and Ctrl-C as the stop request (the job ends Cancelled at its next chunk). Also
// the program's Ctrl-C handling, which every command shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/Console.h"
#include "engine/EngineObserver.h"

namespace kavrin::cli {

// Installs the handler of Ctrl-C (SIGINT), SIGTERM and SIGHUP: the first of them asks every
// job to stop at its next chunk, so that partial results are deleted; a second one ends the
// program at once.
void InstallInterruptHandler();
bool Interrupted();
// The exit status after a stop signal: 128 + its number (130 for Ctrl-C); 0 without one.
int InterruptedStatus();

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
