// SPDX-License-Identifier: MIT
#include "mount/ReadAhead.h"

#include <algorithm>

namespace kavrin {

ReadAhead::ReadAhead(SpanCache& cache, SpanReader& reader, uint32_t threads)
    : cache_(cache), reader_(reader), width_(threads) {
    for (uint32_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

void ReadAhead::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

void ReadAhead::After(const std::shared_ptr<OpenArchive>& archive, size_t next) {
    uint64_t generation = 0;
    const std::shared_ptr<const ArchiveIndex> index = archive->Index(&generation);
    if (!index) return;
    // The spans ahead and the one being read must fit half the cache, or they would push
    // each other out before they are read.
    uint64_t room = cache_.bound() / 2;
    const uint64_t current = cache_.PlannedCharge(index->SpanSize(next - 1));
    room = room > current ? room - current : 0;
    std::vector<size_t> wanted;
    for (size_t j = next; j < index->spans.size() && j < next + width_; ++j) {
        const uint64_t charge = cache_.PlannedCharge(index->SpanSize(j));
        if (charge > room) break;
        room -= charge;
        if (!cache_.Holds(SpanKey{archive->version, generation, j})) wanted.push_back(j);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t j : wanted) {
            if (stop_ || queue_.size() >= 4 * width_) break;
            // Each read of a span asks again for the same spans ahead: queue each once.
            const bool queued = std::any_of(queue_.begin(), queue_.end(), [&](auto& item) {
                return item.second == j && item.first.lock() == archive;
            });
            if (!queued) queue_.emplace_back(archive, j);
        }
    }
    wake_.notify_all();
}

void ReadAhead::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        auto [weak, j] = queue_.front();
        queue_.pop_front();
        lock.unlock();
        if (std::shared_ptr<OpenArchive> archive = weak.lock()) {
            uint64_t generation = 0;
            const std::shared_ptr<const ArchiveIndex> index = archive->Index(&generation);
            if (index && j < index->spans.size())
                reader_.Span(*archive, *index, generation, j, false);
        }
        lock.lock();
    }
}

}  // namespace kavrin
