// SPDX-License-Identifier: MIT
// The symbol stage's fast loop (SymbolLoop.h) with the move-to-front list in eight 256-bit
// registers, for processors with AVX2; built with AVX2 enabled, called only where
// BlockSymbols.cpp finds it.
//
// Sound moves bytes from deep in the list (the index averages about 90): shifting them in
// memory costs a store-to-load wait for every byte. In registers a move is a shift of every
// register by one byte, each position kept or shifted by one compare against the index. The
// registers hold the list lane-interleaved (register k: positions 16k..16k+15 in its low
// half, 128+16k.. in its high half), so the shift needs one cross-lane step for all eight.
// The moved byte is read from a copy of the list stored two moves before, its index adjusted
// for the move between: the read never waits for the store before it.
#include "engine/decode/SymbolLoop.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace kavrin {
namespace {

// Position p of the list, biased for a signed compare, where the registers hold it. Made at
// compile time: code that runs before main in this file would run on every processor, with
// the instructions this file is built for.
struct Positions {
    alignas(32) int8_t bytes[8][32] = {};
    constexpr Positions() {
        for (int k = 0; k < 8; ++k) {
            for (int j = 0; j < 16; ++j) {
                bytes[k][j] = static_cast<int8_t>((16 * k + j) ^ 0x80);
                bytes[k][16 + j] = static_cast<int8_t>((128 + 16 * k + j) ^ 0x80);
            }
        }
    }
};
constexpr Positions kPositions;

inline __m256i PositionsOf(int k) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(kPositions.bytes[k]));
}

// The list in registers. The copies live outside the object (the reader's list has room
// after it), so that nothing of the object is addressed and its registers stay registers.
class VectorMtf {
public:
    explicit VectorMtf(uint8_t* list)
        : list_(list),
          copies_(reinterpret_cast<uint8_t*>(
              (reinterpret_cast<uintptr_t>(list) + kListRoom - 2 * 256) & ~uintptr_t{31})) {
        Load(0, list);
        Load(1, list);
        Load(2, list);
        Load(3, list);
        Load(4, list);
        Load(5, list);
        Load(6, list);
        Load(7, list);
        Store(copies_);
        Store(copies_ + 256);
        front_ = list[0];
    }

    uint8_t Front() const { return front_; }

    uint8_t Take(uint32_t index) {
        // The list before the last move and that move's index give this move's byte: the
        // last move shifted the positions up to its index by one.
        uint8_t* older = copies_ + 256 * parity_;
        const uint32_t at = index - (index <= lastIndex_ ? 1 : 0);
        const uint8_t byte = older[Place(at)];
        lastIndex_ = index;

        const __m256i limit = _mm256_set1_epi8(static_cast<char>(index ^ 0x80));
        // Each position up to the index takes the one before it, from the last register down
        // (each uses the one below before that one changes); position 0 takes 0, then the byte.
        const __m256i carry = _mm256_permute2x128_si256(r7_, r7_, 0x08);
        r7_ = Shift(r7_, r6_, 7, limit);
        r6_ = Shift(r6_, r5_, 6, limit);
        r5_ = Shift(r5_, r4_, 5, limit);
        r4_ = Shift(r4_, r3_, 4, limit);
        r3_ = Shift(r3_, r2_, 3, limit);
        r2_ = Shift(r2_, r1_, 2, limit);
        r1_ = Shift(r1_, r0_, 1, limit);
        r0_ = Shift(r0_, carry, 0, limit);
        r0_ = _mm256_or_si256(r0_, _mm256_zextsi128_si256(_mm_cvtsi32_si128(byte)));
        Store(older);  // read again two moves from now
        parity_ ^= 1;
        front_ = byte;
        return byte;
    }

    void Finish() {
        Save(0, r0_);
        Save(1, r1_);
        Save(2, r2_);
        Save(3, r3_);
        Save(4, r4_);
        Save(5, r5_);
        Save(6, r6_);
        Save(7, r7_);
    }

    // The reader's list array has this much room: the list, and two aligned copies after it.
    static constexpr size_t kListRoom = 256 + 32 + 2 * 256 + 32;

private:
    static __m256i Shift(__m256i here, __m256i below, int k, __m256i limit) {
        const __m256i shifted = _mm256_alignr_epi8(here, below, 15);
        return _mm256_blendv_epi8(shifted, here, _mm256_cmpgt_epi8(PositionsOf(k), limit));
    }
    // Where a position lies in a stored copy.
    static uint32_t Place(uint32_t position) {
        return ((position >> 4) & 7) * 32 + (position >> 7) * 16 + (position & 15);
    }
    void Load(int k, const uint8_t* list) {
        const __m256i value =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(list + 128 + 16 * k),
                                reinterpret_cast<const __m128i*>(list + 16 * k));
        switch (k) {
            case 0:
                r0_ = value;
                break;
            case 1:
                r1_ = value;
                break;
            case 2:
                r2_ = value;
                break;
            case 3:
                r3_ = value;
                break;
            case 4:
                r4_ = value;
                break;
            case 5:
                r5_ = value;
                break;
            case 6:
                r6_ = value;
                break;
            default:
                r7_ = value;
                break;
        }
    }
    void Save(int k, __m256i value) const {
        _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(list_ + 128 + 16 * k),
                             reinterpret_cast<__m128i*>(list_ + 16 * k), value);
    }
    void Store(uint8_t* copy) const {
        auto* to = reinterpret_cast<__m256i*>(copy);
        _mm256_store_si256(to + 0, r0_);
        _mm256_store_si256(to + 1, r1_);
        _mm256_store_si256(to + 2, r2_);
        _mm256_store_si256(to + 3, r3_);
        _mm256_store_si256(to + 4, r4_);
        _mm256_store_si256(to + 5, r5_);
        _mm256_store_si256(to + 6, r6_);
        _mm256_store_si256(to + 7, r7_);
    }

    uint8_t* list_;
    uint8_t* copies_;
    __m256i r0_, r1_, r2_, r3_, r4_, r5_, r6_, r7_;
    uint32_t parity_ = 0;     // copies_ + 256 * parity_: the list before the last move
    uint32_t lastIndex_ = 0;  // the last move's index (0: no move yet)
    uint8_t front_ = 0;
};

static_assert(VectorMtf::kListRoom <= kMoveToFrontRoom, "the reader's list has room for copies");

}  // namespace

LoopEnd RunSymbolsAvx2(SymbolState& state, BitInput& in) {
    return RunSymbols<VectorMtf>(state, in);
}

}  // namespace kavrin

#endif
