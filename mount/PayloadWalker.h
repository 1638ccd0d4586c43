// SPDX-License-Identifier: MIT
// The walk of an index build: goes through an archive's payload block by block on the calling
// thread, decodes each block on its own, restores it through the delta filter to learn the
// bytes before the next one, checks each stream's CRC, and places the blocks and streams with
// the span collector. It holds a window of the payload (kWalkWindow) and a decoder only while
// it decodes a block, so it suits archives that restore little, whatever they hold.
//
// The payload ends where the stream that restores the header's size ends: a byte after it is
// damage (Status::TrailingBytes), as a payload that restores less or more than that size is.
//
// One build's thread.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/EngineObserver.h"
#include "engine/Status.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/BlockDecode.h"
#include "mount/PayloadWindow.h"
#include "mount/SpanCollector.h"

namespace kavrin {

// Where a walk starts: a block or end magic, the restored offset there, the restored bytes
// before it, and the combined CRC of its stream's blocks before it when it is known.
struct WalkState {
    uint64_t bit = 0;
    uint64_t restored = 0;
    uint8_t lead[kDeltaLeadBytes] = {};
    uint32_t streamCrc = 0;
    bool crcKnown = true;
};

class PayloadWalker {
public:
    // The first `keepUpTo` restored bytes of the file are appended to `kept` as they are
    // restored (from wherever the walk starts).
    PayloadWalker(platform::FileHandle file, const ArchiveHeader& header, uint64_t payloadBytes,
                  EngineObserver& observer, DecoderSource& decoders, SpanCollector& collector,
                  std::vector<uint8_t>& kept, uint64_t keepUpTo);

    // Walks from `start` to the payload's end; `*walked` counts the blocks placed. Stop() when
    // the observer stops it, a Damage status for what the archive holds, or what the machine
    // lacked.
    Status Walk(WalkState start, uint32_t* walked);

private:
    // At an end magic: checks the stream's CRC, then ends the walk (`*ended`) where the
    // restored size is reached, or goes on with the next stream.
    Status EndStream(WalkState& s, uint32_t* level, bool* ended);
    // At a block magic: decodes, restores and places the block.
    Status PlaceBlock(WalkState& s, uint32_t level, uint32_t* walked);
    // Restores `block` from `offset` after the restored bytes `lead`; its last ones in *tail.
    void Restore(const CompactBlock& block, uint64_t offset, const uint8_t* lead,
                 RestoredTail* tail);

    const ArchiveHeader& header_;
    uint64_t payloadBytes_;
    EngineObserver& observer_;
    DecoderSource& decoders_;
    SpanCollector& collector_;
    std::vector<uint8_t>& kept_;
    uint64_t keepUpTo_;
    std::vector<uint8_t> piece_;  // a chunk of a block's restored bytes
    PayloadWindow window_;
};

}  // namespace kavrin
