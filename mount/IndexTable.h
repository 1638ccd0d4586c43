// SPDX-License-Identifier: MIT
// What the library knows of each archive version: its index (with the generation spans are
// cached under), whether it is being built, and why its last build failed. One state per
// version, shared by every open of it; a state stays while it is open or being built, and the
// oldest of the others are forgotten beyond a bound (kRememberedIndexes, and a quarter of the
// cache's bound in index bytes, which the span cache is charged).
//
// Only damage in the archive is remembered (a later open fails at once with it); a build that
// failed for the machine, or was stopped, leaves no state behind, so the next open builds again.
//
// Any thread. Locks: the table's mutex, then a state's mutex, then the span cache's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/Status.h"
#include "mount/ArchiveIndex.h"
#include "mount/SpanCache.h"

namespace kavrin {

// One version of an archive.
struct ArchiveState {
    std::mutex mutex;  // guards every field below (`waiting` is atomic besides)
    std::condition_variable changed;
    bool building = true;
    std::shared_ptr<const ArchiveIndex> index;  // null while building, or when it failed
    uint64_t generation = 0;                    // which index: spans are cached under it
    bool fromStore = false;                     // loaded from the index folder
    bool rebuilt = false;                       // built again after a failure through it
    Status failure;                             // why the last build made no index
    std::atomic<int> waiting{0};                // opens waiting for its build
    // The restored bytes each span ends with, once one of its decodes has shown them.
    std::vector<RestoredTail> tails;
    std::vector<bool> tailKnown;
};

class IndexTable {
public:
    IndexTable(SpanCache& cache, size_t remembered);

    // The state of `version`; when there was none, a new one being built, with `*added` set
    // (the caller builds it; it counts as its first waiter).
    std::shared_ptr<ArchiveState> FindOrAdd(const platform::FileVersion& version, bool* added);
    // Gives `state` the index `index` under a new generation, and ends its build. Returns the
    // generation.
    uint64_t Install(ArchiveState& state, std::shared_ptr<const ArchiveIndex> index,
                     bool fromStore);
    // Ends `state`'s build without an index, for `failure`: remembered for `version` when it is
    // damage, else `version` is forgotten.
    void Fail(const platform::FileVersion& version, ArchiveState& state, const Status& failure);

private:
    // Forgets the oldest states no one holds while the table is over its bounds. mutex_ held.
    void Forget();

    SpanCache& cache_;
    const size_t remembered_;
    std::atomic<uint64_t> nextGeneration_{1};
    std::mutex mutex_;
    std::map<platform::FileVersion, std::shared_ptr<ArchiveState>, VersionLess> states_;
    std::deque<platform::FileVersion> order_;  // oldest first, for forgetting
};

}  // namespace kavrin
