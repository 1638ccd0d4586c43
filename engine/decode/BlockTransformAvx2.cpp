// SPDX-License-Identifier: MIT
// The inverse transform's vector walk (TransformWalk.h), for processors with AVX2; built with
// AVX2 enabled, called only where BlockTransform.cpp finds it.
//
// Thirty-two chains, four groups of eight lanes: each round, one gather per group reads the
// eight lanes' entries, and the eight bytes go out as one eight-byte record. A chain's step is
// then a few instructions, so the processor keeps dozens of table reads in flight where a step
// of ordinary code lets it keep a handful. Cuts (and the rare range of places whose byte's high
// half needs a search) are found with one compare per group and handled apart.
#include "engine/decode/TransformWalk.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace kavrin {

uint32_t WalkLanesAvx2(const LaneWalk& walk, uint32_t* atOut, uint32_t* pieceOut, uint32_t* count) {
    constexpr uint32_t kGroups = kLanes / 8;
    constexpr uint32_t kDone = PieceBook::kNone;
    PieceBook& book = *walk.book;
    *count = 0;
    // Fewer pieces than lanes to keep busy for a while: the chain walk does better alone.
    if (walk.pieces - *walk.queued < 2 * kLanes) return 0;

    alignas(32) uint32_t at[kLanes];
    uint32_t piece[kLanes];
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
        const uint32_t p = (*walk.queued)++;
        piece[lane] = p;
        at[lane] = p * walk.spacing + walk.offset;
        book.pieces[p].lane = lane;
        book.pieces[p].firstRound = 0;
    }
    __m256i place[kGroups];
    for (uint32_t g = 0; g < kGroups; ++g) {
        place[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(at + 8 * g));
    }
    const __m256i pointerMask = _mm256_set1_epi32(0xFFFFF);
    const __m256i fifteen = _mm256_set1_epi32(15);
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256i mixed = _mm256_set1_epi32(PieceBook::kMixed);
    const __m256i origin = _mm256_set1_epi32(static_cast<int>(walk.origin));
    const __m256i cutMask = _mm256_set1_epi32(static_cast<int>(walk.spacing - 1));
    const __m256i zero = _mm256_setzero_si256();
    const auto* entries = reinterpret_cast<const int*>(walk.entries);
    const auto* ranges = reinterpret_cast<const int*>(book.ranges);

    uint32_t round = 0;
    bool more = true;
    while (more) {
        for (uint32_t g = 0; g < kGroups; ++g) {
            const __m256i here = place[g];
            const __m256i offset = _mm256_add_epi32(_mm256_add_epi32(here, here), here);
            const __m256i entry = _mm256_i32gather_epi32(entries, offset, 1);
            const __m256i high = _mm256_and_si256(
                _mm256_i32gather_epi32(ranges, _mm256_srli_epi32(here, 8), 1), byteMask);
            const __m256i low = _mm256_and_si256(_mm256_srli_epi32(entry, 20), fifteen);
            const __m256i next = _mm256_and_si256(entry, pointerMask);
            // Eight bytes, in lane order, as one record.
            const __m256i bytes = _mm256_or_si256(high, low);
            const __m256i words = _mm256_packus_epi32(bytes, bytes);
            const __m256i packed = _mm256_packus_epi16(words, words);
            const __m128i record = _mm_unpacklo_epi32(_mm256_castsi256_si128(packed),
                                                      _mm256_extracti128_si256(packed, 1));
            uint8_t* out = walk.pool + (static_cast<size_t>(round) * kGroups + g) * 8;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), record);
            const int searched =
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(high, mixed)));
            const int cut = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(
                _mm256_and_si256(_mm256_sub_epi32(next, origin), cutMask), zero)));
            place[g] = next;
            if ((searched | cut) == 0) continue;
            alignas(32) uint32_t was[8], now[8], half[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(was), here);
            _mm256_store_si256(reinterpret_cast<__m256i*>(now), next);
            _mm256_store_si256(reinterpret_cast<__m256i*>(half), low);
            for (uint32_t l = 0; l < 8; ++l) {
                if (searched & (1 << l)) {
                    uint32_t k = 0;
                    k += was[l] >= book.starts[k + 8] ? 8 : 0;
                    k += was[l] >= book.starts[k + 4] ? 4 : 0;
                    k += was[l] >= book.starts[k + 2] ? 2 : 0;
                    k += was[l] >= book.starts[k + 1] ? 1 : 0;
                    out[l] = static_cast<uint8_t>((k << 4) | half[l]);
                }
                if (!(cut & (1 << l))) continue;
                // The lane's piece ends at a cut: it takes the next piece, if any is left.
                const uint32_t lane = 8 * g + l;
                PieceBook::Piece& ended = book.pieces[piece[lane]];
                ended.endRound = round + 1;
                ended.next = now[l] / walk.spacing;
                if (*walk.queued == walk.pieces) {
                    piece[lane] = kDone;
                    more = false;  // the last pieces go on one chain step at a time
                    continue;
                }
                const uint32_t p = (*walk.queued)++;
                piece[lane] = p;
                now[l] = p * walk.spacing + walk.offset;
                book.pieces[p].lane = lane;
                book.pieces[p].firstRound = round + 1;
            }
            place[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(now));
        }
        ++round;
    }
    for (uint32_t g = 0; g < kGroups; ++g) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(at + 8 * g), place[g]);
    }
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
        if (piece[lane] == kDone) continue;
        book.pieces[piece[lane]].endRound = round;
        atOut[*count] = at[lane];
        pieceOut[*count] = piece[lane];
        ++*count;
    }
    return round;
}

