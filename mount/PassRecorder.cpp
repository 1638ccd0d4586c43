// SPDX-License-Identifier: MIT
#include "mount/PassRecorder.h"

#include <algorithm>

#include "engine/codec/StreamBits.h"

namespace kavrin {

PassRecorder::PassRecorder(platform::FileHandle file, uint32_t headerLength,
                           std::vector<uint8_t>& start, uint64_t keep, SpanCollector& collector)
    : file_(file), headerLength_(headerLength), start_(start), keep_(keep), collector_(collector) {}

void PassRecorder::OnBlock(uint64_t startBit, uint64_t endBit, uint64_t offset, uint64_t length) {
    if (reported_ > 0 && (offset <= lastOffset_ || (lastLength_ != kUnknownBlockOutput &&
                                                    offset != lastOffset_ + lastLength_))) {
        outOfOrder = true;
    }
    ++reported_;
    lastOffset_ = offset;
    lastLength_ = length;
    Reported block;
    block.placed.startBit = startBit;
    block.placed.endBit = endBit;
    block.placed.offset = offset;
    block.placed.length = length;
    blocks_.push_back(block);
    if (offset <= restored) Resolve(blocks_.back(), nullptr, 0);
    Pass(false);
}

void PassRecorder::OnRestored(const uint8_t* bytes, size_t length) {
    for (Reported& block : blocks_) {
        if (!block.leadKnown && block.placed.offset <= restored + length) {
            Resolve(block, bytes, length);
        }
    }
    if (restored < keep_) {
        start_.insert(start_.end(), bytes, bytes + std::min<uint64_t>(length, keep_ - restored));
    }
    tail_.Push(bytes, length);
    restored += length;
    Pass(false);
}

bool PassRecorder::Pass(bool all) {
    while (!readFailed_ && blocks_.size() > (all ? 0u : 1u) && blocks_.front().leadKnown) {
        Placed& placed = blocks_.front().placed;
        uint8_t crc[5];
        const uint64_t at = placed.startBit + kMagicBits;
        if (platform::ReadAt(file_, crc, sizeof crc, headerLength_ + at / 8) !=
            static_cast<int64_t>(sizeof crc)) {
            readFailed_ = true;
            break;
        }
        placed.crc = static_cast<uint32_t>(ReadBits(crc, at % 8, kCrcBits));
        collector_.Block(placed);
        blocks_.pop_front();
    }
    return !readFailed_;
}

void PassRecorder::Resolve(Reported& block, const uint8_t* bytes, size_t length) {
    const uint64_t offset = block.placed.offset;
    if (offset < restored || offset > restored + length) return;
    const uint64_t count = std::min<uint64_t>(offset, kDeltaLeadBytes);
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t at = offset - count + k;
        block.placed.lead[k] =
            at >= restored ? bytes[at - restored] : tail_.bytes[tail_.length - (restored - at)];
    }
    block.leadKnown = true;
}

}  // namespace kavrin
