// SPDX-License-Identifier: MIT
// Bit-level facts of a bzip2 stream, for joining blocks made apart and for finding blocks in
// a stream.
//
// A stream is "BZh9", then blocks, each opening with the 48-bit block magic and its 32-bit
// CRC, then the 48-bit end-of-stream magic, the 32-bit combined CRC and zero bits up to a
// whole byte. Blocks are not byte-aligned: they follow one another bit by bit, most
// significant bit first. Pure functions and small value types; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrin {

inline constexpr uint64_t kBlockMagic = 0x314159265359ull;
inline constexpr uint64_t kEndMagic = 0x177245385090ull;
inline constexpr unsigned kMagicBits = 48;
inline constexpr unsigned kCrcBits = 32;
// The stream header "BZh9": four bytes, 32 bits.
inline constexpr uint8_t kBzipHeader[4] = {'B', 'Z', 'h', '9'};
inline constexpr unsigned kHeaderBits = 32;

// Whether `byte` may stand at `index` (0 to 3) of a stream header "BZh1".."BZh9".
inline bool FitsStreamHeader(unsigned index, uint8_t byte) {
    return index < 3 ? byte == kBzipHeader[index] : byte >= '1' && byte <= '9';
}
// The block size (1 to 9, in 100 000 bytes) of the stream header in `bytes`, or 0 when the four
// bytes are no stream header.
inline uint32_t StreamHeaderLevel(const uint8_t bytes[4]) {
    for (unsigned i = 0; i < 4; ++i) {
        if (!FitsStreamHeader(i, bytes[i])) return 0;
    }
    return static_cast<uint32_t>(bytes[3] - '0');
}

// `count` (at most 57) bits starting at bit `bit` of `data`, most significant first. The
// caller guarantees they lie inside the data.
uint64_t ReadBits(const uint8_t* data, uint64_t bit, unsigned count);

// A one-block stream as libbz2 makes it for one block's input: "BZh9", the block, the end
// magic, the combined CRC (equal to the block CRC) and padding.
struct OneBlock {
    uint32_t blockCrc = 0;
    uint64_t blockBits = 0;  // the block's length in bits, from bit 32 of the stream
};
// Finds the block inside a one-block stream. The end magic is looked for only where the
// stream's last bits can put it (0 to 7 padding bits back from the end), never by searching
// forward through the block. False when the bytes are not such a stream.
bool ParseOneBlockStream(const uint8_t* stream, size_t length, OneBlock* block);

// Appends bit strings, most significant bit first, writing each completed byte to a caller's
// buffer; the bits of an unfinished byte wait inside for the next call.
class BitAppender {
public:
    // Appends `count` bits of `source` from bit `fromBit`. `out` needs room for count / 8 + 2
    // bytes. Returns the bytes written.
    size_t Append(const uint8_t* source, uint64_t fromBit, uint64_t count, uint8_t* out);
    // Appends the low `count` (at most 56) bits of `value`. Returns the bytes written.
    size_t AppendValue(uint64_t value, unsigned count, uint8_t* out);
    // Completes the last byte with zero bits. Returns the bytes written (0 or 1).
    size_t Finish(uint8_t* out);
    unsigned pendingBits() const { return pendingBits_; }

private:
    uint8_t pending_ = 0;  // the waiting bits, at the top of the byte
    unsigned pendingBits_ = 0;
};

enum class MagicKind { Block, End };
struct MagicHit {
    uint64_t bit;  // where the magic's first bit lies, counted from bit 0 of the data
    MagicKind kind;
};

// Appends to `hits`, in increasing order, every block or end magic of `data` that starts in a
// byte from `fromByte` up to (not including) `toByte` and lies wholly inside the data. A cheap
// filter on two-byte pairs keeps the search well below a nanosecond per byte.
void FindMagics(const uint8_t* data, size_t length, size_t fromByte, size_t toByte,
                std::vector<MagicHit>* hits);

}  // namespace kavrin
