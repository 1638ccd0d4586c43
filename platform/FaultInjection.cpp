// SPDX-License-Identifier: MIT
#include "platform/FaultInjection.h"

#include <atomic>

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

void ResetCounts() {
    for (auto& count : g_counts) count.store(0);
}

}  // namespace

void InjectFault(FaultOp op, int nth, int error, bool shortRead) {
    g_armed.store(false);
    ResetCounts();
    g_op.store(static_cast<int>(op));
    g_nth.store(nth);
    g_error.store(error);
    g_shortRead.store(shortRead);
    g_corrupt.store(false);
    g_change.store(0);
    g_counting.store(true);
    g_armed.store(true);
}

void InjectCorruption(FaultOp op, int nth) {
    InjectFault(op, nth, 0);
    g_corrupt.store(true);
}

void InjectSourceChange(int nth, bool append) {
    InjectFault(FaultOp::Read, nth, 0);
    g_change.store(append ? 1 : 2);
}

void ClearFaults() {
    g_armed.store(false);
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
    *error = g_error.load();
    return FaultAction::Fail;
}

size_t TransferLimit(size_t wanted) {
    size_t limit = g_transferLimit.load(std::memory_order_relaxed);
    return limit != 0 && limit < wanted ? limit : wanted;
}

}  // namespace detail
}  // namespace kavrin::platform
