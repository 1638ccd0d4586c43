// SPDX-License-Identifier: MIT
#include "cli/TerminalObserver.h"

#include <cstdio>

#include "cli/Interrupt.h"
#include "cli/Translate.h"

namespace kavrin::cli {
namespace {

constexpr int kBarWidth = 30;

}  // namespace

TerminalObserver::TerminalObserver(std::string label, bool showProgress)
    : label_(std::move(label)), show_(showProgress && console_.ShowsProgress()) {}

TerminalObserver::~TerminalObserver() = default;

bool TerminalObserver::IsRunning() {
    return !Interrupted();
}

void TerminalObserver::BeginProgress(uint32_t steps) {
    steps_ = steps;
    done_ = 0;
    Draw(true);
}

void TerminalObserver::StepProgress() {
    if (done_ < steps_) ++done_;
    Draw(done_ == steps_);
}

void TerminalObserver::ResetProgress() {
    done_ = 0;
    Draw(true);
}

void TerminalObserver::Draw(bool force) {
    if (!show_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < kProgressRefresh) return;
    lastDraw_ = now;
    int filled = steps_ ? static_cast<int>(static_cast<uint64_t>(done_) * kBarWidth / steps_) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    console_.Progress(label_ + " [" + bar + "] " + std::to_string(done_) + "/" +
                      std::to_string(steps_) +
                      (analysing_ ? std::string(" ") + Tr("analysing") : ""));
}

void TerminalObserver::Clear() {
    console_.Progress("");
}

}  // namespace kavrin::cli
