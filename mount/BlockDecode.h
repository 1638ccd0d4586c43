// SPDX-License-Identifier: MIT
// Decoding one span of an archive's payload (ArchiveIndex.h) on its own: every mount read and
// every index walk goes through BlockDecoder, so that the decoder behind it is one class.
//
// The decoder is the engine's own (engine/CompactBlock.h): each block of the span comes out in
// its compact form (its bytes before bzip2's last run-length stage, at most 900 000 bytes, a
// block of silence included) with its CRC checked against the bytes it restores, without
// restoring them. A Blocks span's blocks must also combine to the CRC the index gives and end
// exactly where the span does; a Streams span is read stream after stream, each from its own
// header to its end magic, whose CRC is checked. The blocks go to a SpanSink (SpanForm.h), which
// restores what it needs through the delta filter.
//
// A BlockDecoder holds the decoder's working memory (4 bytes per block byte) and a span's bytes
// for one decode at a time; give each thread its own. The archive's descriptor may be shared
// (reads go to explicit offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/codec/ByteBuffer.h"
#include "engine/decode/CompactBlock.h"
#include "mount/ArchiveIndex.h"
#include "platform/File.h"

namespace kavrin {

enum class BlockStatus {
    Ok,
    ReadError,  // the archive could not be read (errno kept by the caller's read)
    Damaged,    // a CRC or a rule failed, or the span restores another length than it should
    NoMemory,
};
const char* DescribeBlockStatus(BlockStatus status);

// Where a span's blocks go, in order, each in compact form with its CRC checked.
class SpanSink {
public:
    virtual ~SpanSink() = default;
    // Takes the next block. False when it cannot (out of memory): the decoding stops.
    virtual bool Take(const CompactBlock& block) = 0;
};

// What one decoder keeps between decodes, at most: the block decoder's tables and column for a
// block of 900 000 bytes, one block, and a span's bytes (Trim gives back more than 1 MiB).
inline constexpr uint64_t kDecoderBytes = 6 << 20;

class BlockDecoder {
public:
    // Decodes span `j` of the archive open as `file` into `sink`. Damaged when a CRC or rule
    // fails, or when the span restores another length than the index says.
    BlockStatus DecodeSpan(platform::FileHandle file, const ArchiveIndex& index, size_t j,
                           SpanSink& sink);

    // Decodes the one block whose magic is at payload bit `startBit`, from `bytes` (whose first
    // byte is payload byte startBit / 8, and which hold the payload up to bit `endBit`), in a
    // stream of block size `level`. Ok with *block the block, its endBit in payload bits;
    // Truncated when its bits go on past endBit.
    BlockVerdict DecodeBlock(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                             const CompactBlock** block, uint32_t level = 9);

    // Gives back what a large span left allocated beyond the decoder's own memory.
    void Trim();

    // The engine's decoder beneath, for a reader that takes a block's stages one by one.
    CompactBlockDecoder& compact() { return decoder_; }

private:
    BlockStatus Blocks(const IndexedSpan& span, uint64_t limit, SpanSink& sink, uint64_t* restored);
    BlockStatus Streams(const IndexedSpan& span, uint64_t limit, SpanSink& sink,
                        uint64_t* restored);

    CompactBlockDecoder decoder_;
    CompactBlock block_;
    ByteBuffer read_;  // the span's bytes as read from the archive
};

// Where a walk gets a decoder for each block it decodes, and gives it back.
class DecoderSource {
public:
    virtual ~DecoderSource() = default;
    virtual BlockDecoder* Take() = 0;
    virtual void Give(BlockDecoder* decoder) = 0;
};

}  // namespace kavrin