void TransposeLanesAvx2(const uint8_t* records, uint32_t rounds, uint8_t* lanes) {
    // Eight rounds of a group at a time: an 8 x 8 transpose of bytes.
    constexpr uint32_t kGroups = kLanes / 8;
    uint32_t round = 0;
    for (; round + 8 <= rounds; round += 8) {
        for (uint32_t g = 0; g < kGroups; ++g) {
            __m128i row[8];
            for (uint32_t r = 0; r < 8; ++r) {
                row[r] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                    records + (static_cast<size_t>(round + r) * kGroups + g) * 8));
            }
            const __m128i a0 = _mm_unpacklo_epi8(row[0], row[1]);
            const __m128i a1 = _mm_unpacklo_epi8(row[2], row[3]);
            const __m128i a2 = _mm_unpacklo_epi8(row[4], row[5]);
            const __m128i a3 = _mm_unpacklo_epi8(row[6], row[7]);
            const __m128i b0 = _mm_unpacklo_epi16(a0, a1);
            const __m128i b1 = _mm_unpackhi_epi16(a0, a1);
            const __m128i b2 = _mm_unpacklo_epi16(a2, a3);
            const __m128i b3 = _mm_unpackhi_epi16(a2, a3);
            const __m128i c[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),
                                  _mm_unpacklo_epi32(b1, b3), _mm_unpackhi_epi32(b1, b3)};
            for (uint32_t k = 0; k < 4; ++k) {
                uint8_t* even = lanes + static_cast<size_t>(8 * g + 2 * k) * rounds + round;
                uint8_t* odd = lanes + static_cast<size_t>(8 * g + 2 * k + 1) * rounds + round;
                _mm_storel_epi64(reinterpret_cast<__m128i*>(even), c[k]);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(odd), _mm_unpackhi_epi64(c[k], c[k]));
            }
        }
    }
    for (; round < rounds; ++round) {
        for (uint32_t lane = 0; lane < kLanes; ++lane) {
            lanes[static_cast<size_t>(lane) * rounds + round] =
                records[static_cast<size_t>(round) * kLanes + lane];
        }
    }
}

}  // namespace kavrin

#endif
