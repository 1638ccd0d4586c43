// SPDX-License-Identifier: MIT
#include "mount/BlockDecode.h"

#include <algorithm>
#include <cstring>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"

namespace kavrin {

const char* DescribeBlockStatus(BlockStatus status) {
    switch (status) {
        case BlockStatus::Ok:
            return "no error";
        case BlockStatus::ReadError:
            return "read error";
        case BlockStatus::Damaged:
            return "damaged block (CRC error or bad block)";
        case BlockStatus::NoMemory:
            return "not enough memory for the codec";
    }
    return "unknown error";
}

void BlockDecoder::Trim() {
    if (read_.capacity() > (1u << 20)) read_.Release();
}

BlockVerdict BlockDecoder::DecodeBlock(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                                       const CompactBlock** block, uint32_t level) {
    const uint64_t base = 8 * (startBit / 8);
    const BlockVerdict verdict =
        decoder_.Decode(bytes, startBit - base, endBit - base, &block_, level);
    block_.endBit += base;
    *block = &block_;
    return verdict;
}

BlockStatus BlockDecoder::DecodeSpan(platform::FileHandle file, const ArchiveIndex& index, size_t j,
                                     SpanSink& sink) {
    const IndexedSpan& span = index.spans[j];
    const uint64_t firstByte = span.startBit / 8;
    const uint64_t length = (span.endBit + 7) / 8 - firstByte;
    read_.Clear();
    if (!read_.Reserve(length)) return BlockStatus::NoMemory;
    const int64_t got =
        platform::ReadAt(file, read_.data(), length, index.headerLength + firstByte);
    if (got < 0) return BlockStatus::ReadError;
    // A file that ends sooner has changed; so has one whose span is not there any more.
    if (static_cast<uint64_t>(got) < length) return BlockStatus::Damaged;
    read_.Commit(length);
    const uint64_t expected = index.SpanSize(j);
    uint64_t restored = 0;
    const BlockStatus status = span.kind == SpanKind::Blocks
                                   ? Blocks(span, expected, sink, &restored)
                                   : Streams(span, expected, sink, &restored);
    if (status != BlockStatus::Ok) return status;
    return restored == expected ? BlockStatus::Ok : BlockStatus::Damaged;
}

// Consecutive blocks of one stream, from the span's first block magic to where it ends.
BlockStatus BlockDecoder::Blocks(const IndexedSpan& span, uint64_t limit, SpanSink& sink,
                                 uint64_t* restored) {
    const uint64_t base = 8 * (span.startBit / 8);
    const uint64_t end = span.endBit - base;
    uint64_t bit = span.startBit - base;
    uint32_t combined = 0;
    while (bit < end) {
        const BlockVerdict verdict = decoder_.Decode(read_.data(), bit, end, &block_);
        if (verdict == BlockVerdict::NoMemory) return BlockStatus::NoMemory;
        if (verdict != BlockVerdict::Ok || block_.restoredLength > limit - *restored) {
            return BlockStatus::Damaged;
        }
        if (!sink.Take(block_)) return BlockStatus::NoMemory;
        *restored += block_.restoredLength;
        combined = CombineBlockCrc(combined, block_.storedCrc);
        bit = block_.endBit;
    }
    return bit == end && combined == span.blocksCrc ? BlockStatus::Ok : BlockStatus::Damaged;
}

// Whole streams, each from its header ("BZh1".."BZh9"; the payload's first has none and is
// read as "BZh9") through its end magic and CRC, the next one on the following byte.
BlockStatus BlockDecoder::Streams(const IndexedSpan& span, uint64_t limit, SpanSink& sink,
                                  uint64_t* restored) {
    const uint8_t* bytes = read_.data();
    const uint64_t end = span.endBit - span.startBit;  // both on bytes
    uint64_t bit = 0;
    bool first = span.startBit == 0;
    while (bit < end) {
        uint32_t level = 9;
        if (!first) {
            level = bit + 32 <= end ? StreamHeaderLevel(bytes + bit / 8) : 0;
            if (level == 0) return BlockStatus::Damaged;
            bit += 32;
        }
        first = false;
        uint32_t combined = 0;
        for (;;) {
            if (bit + kMagicBits + kCrcBits > end) return BlockStatus::Damaged;
            if (ReadBits(bytes, bit, kMagicBits) == kEndMagic) {
                if (ReadBits(bytes, bit + kMagicBits, kCrcBits) != combined) {
                    return BlockStatus::Damaged;
                }
                bit = (bit + kMagicBits + kCrcBits + 7) / 8 * 8;
                break;
            }
            const BlockVerdict verdict = decoder_.Decode(bytes, bit, end, &block_, level);
            if (verdict == BlockVerdict::NoMemory) return BlockStatus::NoMemory;
            if (verdict != BlockVerdict::Ok || block_.restoredLength > limit - *restored) {
                return BlockStatus::Damaged;
            }
            if (!sink.Take(block_)) return BlockStatus::NoMemory;
            *restored += block_.restoredLength;
            combined = CombineBlockCrc(combined, block_.storedCrc);
            bit = block_.endBit;
        }
    }
    return bit == end ? BlockStatus::Ok : BlockStatus::Damaged;
}

}  // namespace kavrin
