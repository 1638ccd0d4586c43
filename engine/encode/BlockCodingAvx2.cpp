// SPDX-License-Identifier: MIT
// Move-to-front with the 256-entry list held in eight AVX2 registers: the symbol is found by
// comparing whole registers, and the entries before it move up one place a register at a
// time, each taking the last entry of the register below. Compiled with AVX2; runs only where
// CanRun(VectorUnit::Avx2).
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

}  // namespace

size_t MoveToFrontAvx2(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                       uint32_t* freq) {
    std::fill(freq, freq + kMaxAlphabet, 0u);
    alignas(32) uint8_t start[256];
    for (int i = 0; i < 256; ++i) start[i] = static_cast<uint8_t>(i);
    __m256i list[8];
    for (int k = 0; k < 8; ++k) {
        list[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(start + 32 * k));
    }
    const int registers = (inUse + 31) / 32;
    const __m256i lanes =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
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
        int k = 0;
        uint32_t mask = 0;
        for (; k < registers; ++k) {
            mask = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(list[k], wanted)));
            if (mask != 0) break;
        }
        const int inRegister = __builtin_ctz(mask);
        __m256i below = wanted;
        for (int j = 0; j < k; ++j) {
            const __m256i old = list[j];
            list[j] = ShiftUp(old, below);
            below = old;
        }
        const __m256i old = list[k];
        const __m256i moved = ShiftUp(old, below);
        const __m256i upTo =
            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(inRegister + 1)), lanes);
        list[k] = _mm256_blendv_epi8(old, moved, upTo);
        front = symbol;
        const auto value = static_cast<uint16_t>(32 * k + inRegister + 1);
        out[written++] = value;
        ++freq[value];
    }
    if (zeros > 0) written += PutZeroRun(zeros, out + written, freq);
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
