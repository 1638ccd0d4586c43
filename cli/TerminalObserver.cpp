#include "cli/TerminalObserver.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace kavrin::cli {
namespace {

// The first stop signal received, 0 before any.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A sixth of a second keeps the line readable and its cost negligible.
constexpr auto kRefresh = std::chrono::milliseconds(166);
constexpr int kBarWidth = 30;

void OnStopSignal(int number) {
    int none = 0;
    g_signal.compare_exchange_strong(none, number);
    // A second signal ends the program at once; a temporary file left then is hidden, never
    // taken for a result, and cleared away by a later run.
    for (int stop : kStopSignals) signal(stop, SIG_DFL);
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a question waiting for its answer is interrupted too
    for (int stop : kStopSignals) sigaction(stop, &action, nullptr);
}

bool Interrupted() {
    return g_signal.load() != 0;
}

int InterruptedStatus() {
    int number = g_signal.load();
    return number == 0 ? 0 : 128 + number;
}

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
    if (!force && now - lastDraw_ < kRefresh) return;
    lastDraw_ = now;
    int filled = steps_ ? static_cast<int>(static_cast<uint64_t>(done_) * kBarWidth / steps_) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    console_.Progress(label_ + " [" + bar + "] " + std::to_string(done_) + "/" +
                      std::to_string(steps_) + (analysing_ ? " analysing" : ""));
}

void TerminalObserver::Clear() {
    console_.Progress("");
}

}  // namespace kavrin::cli
