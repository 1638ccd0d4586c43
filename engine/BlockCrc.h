// The CRC that bzip2 keeps for each block and for the whole stream.
//
// Each block stores the CRC-32 (polynomial 0x04C11DB7, most significant bit first, as bzip2
// computes it) of the bytes it restores to; the end of the stream stores the combination of
// all block CRCs in order. Joining blocks made separately into one stream, and checking a
// stream decoded block by block, both need that combination outside the library.
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

// Fills `tail` with the four bytes that, following `prefix`, give the block CRC `target`.
// Used to make a tiny block that starts a decoder with a chosen stream CRC.
void ForgeBlockCrc(const uint8_t* prefix, size_t prefixLength, uint32_t target, uint8_t tail[4]);

}  // namespace kavrin
