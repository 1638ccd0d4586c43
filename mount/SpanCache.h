// SPDX-License-Identifier: MIT
// The mount's memory bound and the decoded spans it holds: a cache of spans (SpanForm.h) shared
// by every archive, least recently used first out, behind one mutex.
//
// Invariant: what the cache holds (each span charged its footprint, or its planned charge while
// it is decoded), the working memory taken from the bound (decoders beyond two, builds in
// progress) and the indexes held in memory come to at most the bound, once the spans that are
// being decoded side by side are ready. A span being decoded is waited for, never decoded
// twice; a span that readers still hold stays alive with them when it is evicted.
//
// Any thread; the mutex is a leaf (nothing else is locked while it is held).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include "mount/BlockDecode.h"
#include "mount/SpanForm.h"
#include "platform/SharedFile.h"

namespace kavrin {

// An order of archive versions, to key maps with them.
struct VersionLess {
    bool operator()(const platform::FileVersion& a, const platform::FileVersion& b) const;
};

// A span of one index (its generation) of one archive version.
struct SpanKey {
    platform::FileVersion version;
    uint64_t generation;
    size_t span;
    bool operator<(const SpanKey& other) const;
};

// A span in the cache: being decoded until it is ready or failed.
struct CachedSpan {
    bool ready = false;
    bool failed = false;
    BlockStatus status = BlockStatus::Ok;  // why it failed
    SpanForm form;                         // written by its decoder, read once ready
    uint64_t charge = 0;
    std::list<SpanKey>::iterator lru;  // valid once ready
};

class SpanCache {
public:
    // At most `bound` bytes in all, of which `held` are working memory taken for good.
    SpanCache(uint64_t bound, uint64_t held);

    uint64_t bound() const { return bound_; }
    // What a span restoring `size` bytes is charged before its form is made.
    uint64_t PlannedCharge(uint64_t size) const;

    struct Found {
        std::shared_ptr<CachedSpan> entry;     // null when it failed
        bool mine = false;                     // a new entry: the caller decodes it
        BlockStatus status = BlockStatus::Ok;  // why it failed
    };
    // Span `key`: ready from the cache; being decoded by another thread, waited for (or, without
    // `wait`, returned at once, not ready); or absent, then a new entry charged `charge` that
    // the caller decodes and ends with Finish.
    Found Find(const SpanKey& key, uint64_t charge, bool wait);
    // Ends the decode of a new entry: kept and charged its footprint when `status` is Ok, else
    // dropped. Wakes its waiters either way.
    void Finish(const SpanKey& key, const std::shared_ptr<CachedSpan>& entry, BlockStatus status);
    // Keeps the ready span `entry` as `key` unless the cache has that span already.
    void Keep(const SpanKey& key, std::shared_ptr<CachedSpan> entry);
    bool Holds(const SpanKey& key);

    // Takes `bytes` of the bound for a build's working memory, waiting while other builds'
    // working memory leaves no room; false when `wanted` turned false meanwhile.
    bool Reserve(uint64_t bytes, const std::function<bool()>& wanted);
    void Unreserve(uint64_t bytes);
    // Takes `bytes` of the bound for a reader's working memory without waiting (spans make
    // room): false when working memory and indexes would leave less. Release gives it back.
    bool TryHold(uint64_t bytes);
    void Release(uint64_t bytes);
    // Indexes held in memory: `add` bytes more, `drop` bytes fewer.
    void ChargeIndexes(uint64_t add, uint64_t drop);
    uint64_t IndexBytes();

    // What the cache holds, and what it holds back for working memory and indexes (tests).
    uint64_t CachedBytes();
    uint64_t ReservedBytes();

private:
    // Drops the least recently used ready spans until `room` more bytes fit. mutex_ held.
    void Evict(uint64_t room);

    const uint64_t bound_;
    std::mutex mutex_;
    std::condition_variable spanReady_;
    std::condition_variable roomFreed_;
    std::map<SpanKey, std::shared_ptr<CachedSpan>> spans_;
    std::list<SpanKey> lru_;   // ready spans, most recent first
    uint64_t cached_ = 0;      // charges of every span in spans_
    uint64_t reserved_ = 0;    // working memory taken from the bound
    uint64_t indexBytes_ = 0;  // indexes held in memory
    int buildsReserving_ = 0;  // builds holding working memory
};

}  // namespace kavrin
