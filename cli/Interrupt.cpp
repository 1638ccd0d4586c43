// SPDX-License-Identifier: MIT
#include "cli/Interrupt.h"

#include <signal.h>

#include <atomic>

namespace kavrin::cli {
namespace {

// The first stop signal received, 0 before any.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnStopSignal(int number) {
    int none = 0;
    g_signal.compare_exchange_strong(none, number);
    // A second signal ends the program at once.
    for (int stop : kStopSignals) signal(stop, SIG_DFL);
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a question waiting for its answer is interrupted too
    for (int stop : kStopSignals) sigaction(stop, &action, nullptr);
    // A closed standard output is a failed write, which the batch turns into a clean stop,
    // never a death that would leave temporary files behind.
    signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() {
    return g_signal.load() != 0;
}

int InterruptedStatus() {
    int number = g_signal.load();
    return number == 0 ? 0 : 128 + number;
}

}  // namespace kavrin::cli
