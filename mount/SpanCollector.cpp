// SPDX-License-Identifier: MIT
#include "mount/SpanCollector.h"

#include <cstring>

#include "engine/codec/BlockCrc.h"

namespace kavrin {

void SpanCollector::StreamStarts(uint64_t startBit) {
    streamStart_ = startBit;
    streamSmall_ = true;
    streamRestored_ = 0;
    pending_.clear();
}

void SpanCollector::Block(const Placed& block) {
    if (!streamSmall_) {
        AddBlock(block);
        return;
    }
    pending_.push_back(block);
    streamRestored_ += block.length;
    if (block.endBit - streamStart_ > 8 * kSpanPayloadBytes ||
        streamRestored_ > kSpanRestoredBytes) {
        streamSmall_ = false;
        Close();
        for (const Placed& held : pending_) AddBlock(held);
        pending_.clear();
    }
}

void SpanCollector::StreamEnds(uint64_t endByte) {
    const uint64_t endBit = 8 * endByte;
    if (!streamSmall_) {
        Close();  // its last span ends at its end magic
    } else if (pending_.empty()) {
        // A stream without blocks restores nothing: inside a span of streams it is decoded
        // on the way, elsewhere it lies between spans.
        if (open_ && open_->kind == SpanKind::Streams &&
            endBit - open_->startBit <= 8 * kSpanPayloadBytes) {
            open_->endBit = endBit;
        }
    } else if (open_ && open_->kind == SpanKind::Streams &&
               endBit - open_->startBit <= 8 * kSpanPayloadBytes &&
               openRestored_ + streamRestored_ <= kSpanRestoredBytes) {
        open_->endBit = endBit;
        openRestored_ += streamRestored_;
    } else {
        Close();
        Open(streamStart_, endBit, pending_.front(), SpanKind::Streams, streamRestored_);
    }
    pending_.clear();
    streamSmall_ = true;
}

void SpanCollector::AddBlock(const Placed& block) {
    if (open_ && open_->kind == SpanKind::Blocks &&
        block.endBit - open_->startBit <= 8 * kSpanPayloadBytes &&
        openRestored_ + block.length <= kSpanRestoredBytes) {
        open_->endBit = block.endBit;
        open_->blocksCrc = CombineBlockCrc(open_->blocksCrc, block.crc);
        openRestored_ += block.length;
        return;
    }
    Close();
    Open(block.startBit, block.endBit, block, SpanKind::Blocks, block.length);
    open_->blocksCrc = block.crc;
}

void SpanCollector::Open(uint64_t startBit, uint64_t endBit, const Placed& first, SpanKind kind,
                         uint64_t restored) {
    open_ = IndexedSpan{};
    open_->startBit = startBit;
    open_->endBit = endBit;
    open_->restoredOffset = first.offset;
    std::memcpy(open_->lead, first.lead, kDeltaLeadBytes);
    open_->kind = kind;
    openRestored_ = restored;
}

void SpanCollector::Close() {
    if (open_) spans_.push_back(*open_);
    open_.reset();
}

}  // namespace kavrin
