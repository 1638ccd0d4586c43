// SPDX-License-Identifier: MIT
// The first stages of decoding a bzip2 stream: the stream and block headers, the Huffman-coded
// symbols and the move-to-front that turns them back into the block-sorted bytes (the last
// column of the sorting transform), with their counts.
//
// A reader takes a stream's bits in pieces of any size. It consumes what it can decide with the
// bits it has and stops where it needs more, keeping its place; every step reads exactly the
// bits the bzip2 library reads for it, so a damaged block is found at the same bit, and an
// input cut short (Status::NeedBits at its end) is told from a damaged one as the library
// tells them. Every rule the library checks is checked here: the stream header "BZh1".."BZh9",
// the block and end magics, the origin pointer (at most 10 + the block size, then below the
// block's length), at least one byte value in use, 2 to 6 tables, at least one selector and
// each below the table count (selectors past 18002 are read and ignored), code lengths of 1 to
// 20 at every step, codes that lead to no symbol within 20 bits, no more symbols than the
// selectors cover, runs below 2^21 symbols' worth and blocks no longer than the header's block
// size. Codes that are incomplete or oversubscribed decode as the library decodes them.
//
// Memory: the block's bytes (the header's block size plus a few bytes, at most 900 KB) and a
// few tables (under 40 KB). One reader per thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/codec/ByteBuffer.h"

namespace kavrin {

// The bits a reader may take: bits [bit, end) of `data`, most significant bit of each byte
// first. Only bytes below (end + 7) / 8 are read.
struct BitInput {
    const uint8_t* data = nullptr;
    uint64_t bit = 0;
    uint64_t end = 0;
};

inline constexpr uint32_t kMaxBlockBytes = 900000;  // the block size of "BZh9"
inline constexpr uint32_t kMaxSelectors = 18002;    // 2 + 900000 / 50
// Room the move-to-front list has (the vector loop keeps two copies of the list after it).
inline constexpr size_t kMoveToFrontRoom = 1024 + 64;
// Room a column has beyond its bytes, for the inverse transform's pages (BlockTransform.h).
inline constexpr uint32_t kColumnSlack = 32 * 1024 + 64;

// The decoding tables of one Huffman table and the symbol stage's place in a block: internal
// to the block decoder (SymbolLoop.h), here for their size.
struct HuffmanTable {
    static constexpr unsigned kLookupBits = 10;
    int32_t limit[24];  // the last code of each length, the library's way
    int32_t base[24];   // turns a code of each length into its rank
    int32_t perm[258];  // the symbols by rank
    int32_t minLength;
    uint16_t lookup[1u << kLookupBits];  // symbol | length << 9; 0: the code is longer
};

// The symbol stage's place inside a block, kept between calls.
struct SymbolState {
    const HuffmanTable* tables = nullptr;
    const uint8_t* selectors = nullptr;
    uint32_t selectorCount = 0;
    uint32_t group = 0;      // selectors used so far
    uint32_t groupLeft = 0;  // symbols left in the current group
    const HuffmanTable* table = nullptr;
    uint32_t runLength = 0;   // the zero run read so far
    uint32_t runShift = 0;    // its symbols so far
    uint8_t* list = nullptr;  // the move-to-front list, front first
    uint8_t* column = nullptr;
    uint32_t length = 0;
    uint32_t maxLength = 0;
    uint32_t* counts = nullptr;
    uint32_t endOfBlock = 0;
    uint32_t origin = 0;
    uint64_t errorBit = 0;
};

class BlockSymbolReader {
public:
    BlockSymbolReader();
    BlockSymbolReader(const BlockSymbolReader&) = delete;
    BlockSymbolReader& operator=(const BlockSymbolReader&) = delete;

    enum class Expect {
        StreamHeader,  // "BZh1".."BZh9" first, then blocks
        Block,         // a block or end magic (the header's block size given to Start)
    };
    // Starts reading; `level` (1..9) is the block size in 100 000 bytes when no stream header
    // comes first.
    void Start(Expect what, uint32_t level = 9);

