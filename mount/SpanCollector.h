// SPDX-License-Identifier: MIT
// Gathers an index build's placed blocks and whole streams into spans (ArchiveIndex.h), in
// payload order. A stream is held back while it is small enough to be gathered whole; once it
// is not, its blocks are gathered among themselves. Only the open span and the blocks of one
// small stream are held, so a build's memory does not grow with the number of blocks.
//
// One build's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mount/ArchiveIndex.h"

namespace kavrin {

// One block placed: its bits, its output, the restored bytes before it and its CRC.
struct Placed {
    uint64_t startBit = 0, endBit = 0, offset = 0, length = 0;
    uint8_t lead[kDeltaLeadBytes] = {};
    uint32_t crc = 0;
};

class SpanCollector {
public:
    explicit SpanCollector(std::vector<IndexedSpan>& spans) : spans_(spans) {}

    // A stream opens at `startBit`: 0 for the payload's first, else the bit of its header.
    void StreamStarts(uint64_t startBit);
    // The stream's next block.
    void Block(const Placed& block);
    // The stream ends: its end magic and CRC end before payload byte `endByte`.
    void StreamEnds(uint64_t endByte);
    // The payload ends: the open span is closed.
    void Finish() { Close(); }

private:
    void AddBlock(const Placed& block);
    void Open(uint64_t startBit, uint64_t endBit, const Placed& first, SpanKind kind,
              uint64_t restored);
    void Close();

    std::vector<IndexedSpan>& spans_;
    std::optional<IndexedSpan> open_;
    uint64_t openRestored_ = 0;
    uint64_t streamStart_ = 0;
    bool streamSmall_ = true;
    uint64_t streamRestored_ = 0;
    std::vector<Placed> pending_;
};

}  // namespace kavrin
