// SPDX-License-Identifier: MIT
// Move-to-front kept as each byte's place in the list, in up to eight AVX2 registers (as many as
// the bytes in use need), rather than as the list itself: the found byte's place is read from
// memory, where the registers were last stored, and every register is updated at once without a
// search (places before the found one move up one, the found one becomes 0). Compiled with AVX2;
// runs only where CanRun(VectorUnit::Avx2).
#include "engine/encode/BlockCoding.h"

#if defined(__AVX2__)
#include <immintrin.h>

#include <algorithm>

namespace kavrin {

namespace {

// The loop for a list of `kRegisters` registers (the bytes in use fit in them). Bytes that are
// not in use keep places at or above the count in use, which no step reaches.
template <int kRegisters>
size_t MoveToFrontIn(const uint8_t* indices, size_t count, uint16_t* out, uint32_t* freq) {
    alignas(32) uint8_t placeOf[32 * kRegisters];
    __m256i places[kRegisters];
#pragma GCC unroll 8
    for (int k = 0; k < kRegisters; ++k) {
        places[k] = _mm256_add_epi8(
            _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31),
            _mm256_set1_epi8(static_cast<char>(32 * k)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(placeOf) + k, places[k]);
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
        const uint8_t position = placeOf[symbol];
        const __m256i found = _mm256_set1_epi8(static_cast<char>(position));
#pragma GCC unroll 8
        for (int k = 0; k < kRegisters; ++k) {
            const __m256i place = places[k];
            const __m256i atMost = _mm256_cmpeq_epi8(_mm256_min_epu8(place, found), place);
            const __m256i same = _mm256_cmpeq_epi8(place, found);
            // Subtracting -1 adds one place; the found byte's place becomes 0.
            places[k] = _mm256_andnot_si256(same, _mm256_sub_epi8(place, atMost));
            _mm256_store_si256(reinterpret_cast<__m256i*>(placeOf) + k, places[k]);
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
