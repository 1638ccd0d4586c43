// SPDX-License-Identifier: MIT
#include "engine/decode/CompactBlock.h"

namespace kavrin {

CompactBlockDecoder::CompactBlockDecoder() = default;

bool CompactBlockDecoder::Reserve() {
    return transform_.Reserve(kMaxBlockBytes);
}

BlockVerdict CompactBlockDecoder::Decode(const uint8_t* data, uint64_t startBit, uint64_t endBit,
                                         CompactBlock* block, uint32_t level) {
    reader_.Start(BlockSymbolReader::Expect::Block, level);
    // The reader counts bits from the first byte it is given.
    const uint64_t skipped = 8 * (startBit / 8);
    BitInput in{data + startBit / 8, startBit - skipped, endBit - skipped};
    switch (reader_.Read(in)) {
        case BlockSymbolReader::Status::NeedBits:
            return BlockVerdict::Truncated;
        case BlockSymbolReader::Status::BlockReady:
            break;
        case BlockSymbolReader::Status::NoMemory:
            return BlockVerdict::NoMemory;
        default:
            return BlockVerdict::Damaged;
    }
    block->endBit = in.bit + skipped;
    return Finish(block);
}

BlockVerdict CompactBlockDecoder::Finish(CompactBlock* block) {
    if (!Reserve()) return BlockVerdict::NoMemory;
    // The block takes the column; its old buffer, if any, serves the next block.
    reader_.SwapColumn(block->bytes);
    const uint32_t length = reader_.length();
    uint8_t* bytes = block->bytes.data();
    transform_.Restore(bytes, length, reader_.counts(), reader_.origin(), reader_.randomised());
    block->length = length;
    block->storedCrc = reader_.storedCrc();
    const RunSummary summary = SummariseRuns(bytes, length, bytes[length]);
    block->restoredLength = summary.restored;
    if (summary.endsInRunHead || summary.crc != block->storedCrc) return BlockVerdict::BadCrc;
    return BlockVerdict::Ok;
}

}  // namespace kavrin
