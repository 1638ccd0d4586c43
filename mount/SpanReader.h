// SPDX-License-Identifier: MIT
// Reading one span of an open archive: from the span cache, or decoded now with a decoder of
// the pool into the form the cache keeps. A kept index is a cache, never the truth, so a decode
// is checked at both ends: the span's lead (the restored bytes before it, which the index gives)
// against what the span before it was seen to end with, and what the span ends with against the
// next span's lead. A span that fails either check is damaged as far as this index goes
// (`inconsistent`), which the library answers by building the index again.
//
// Any thread; takes the cache's, the pool's and the archive state's mutexes one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "mount/DecoderPool.h"
#include "mount/OpenArchive.h"
#include "mount/SpanCache.h"

namespace kavrin {

class SpanReader {
public:
    SpanReader(SpanCache& cache, DecoderPool& decoders) : cache_(cache), decoders_(decoders) {}

    struct Result {
        std::shared_ptr<CachedSpan> entry;  // null when it failed
        BlockStatus status = BlockStatus::Ok;
        bool inconsistent = false;  // the index's leads disagree with what the spans restore
    };
    // Span `j` of `index` (generation `generation`) of `archive`, ready. Without `wait`, a span
    // another thread is decoding is returned at once, not yet ready (for read-ahead, which only
    // has to get it going).
    Result Span(OpenArchive& archive, const ArchiveIndex& index, uint64_t generation, size_t j,
                bool wait = true);
    // Puts the spans that `restored` (the file's start, from a build) holds into the cache.
    void KeepRestored(const platform::FileVersion& version, uint64_t generation,
                      const ArchiveIndex& index, const std::vector<uint8_t>& restored);

    // The spans decoded so far (tests).
    uint64_t decodes() const { return decodes_; }

private:
    // Decodes span `j` into `entry`'s form, checking its lead and its tail.
    Result Decode(OpenArchive& archive, const ArchiveIndex& index, size_t j, CachedSpan& entry);

    SpanCache& cache_;
    DecoderPool& decoders_;
    std::atomic<uint64_t> decodes_{0};
};

}  // namespace kavrin
