// SPDX-License-Identifier: MIT
// The random-access index of one archive: its payload cut into spans, each decoded on its own
// (BlockDecode.h), with where its bits lie, where its output starts in the restored file, and
// the restored bytes just before that (what the delta filter needs to go on from there). Built
// by IndexBuilder.h, kept on disk by IndexStore.h.
//
// A span is one of:
// - Blocks: one bzip2 block, or several consecutive small blocks of one stream, from a block
//   magic up to the next block or end magic of the same stream. `blocksCrc` is the combined CRC
//   of its blocks, which its decoding checks (for one block, that block's own CRC).
// - Streams: one or more whole consecutive streams, each opening with its own "BZh1".."BZh9" on
//   a byte boundary (the payload's first stream, at bit 0, has none), from the first stream's
//   start to the byte after the last one's end. Every CRC of theirs is checked as they decode.
// Small blocks and small streams are gathered into spans of at most kSpanPayloadBytes of
// payload and kSpanRestoredBytes of output, so the index stays small and a read decodes little,
// whatever number of blocks and streams a payload holds. A larger block is a span of its own.
//
// The index belongs to one version of the archive (device, inode, size, modification and change
// time); it is never used for another. What the archive's header says (its length, mode and
// size) is compared with the header itself before a kept index is used. Its file form ends in a
// CRC and is checked field by field when read: a damaged or foreign index is refused.
//
// Plain values; any thread once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mount/DeltaResume.h"
#include "platform/SharedFile.h"

namespace kavrin {

// No bzip2 block restores more than about 46 MB (a block of runs); more in a span is damage.
inline constexpr uint64_t kMaxBlockOutput = 48ull << 20;
// Small blocks and streams are gathered up to these sizes (a span of one block may be larger).
inline constexpr uint64_t kSpanPayloadBytes = 64 << 10;
inline constexpr uint64_t kSpanRestoredBytes = 1 << 20;
// What a span's decoding reads of the payload, at most: a block at level 9 takes about 1 MB.
inline constexpr uint64_t kMaxSpanPayloadBytes = 3 << 20;

enum class SpanKind : uint8_t { Blocks = 0, Streams = 1 };

struct IndexedSpan {
    uint64_t startBit = 0;  // payload bit of the first block magic, or of the first stream
    uint64_t endBit = 0;    // payload bit where the span ends (a magic, or a stream's byte)
    uint64_t restoredOffset = 0;
    uint8_t lead[kDeltaLeadBytes] = {};  // the min(restoredOffset, 8) restored bytes before it
    uint32_t blocksCrc = 0;              // Blocks: the combined CRC of its blocks
    SpanKind kind = SpanKind::Blocks;
};

struct ArchiveIndex {
    platform::FileVersion version;  // the archive this index describes
    uint32_t headerLength = 0;      // where the payload starts
    uint64_t sourceSize = 0;        // the restored file's size: the header's, checked
    uint8_t deltaMode = 1;          // the header's mode byte
    std::vector<IndexedSpan> spans;

    // Where span `j`'s output ends.
    uint64_t SpanEnd(size_t j) const {
        return j + 1 < spans.size() ? spans[j + 1].restoredOffset : sourceSize;
    }
    uint64_t SpanSize(size_t j) const { return SpanEnd(j) - spans[j].restoredOffset; }
    // The span whose output holds restored offset `offset` (< sourceSize).
    size_t SpanAt(uint64_t offset) const;
    // The bytes this index takes in memory, roughly.
    size_t Footprint() const { return sizeof *this + spans.capacity() * sizeof(IndexedSpan); }
};

// The index's file form.
std::string EncodeIndex(const ArchiveIndex& index);
// Reads an index's file form. False when it is damaged, of another format version, or does
// not hold together (spans out of order, outside the payload, restoring too much).
bool DecodeIndex(const std::string& bytes, ArchiveIndex* index);
// The checks DecodeIndex makes of the content, for an index built in memory too.
bool IndexHoldsTogether(const ArchiveIndex& index);

}  // namespace kavrin
