// SPDX-License-Identifier: MIT
#include "platform/FaultInjection.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace kavrin::platform {
namespace {

constexpr int kOps = static_cast<int>(FaultOp::Count);

std::atomic<bool> g_armed{false};
std::atomic<int> g_counts[kOps];
std::atomic<int> g_op{0};
std::atomic<int> g_nth{0};
std::atomic<int> g_error{0};
std::atomic<bool> g_shortRead{false};
std::atomic<bool> g_corrupt{false};
std::atomic<int> g_change{0};  // 0 none, 1 append, 2 rewrite in place
// Counting is only needed while a test looks; it starts with the first Inject or Clear.
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_transferLimit{0};
std::atomic<bool> g_noHardLinks{false};
// The armed action; taken out under the lock by the call that runs it.
std::mutex g_actionLock;
std::function<void()> g_action;

void ResetCounts() {
    for (auto& count : g_counts) count.store(0);
}

// Arms one fault of any kind, the earlier one disarmed first.
void Arm(FaultOp op, int nth, int error, bool shortRead, bool corrupt, int change,
         std::function<void()> action) {
    g_armed.store(false);
    ResetCounts();
    g_op.store(static_cast<int>(op));
    g_nth.store(nth);
    g_error.store(error);
    g_shortRead.store(shortRead);
    g_corrupt.store(corrupt);
    g_change.store(change);
    {
        std::lock_guard<std::mutex> lock(g_actionLock);
        g_action = std::move(action);
    }
    g_counting.store(true);
    g_armed.store(true);
}

}  // namespace

void InjectFault(FaultOp op, int nth, int error, bool shortRead) {
    Arm(op, nth, error, shortRead, false, 0, nullptr);
}

void InjectCorruption(FaultOp op, int nth) {
    Arm(op, nth, 0, false, true, 0, nullptr);
}

void InjectSourceChange(int nth, bool append) {
    Arm(FaultOp::Read, nth, 0, false, false, append ? 1 : 2, nullptr);
}

void InjectAction(FaultOp op, int nth, std::function<void()> action) {
    Arm(op, nth, 0, false, false, 0, std::move(action));
}

void SimulateNoHardLinks(bool on) {
    g_noHardLinks.store(on);
}

void ClearFaults() {
    g_armed.store(false);
    {
        std::lock_guard<std::mutex> lock(g_actionLock);
        g_action = nullptr;
    }
    ResetCounts();
    g_counting.store(true);
}

void LimitTransferSize(size_t bytes) {
    g_transferLimit.store(bytes);
}

int FaultCallCount(FaultOp op) {
    return g_counts[static_cast<int>(op)].load();
}

namespace detail {

FaultAction CheckFault(FaultOp op, int* error) {
    if (!g_counting.load(std::memory_order_relaxed)) return FaultAction::None;
    int call = g_counts[static_cast<int>(op)].fetch_add(1) + 1;
    if (!g_armed.load() || g_op.load() != static_cast<int>(op) || g_nth.load() != call) {
        return FaultAction::None;
    }
    if (g_corrupt.load() && (op == FaultOp::Read || op == FaultOp::Write)) {
        return FaultAction::Corrupt;
    }
    if (g_shortRead.load() && op == FaultOp::Read) return FaultAction::ShortRead;
    if (op == FaultOp::Read && g_change.load() != 0) {
        return g_change.load() == 1 ? FaultAction::Append : FaultAction::Rewrite;
    }
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(g_actionLock);
        action = std::move(g_action);
        g_action = nullptr;
    }
    if (action) {
        action();
        return FaultAction::None;
    }
    *error = g_error.load();
    return FaultAction::Fail;
}

size_t TransferLimit(size_t wanted) {
    size_t limit = g_transferLimit.load(std::memory_order_relaxed);
    return limit != 0 && limit < wanted ? limit : wanted;
}

bool NoHardLinks() {
    return g_noHardLinks.load(std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace kavrin::platform
