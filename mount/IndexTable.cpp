// SPDX-License-Identifier: MIT
#include "mount/IndexTable.h"

namespace kavrin {

IndexTable::IndexTable(SpanCache& cache, size_t remembered)
    : cache_(cache), remembered_(remembered) {}

std::shared_ptr<ArchiveState> IndexTable::FindOrAdd(const platform::FileVersion& version,
                                                    bool* added) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = states_.find(version);
    *added = found == states_.end();
    if (!*added) return found->second;
    auto state = std::make_shared<ArchiveState>();
    state->waiting = 1;
    states_.emplace(version, state);
    order_.push_back(version);
    Forget();
    return state;
}

uint64_t IndexTable::Install(ArchiveState& state, std::shared_ptr<const ArchiveIndex> index,
                             bool fromStore) {
    const uint64_t footprint = index->Footprint();
    uint64_t before = 0, generation = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.index) before = state.index->Footprint();
        state.tails.assign(index->spans.size(), RestoredTail{});
        state.tailKnown.assign(index->spans.size(), false);
        state.index = std::move(index);
        state.generation = generation = nextGeneration_++;
        state.fromStore = fromStore;
        state.building = false;
        state.failure = Status();
    }
    state.changed.notify_all();
    cache_.ChargeIndexes(footprint, before);
    return generation;
}

void IndexTable::Fail(const platform::FileVersion& version, ArchiveState& state,
                      const Status& failure) {
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.building = false;
        if (state.index) dropped = state.index->Footprint();
        state.index.reset();
        state.failure = failure;
    }
    state.changed.notify_all();
    if (dropped != 0) cache_.ChargeIndexes(0, dropped);
    // Not the archive's fault: the next open tries again.
    if (!failure.IsDamage()) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = states_.find(version);
        if (found != states_.end() && found->second.get() == &state) states_.erase(found);
    }
}

void IndexTable::Forget() {
    uint64_t held = cache_.IndexBytes();
    size_t look = order_.size();
    while (look-- > 0 && (order_.size() > remembered_ || held > cache_.bound() / 4)) {
        const platform::FileVersion oldest = order_.front();
        order_.pop_front();
        auto found = states_.find(oldest);
        if (found == states_.end()) continue;
        // An open archive, or one being built, keeps its index.
        if (found->second.use_count() > 1) {
            order_.push_back(oldest);
            continue;
        }
        uint64_t footprint = 0;
        {
            std::lock_guard<std::mutex> lock(found->second->mutex);
            if (found->second->building) {
                order_.push_back(oldest);
                continue;
            }
            if (found->second->index) footprint = found->second->index->Footprint();
        }
        states_.erase(found);
        cache_.ChargeIndexes(0, footprint);
        held = cache_.IndexBytes();
    }
}

}  // namespace kavrin
