// SPDX-License-Identifier: MIT
// The inner loop of the symbol stage (BlockSymbols.h): Huffman codes through a lookup table,
// zero runs and move-to-front, a group of 50 symbols at a time while the input holds a whole
// group. Internal to the block decoder: BlockSymbols.cpp runs it with the move-to-front list in
// memory, BlockSymbolsAvx2.cpp with the list in vector registers, on processors that have them.
// Everything here has internal linkage, so each of the two may be built for its own processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/decode/BlockSymbols.h"

namespace kavrin {

enum class LoopEnd {
    Slow,      // the input may not hold the next whole group: go on symbol by symbol
    BlockEnd,  // the end of the block came (origin checked)
    Damaged,   // a rule is broken at state.errorBit
};

// Runs the fast loop where CanRun(VectorUnit::Avx2) (BlockSymbolsAvx2.cpp).
LoopEnd RunSymbolsAvx2(SymbolState& state, BitInput& in);

namespace {

constexpr uint32_t kGroupSize = 50;
constexpr uint32_t kMaxCodeLength = 20;
constexpr uint32_t kMaxRunShift = 21;  // a run's symbols stand for less than 2^21 x their weight
// A group decoded without looking at the input's end: 50 codes of at most 21 bits, and the
// reads ahead of them.
constexpr uint64_t kFastGroupBits = kGroupSize * 21 + 192;
constexpr uint16_t kLongCode = 0;

// `count` (1 to 32) bits at in.bit; the caller has checked they lie below in.end.
inline uint32_t PeekBits(const BitInput& in, unsigned count) {
    uint64_t byte = in.bit >> 3;
    const unsigned need = static_cast<unsigned>(in.bit & 7) + count;
    uint64_t value = 0;
    unsigned have = 0;
    while (have < need) {
        value = (value << 8) | in.data[byte++];
        have += 8;
    }
    return static_cast<uint32_t>((value >> (have - need)) & ((1ull << count) - 1));
}

inline bool HasBits(const BitInput& in, uint64_t count) {
    return in.end - in.bit >= count;
}

inline uint64_t LoadBigEndian64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return __builtin_bswap64(value);
}

enum class SymbolResult { Ok, NeedBits, Damaged };

// The next symbol by the library's walk from the table's shortest length. Consumes nothing
// unless Ok; on Damaged, *errorBit is where the library stops.
inline SymbolResult DecodeSymbolSlowly(const HuffmanTable& table, BitInput& in, uint32_t* symbol,
                                       uint64_t* errorBit) {
    uint32_t n = static_cast<uint32_t>(table.minLength);
    if (!HasBits(in, n)) return SymbolResult::NeedBits;
    int32_t code = static_cast<int32_t>(PeekBits(in, n));
    for (;;) {
        if (n > kMaxCodeLength) {
            *errorBit = in.bit + n;
            return SymbolResult::Damaged;
        }
        if (code <= table.limit[n]) break;
        ++n;
        if (!HasBits(in, n)) return SymbolResult::NeedBits;
        code = static_cast<int32_t>(PeekBits(in, n));
    }
    const int32_t at = code - table.base[n];
    if (at < 0 || at >= 258) {
        *errorBit = in.bit + n;
        return SymbolResult::Damaged;
    }
    *symbol = static_cast<uint32_t>(table.perm[at]);
    in.bit += n;
    return SymbolResult::Ok;
}

// Writes `count` copies of `byte` at `to`; the column has room past its end for short runs.
inline void FillRun(uint8_t* to, uint8_t byte, uint32_t count) {
    if (count <= 16) {
        const uint64_t pattern = 0x0101010101010101ull * byte;
        std::memcpy(to, &pattern, 8);
        std::memcpy(to + 8, &pattern, 8);
    } else {
        std::memset(to, byte, count);
    }
}

// The move-to-front list in memory.
struct ByteMtf {
    explicit ByteMtf(uint8_t* list) : list_(list) {}
    uint8_t Front() const { return list_[0]; }
    // The byte at `index` (at least 1), moved to the front.
    uint8_t Take(uint32_t index) {
        const uint8_t byte = list_[index];
        std::memmove(list_ + 1, list_, index);
        list_[0] = byte;
        return byte;
    }
    void Finish() {}

private:
    uint8_t* list_;
};

// Takes one decoded symbol. Returns false when the block ends or breaks (`end` says which).
template <class Mtf>
inline bool TakeSymbol(SymbolState& s, Mtf& mtf, uint32_t symbol, uint64_t bitAfter, LoopEnd* end) {
    if (symbol < 2) {
        if (s.runShift >= kMaxRunShift) {
            s.errorBit = bitAfter;
            *end = LoopEnd::Damaged;
            return false;
        }
        s.runLength += (symbol + 1) << s.runShift;
        ++s.runShift;
        return true;
    }
    if (s.runShift > 0) {
        if (s.runLength > s.maxLength - s.length) {
            s.errorBit = bitAfter;
            *end = LoopEnd::Damaged;
            return false;
        }
        const uint8_t front = mtf.Front();
        FillRun(s.column + s.length, front, s.runLength);
        s.counts[front] += s.runLength;
        s.length += s.runLength;
        s.runLength = 0;
        s.runShift = 0;
    }
    if (symbol == s.endOfBlock) {
        if (s.origin >= s.length) {
            s.errorBit = bitAfter;
            *end = LoopEnd::Damaged;
            return false;
        }
        *end = LoopEnd::BlockEnd;
        return false;
    }
    if (s.length >= s.maxLength) {
        s.errorBit = bitAfter;
        *end = LoopEnd::Damaged;
        return false;
    }
    const uint8_t byte = mtf.Take(symbol - 1);
    s.column[s.length++] = byte;
    ++s.counts[byte];
    return true;
}

// Whole groups while the input holds them, each code through the lookup table (longer ones
// by the library's walk), from a bit window refilled before each code.
template <class Mtf>
LoopEnd RunSymbols(SymbolState& s, BitInput& in) {
    Mtf mtf(s.list);
    LoopEnd end = LoopEnd::Slow;
    bool going = true;
    while (going) {
        if (s.groupLeft == 0) {
            if (s.group >= s.selectorCount) {
                s.errorBit = in.bit;
                end = LoopEnd::Damaged;
                break;
            }
            if (!HasBits(in, kFastGroupBits)) break;
            s.table = &s.tables[s.selectors[s.group++]];
            s.groupLeft = kGroupSize;
        } else if (s.groupLeft != kGroupSize || !HasBits(in, kFastGroupBits)) {
            break;
        }
        const HuffmanTable& table = *s.table;
        const uint8_t* next = in.data + (in.bit >> 3);
        uint64_t window = LoadBigEndian64(next);
        next += 7;
        const auto skip = static_cast<unsigned>(in.bit & 7);
        window <<= skip;
        unsigned available = 56 - skip;
        for (uint32_t k = 0; k < kGroupSize && going; ++k) {
            // Refilled to 56..63 bits: enough for any code.
            window |= LoadBigEndian64(next) >> available;
            next += (63 - available) >> 3;
            available |= 56;
            const uint16_t entry = table.lookup[window >> (64 - HuffmanTable::kLookupBits)];
            uint32_t symbol, used;
            if (entry != kLongCode) {
                symbol = entry & 0x1FF;
                used = entry >> 9;
            } else {
                BitInput at{in.data, 8 * static_cast<uint64_t>(next - in.data) - available, in.end};
                const uint64_t from = at.bit;
                if (DecodeSymbolSlowly(table, at, &symbol, &s.errorBit) != SymbolResult::Ok) {
                    end = LoopEnd::Damaged;
                    going = false;
                    break;
                }
                used = static_cast<uint32_t>(at.bit - from);
            }
            window <<= used;
            available -= used;
            --s.groupLeft;
            going = TakeSymbol(s, mtf, symbol,
                               8 * static_cast<uint64_t>(next - in.data) - available, &end);
        }
        in.bit = 8 * static_cast<uint64_t>(next - in.data) - available;
    }
    mtf.Finish();
    return end;
}

}  // namespace
}  // namespace kavrin
