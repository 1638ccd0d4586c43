// SPDX-License-Identifier: MIT
// Move-to-front with the 256-entry list held in up to eight AVX2 registers (as many as the
// bytes in use need): the symbol is found by comparing whole registers, and the entries before
// it move up one place, each register taking the last entry of the register below. Compiled with
// AVX2; runs only where CanRun(VectorUnit::Avx2).
#include "engine/encode/BlockCoding.h"

#if defined(__AVX2__)
#include <immintrin.h>

#include <algorithm>

namespace kavrin {

namespace {

// `x` moved up one byte, its first byte taken from the last byte of `below`.
inline __m256i ShiftUp(__m256i x, __m256i below) {
    const __m256i joined = _mm256_permute2x128_si256(x, below, 0x03);
    return _mm256_alignr_epi8(x, joined, 15);
}

// The loop for a list of `kRegisters` registers (the bytes in use fit in them), so the list
// lives in registers: each step compares and moves every register without a branch; an entry
// moves when its place is at most the found one (the found one itself takes the entry below).
template <int kRegisters>
size_t MoveToFrontIn(const uint8_t* indices, size_t count, uint16_t* out, uint32_t* freq) {
    __m256i list[kRegisters];
    __m256i places[kRegisters];
#pragma GCC unroll 8
    for (int k = 0; k < kRegisters; ++k) {
        places[k] = _mm256_add_epi8(
            _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31),
            _mm256_set1_epi8(static_cast<char>(32 * k)));
        list[k] = places[k];
    }
    size_t written = 0;
    uint32_t zeros = 0;
    uint8_t front = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t symbol = indices[i];
        if (symbol == front) {
            ++zeros;
            continue;
        }
        if (zeros > 0) {
            written += PutZeroRun(zeros, out + written, freq);
            zeros = 0;
        }
        const __m256i wanted = _mm256_set1_epi8(static_cast<char>(symbol));
        uint32_t position = 0;
#pragma GCC unroll 8
        for (int k = kRegisters - 1; k >= 0; --k) {
            const auto mask =
                static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(list[k], wanted)));
            if (mask != 0) position = 32 * static_cast<uint32_t>(k) + __builtin_ctz(mask);
        }
        const __m256i found = _mm256_set1_epi8(static_cast<char>(position));
        __m256i below = wanted;
#pragma GCC unroll 8
        for (int k = 0; k < kRegisters; ++k) {
            const __m256i old = list[k];
            const __m256i moves =
                _mm256_cmpeq_epi8(_mm256_max_epu8(places[k], found), found);  // place <= found
            list[k] = _mm256_blendv_epi8(old, ShiftUp(old, below), moves);
            below = old;
        }
        front = symbol;
        const auto value = static_cast<uint16_t>(position + 1);
        out[written++] = value;
        ++freq[value];
    }
    if (zeros > 0) written += PutZeroRun(zeros, out + written, freq);
    return written;
}

}  // namespace

size_t MoveToFrontAvx2(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                       uint32_t* freq) {
    std::fill(freq, freq + kMaxAlphabet, 0u);
    size_t written = 0;
    switch ((inUse + 31) / 32) {
        case 0:
        case 1:
            written = MoveToFrontIn<1>(indices, count, out, freq);
            break;
        case 2:
            written = MoveToFrontIn<2>(indices, count, out, freq);
            break;
        case 3:
            written = MoveToFrontIn<3>(indices, count, out, freq);
            break;
        case 4:
            written = MoveToFrontIn<4>(indices, count, out, freq);
            break;
        case 5:
            written = MoveToFrontIn<5>(indices, count, out, freq);
            break;
        case 6:
            written = MoveToFrontIn<6>(indices, count, out, freq);
            break;
        case 7:
            written = MoveToFrontIn<7>(indices, count, out, freq);
            break;
        default:
            written = MoveToFrontIn<8>(indices, count, out, freq);
            break;
    }
    const auto endOfBlock = static_cast<uint16_t>(inUse + 1);
    out[written++] = endOfBlock;
    ++freq[endOfBlock];
    return written;
}

}  // namespace kavrin

#else

namespace kavrin {

// Never chosen where the unit cannot run: CanRun(VectorUnit::Avx2) is false there.
size_t MoveToFrontAvx2(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                       uint32_t* freq) {
    return MoveToFrontPortable(indices, count, inUse, out, freq);
}

}  // namespace kavrin

#endif
