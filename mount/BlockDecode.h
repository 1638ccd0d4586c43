// Decoding one span of an archive's payload (ArchiveIndex.h) on its own: every mount read and
// every index build goes through BlockDecoder, so that the decoder behind it is one class.
//
// Today the decoder is libbz2's: the bits of a Blocks span, wrapped as a stream of their own
// ("BZh9", the blocks, an end magic and the blocks' combined CRC as the stream CRC), go through
// the library, which checks every block CRC and the combined CRC; a Streams span is decoded
// stream after stream from its own bytes, each stream's CRCs checked. The filtered bytes go to
// a SpanSink, which undoes the delta filter and keeps what it needs (SpanForm.h).
//
// A BlockDecoder holds the codec's working memory and buffers for one decode at a time; give
// each thread its own. The archive's descriptor may be shared (reads go to explicit offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/ByteBuffer.h"
#include "engine/CodecMemory.h"
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

// Where a span's filtered bytes (its decoded output, before the delta filter) go, in order.
class SpanSink {
public:
    virtual ~SpanSink() = default;
    // Takes the next `length` filtered bytes. False when it cannot (out of memory): the
    // decoding stops with NoMemory.
    virtual bool Take(const uint8_t* bytes, size_t length) = 0;
};

// What one decoder keeps between decodes, at most: libbz2's decoder at block size 9 (about
// 3.7 MB), and its buffers for a span's bytes and output (Trim gives back more than 1 MiB).
inline constexpr uint64_t kDecoderBytes = 6 << 20;

class BlockDecoder {
public:
    // Decodes span `j` of the archive open as `file` into `sink`. Damaged when a CRC or rule
    // fails, or when the span restores another length than the index says (decoding stops at
    // the first byte too many).
    BlockStatus DecodeSpan(platform::FileHandle file, const ArchiveIndex& index, size_t j,
                           SpanSink& sink);

    // Decodes the payload bits [startBit, endBit) found in `bytes` (whose first byte is payload
    // byte startBit / 8) as exactly one sound block, into `sink`, with `*restored` the bytes it
    // restored. Damaged when they are not one sound block or restore more than `limit` bytes.
    BlockStatus DecodeBlock(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                            uint64_t limit, SpanSink& sink, uint64_t* restored);

    // Gives back what the last decodes left allocated beyond the codec's own memory.
    void Trim();

private:
    BlockStatus Blocks(const uint8_t* bytes, uint64_t startBit, uint64_t endBit, uint32_t crc,
                       uint64_t limit, SpanSink& sink, uint64_t* restored);
    BlockStatus Streams(const uint8_t* bytes, size_t length, bool firstOfPayload, uint64_t limit,
                        SpanSink& sink, uint64_t* restored);
    // Runs one stream from `input` through libbz2 into the sink; `*used` the bytes it took.
    BlockStatus OneStream(const uint8_t* input, size_t length, uint64_t limit, SpanSink& sink,
                          uint64_t* restored, size_t* used);

    CodecMemory memory_;
    ByteBuffer read_;     // the span's bytes as read from the archive
    ByteBuffer wrapped_;  // a Blocks span as one stream
    ByteBuffer piece_;    // decoded output, a piece at a time
};

}  // namespace kavrin