    enum class Status {
        NeedBits,    // every bit given has been used; give more (the place is kept)
        BlockReady,  // a block's symbols are read: its column, counts and header below
        StreamEnd,   // the end magic and the stream CRC are read
        BadHeader,   // the stream does not open with "BZh1".."BZh9"
        Damaged,     // a rule is broken; errorBit() tells where
        NoMemory,    // no memory for the block's bytes (the place is kept: call again)
    };
    // Reads from in.bit on and moves in.bit past what it consumed. After BlockReady the next
    // call goes on with the next block or end magic.
    Status Read(BitInput& in);

    // After BlockReady: the block's bytes in sorted order (the transform's last column), and
    // the header's facts. The column may be changed in place (the transform does); it stays
    // until the next Read that starts a block. Room for length() + kColumnSlack bytes.
    uint8_t* column() { return column_.data(); }
    uint32_t length() const { return symbols_.length; }
    const uint32_t* counts() const { return counts_; }  // how often each byte value occurs
    uint32_t origin() const { return origin_; }         // the origin pointer, below length()
    uint32_t storedCrc() const { return storedCrc_; }
    bool randomised() const { return randomised_; }
    uint32_t level() const { return level_; }
    // After StreamEnd: the stream CRC stored after the end magic.
    uint32_t storedStreamCrc() const { return storedCrc_; }
    // After Damaged or BadHeader: the bits the library would have read when it found the
    // fault, counted from bit 0 of the data.
    uint64_t errorBit() const { return errorBit_; }
    // Hands the column over; `other` takes its place (a block sizes it as it needs).
    void SwapColumn(ByteBuffer& other);
    size_t columnCapacity() const { return column_.capacity(); }

private:
    enum class State {
        StreamMagic,
        BlockMagic,
        EndMagic,
        StreamCrc,
        BlockCrc,
        RandomBit,
        Origin,
        UsedGroups,
        UsedBytes,
        TableCount,
        SelectorCount,
        Selectors,
        LengthStart,
        LengthStep,
        LengthChange,
        SymbolsStart,
        Symbols,
    };
    bool EnsureColumn();
    void BeginSymbols();
    void BuildTable(HuffmanTable& table, const uint8_t* lengths);
    Status ReadSymbols(BitInput& in);
    // The steps before the symbols, one state at a time: the magics and CRCs; the randomised
    // bit, origin, bytes in use, table count and selectors; the code lengths (then the tables).
    // True to go on; false with `*result` where Read must return.
    bool ReadMarker(BitInput& in, Status* result);
    bool ReadBlockHeader(BitInput& in, Status* result);
    bool ReadCodeLength(BitInput& in, Status* result);
    static bool Stop(Status* result, Status status) {
        *result = status;
        return false;
    }
    Status Fail(uint64_t bit) {
        errorBit_ = bit;
        return Status::Damaged;
    }

    State state_ = State::BlockMagic;
    uint32_t step_ = 0;  // the byte of a magic, the group or table being read
    uint32_t level_ = 9;
    uint32_t maxLength_ = kMaxBlockBytes;
    uint64_t errorBit_ = 0;

    // The block header.
    uint32_t storedCrc_ = 0;
    bool randomised_ = false;
    uint32_t origin_ = 0;
    uint16_t usedGroups_ = 0;
    uint8_t byteOf_[256] = {};  // the byte values in use, in order
    uint32_t usedCount_ = 0;
    uint32_t tableCount_ = 0;
    uint32_t selectorCount_ = 0;
    uint32_t selectorsRead_ = 0;
    uint8_t selectors_[kMaxSelectors] = {};
    uint8_t lengths_[6][258] = {};
    uint32_t symbolIndex_ = 0;
    int32_t current_ = 0;  // the code length being read
    HuffmanTable tables_[6];

    // The symbols.
    SymbolState symbols_;
    uint8_t list_[kMoveToFrontRoom] = {};  // the move-to-front list, front first
    ByteBuffer column_;
    uint32_t counts_[256] = {};
};

}  // namespace kavrin
