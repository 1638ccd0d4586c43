// SPDX-License-Identifier: MIT
// The library's block decoders, lent one at a time to span reads and index walks. Each keeps
// its working memory (kDecoderBytes) between decodes, so there are only as many as a quarter of
// the cache's bound holds, however many threads are asked for.
//
// Any thread; the mutex is a leaf.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "mount/BlockDecode.h"

namespace kavrin {

class DecoderPool : public DecoderSource {
public:
    DecoderPool(uint64_t cacheBytes, uint32_t threads);

    // A free decoder, waiting for one.
    BlockDecoder* Take() override;
    // Gives a decoder back, trimmed to its own working memory.
    void Give(BlockDecoder* decoder) override;

    uint32_t size() const { return static_cast<uint32_t>(decoders_.size()); }
    // The decoders' working memory that comes out of the cache's bound: two of them live in the
    // room the bound leaves beside the cache, the others' memory is the cache's.
    uint64_t HeldFromCache() const;

private:
    std::mutex mutex_;
    std::condition_variable free_;
    std::vector<std::unique_ptr<BlockDecoder>> decoders_;
    std::vector<BlockDecoder*> idle_;
};

}  // namespace kavrin
