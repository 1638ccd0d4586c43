// SPDX-License-Identifier: MIT
#include "mount/SpanCache.h"

#include <algorithm>
#include <chrono>
#include <tuple>

namespace kavrin {
namespace {

// How often a wait for room asks whether it is still wanted.
constexpr auto kWantedPoll = std::chrono::milliseconds(100);

auto Tie(const platform::FileVersion& v) {
    return std::tie(v.device, v.inode, v.size, v.modifiedSeconds, v.modifiedNanos, v.changedSeconds,
                    v.changedNanos);
}

}  // namespace

bool VersionLess::operator()(const platform::FileVersion& a, const platform::FileVersion& b) const {
    return Tie(a) < Tie(b);
}

bool SpanKey::operator<(const SpanKey& other) const {
    return std::make_tuple(Tie(version), generation, span) <
           std::make_tuple(Tie(other.version), other.generation, other.span);
}

SpanCache::SpanCache(uint64_t bound, uint64_t held) : bound_(bound), reserved_(held) {}

uint64_t SpanCache::PlannedCharge(uint64_t size) const {
    return KeepsCompact(size, bound_) ? std::min<uint64_t>(size, 1 << 20) : size + 4096;
}

SpanCache::Found SpanCache::Find(const SpanKey& key, uint64_t charge, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = spans_.find(key);
    if (found != spans_.end()) {
        // Read-ahead never waits for a span another thread decodes: it goes on to the next.
        if (!wait) return {found->second};
        std::shared_ptr<CachedSpan> entry = found->second;
        spanReady_.wait(lock, [&] { return entry->ready || entry->failed; });
        if (entry->failed) return {nullptr, false, entry->status};
        auto again = spans_.find(key);  // it may have been dropped, or dropped and decoded anew
        if (again != spans_.end() && again->second == entry) {
            lru_.splice(lru_.begin(), lru_, entry->lru);
        }
        return {entry};
    }
    auto entry = std::make_shared<CachedSpan>();
    entry->charge = charge;
    Evict(charge);
    spans_.emplace(key, entry);
    cached_ += charge;
    return {entry, true};
}

void SpanCache::Finish(const SpanKey& key, const std::shared_ptr<CachedSpan>& entry,
                       BlockStatus status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status == BlockStatus::Ok) {
            entry->ready = true;
            const uint64_t footprint = entry->form.Footprint();
            cached_ = cached_ - entry->charge + footprint;
            entry->charge = footprint;
            lru_.push_front(key);
            entry->lru = lru_.begin();
            // Spans decoded side by side were charged while none of them could be dropped: the
            // bound holds again once they are ready.
            Evict(0);
        } else {
            entry->failed = true;
            entry->status = status;
            cached_ -= entry->charge;
            spans_.erase(key);
        }
    }
    spanReady_.notify_all();
}

void SpanCache::Keep(const SpanKey& key, std::shared_ptr<CachedSpan> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spans_.count(key) != 0) return;
    entry->charge = entry->form.Footprint();
    entry->ready = true;
    Evict(entry->charge);
    cached_ += entry->charge;
    lru_.push_front(key);
    entry->lru = lru_.begin();
    spans_.emplace(key, std::move(entry));
}

bool SpanCache::Holds(const SpanKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return spans_.count(key) != 0;
}

bool SpanCache::Reserve(uint64_t bytes, const std::function<bool()>& wanted) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A build waits only while another build's working memory leaves no room for its own.
    const auto full = [&] {
        return buildsReserving_ > 0 && reserved_ + indexBytes_ + bytes > bound_;
    };
    while (full()) {
        lock.unlock();  // `wanted` may take its own locks
        if (!wanted()) return false;
        lock.lock();
        if (full()) roomFreed_.wait_for(lock, kWantedPoll);
    }
    reserved_ += bytes;
    ++buildsReserving_;
    Evict(0);
    return true;
}

void SpanCache::Unreserve(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= bytes;
        --buildsReserving_;
    }
    roomFreed_.notify_all();
}

bool SpanCache::TryHold(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reserved_ + indexBytes_ + bytes > bound_) return false;
    reserved_ += bytes;
    Evict(0);
    return true;
}

void SpanCache::Release(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= bytes;
    }
    roomFreed_.notify_all();
}

void SpanCache::ChargeIndexes(uint64_t add, uint64_t drop) {
    std::lock_guard<std::mutex> lock(mutex_);
    indexBytes_ = indexBytes_ + add - std::min(drop, indexBytes_ + add);
    Evict(0);
}

uint64_t SpanCache::IndexBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return indexBytes_;
}

uint64_t SpanCache::CachedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cached_;
}

uint64_t SpanCache::ReservedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reserved_ + indexBytes_;
}

void SpanCache::Evict(uint64_t room) {
    while (cached_ + reserved_ + indexBytes_ + room > bound_ && !lru_.empty()) {
        auto victim = spans_.find(lru_.back());
        lru_.pop_back();
        cached_ -= victim->second->charge;
        spans_.erase(victim);
    }
}

}  // namespace kavrin
