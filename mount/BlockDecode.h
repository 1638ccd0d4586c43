// Decoding one bzip2 block of an archive on its own: its bits, wrapped as a one-block stream
// ("BZh9", the block, an end magic and the block's CRC as the stream CRC), go through libbz2,
// which checks the block against its CRC; the output then goes through the delta filter from
// the restored bytes kept before it.
//
// A BlockDecoder holds the codec's working memory and buffers for one decode at a time; give
// each thread its own. The archive's descriptor may be shared (reads go to explicit offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/ByteBuffer.h"
#include "engine/CodecMemory.h"
#include "engine/DeltaFilter.h"
#include "mount/ArchiveIndex.h"
#include "platform/File.h"

namespace kavrin {

enum class BlockStatus { Ok, ReadError, Damaged, NoMemory };
const char* DescribeBlockStatus(BlockStatus status);

// What a decode restored: its length and the restored bytes it ended with.
struct BlockOutput {
    uint64_t length = 0;
    uint8_t tail[kDeltaLeadBytes] = {};  // its last min(offset + length, 8) restored bytes
};

class BlockDecoder {
public:
    // Decodes block `j` of the archive open as `file` and copies the restored bytes from
    // `keepFrom` up to `keepTo` (offsets within the block's output) into `out`. Damaged when
    // the block fails its CRC or restores another length than the index says.
    BlockStatus DecodeIndexed(platform::FileHandle file, const ArchiveIndex& index, size_t j,
                              uint64_t keepFrom, uint64_t keepTo, uint8_t* out);

    // Decodes the payload bits [startBit, endBit) found in `bytes` (whose first byte is payload
    // byte startBit / 8) as one block whose output starts at `restoredOffset` of a file of
    // `fileSize` bytes filtered with `mode`, after the restored bytes `lead`. Damaged when it is
    // not exactly one sound block or restores more than `limit` bytes. Nothing is kept.
    BlockStatus DecodeBits(const uint8_t* bytes, uint64_t startBit, uint64_t endBit, DeltaMode mode,
                           uint64_t fileSize, uint64_t restoredOffset, const uint8_t* lead,
                           uint64_t limit, BlockOutput* output);

private:
    BlockStatus Run(const uint8_t* bytes, uint64_t startBit, uint64_t endBit, DeltaMode mode,
                    uint64_t fileSize, uint64_t restoredOffset, const uint8_t* lead, uint64_t limit,
                    uint64_t keepFrom, uint64_t keepTo, uint8_t* out, BlockOutput* output);

    CodecMemory memory_;
    ByteBuffer read_;     // the block's bytes as read from the archive
    ByteBuffer wrapped_;  // the one-block stream
    ByteBuffer piece_;    // decoded output, a piece at a time
};

}  // namespace kavrin
