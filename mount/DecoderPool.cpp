// SPDX-License-Identifier: MIT
#include "mount/DecoderPool.h"

#include <algorithm>

namespace kavrin {

DecoderPool::DecoderPool(uint64_t cacheBytes, uint32_t threads) {
    const auto affordable =
        static_cast<uint32_t>(std::max<uint64_t>(1, cacheBytes / (4 * kDecoderBytes)));
    const uint32_t count = std::max<uint32_t>(1, std::min(threads, affordable));
    for (uint32_t i = 0; i < count; ++i) {
        decoders_.push_back(std::make_unique<BlockDecoder>());
        idle_.push_back(decoders_.back().get());
    }
}

uint64_t DecoderPool::HeldFromCache() const {
    return decoders_.size() > 2 ? (decoders_.size() - 2) * kDecoderBytes : 0;
}

BlockDecoder* DecoderPool::Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    free_.wait(lock, [&] { return !idle_.empty(); });
    BlockDecoder* decoder = idle_.back();
    idle_.pop_back();
    return decoder;
}

void DecoderPool::Give(BlockDecoder* decoder) {
    decoder->Trim();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(decoder);
    }
    free_.notify_one();
}

}  // namespace kavrin
