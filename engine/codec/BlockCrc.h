// SPDX-License-Identifier: MIT
// The CRC that bzip2 keeps for each block and for the whole stream.
//
// Each block stores the CRC-32 (polynomial 0x04C11DB7, most significant bit first, as bzip2
// computes it) of the bytes it restores to; the end of the stream stores the combination of
// all block CRCs in order. Joining blocks made separately into one stream, and checking a
// stream decoded block by block, both need that combination outside the library.
//
// The running form (start with kCrcStart, update, finish with ~) lets a block's CRC be taken
// over pieces: the bytes as they come, and a run of one byte repeated in a few steps whatever
// its length, so a block of silence is checked without spelling out its 46 MB. The updates use
// carry-less multiplication where the processor has it (many bytes per cycle), tables
// elsewhere; both give the same values.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

// The stream CRC after one more block: rotated left by one, then the block's CRC mixed in.
inline uint32_t CombineBlockCrc(uint32_t combined, uint32_t blockCrc) {
    return ((combined << 1) | (combined >> 31)) ^ blockCrc;
}

// The block CRC of `length` bytes.
uint32_t BlockCrcOf(const uint8_t* bytes, size_t length);

// The running register before the first byte; the block CRC is its complement at the end.
inline constexpr uint32_t kCrcStart = 0xFFFFFFFFu;
// The running register after `length` more bytes.
uint32_t UpdateBlockCrc(uint32_t running, const uint8_t* bytes, size_t length);
// The running register after `count` more copies of `byte`.
uint32_t UpdateBlockCrcRepeat(uint32_t running, uint8_t byte, uint64_t count);

}  // namespace kavrin
