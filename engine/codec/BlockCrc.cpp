// SPDX-License-Identifier: MIT
#include "engine/codec/BlockCrc.h"

#include <array>
#include <cstring>

#include "engine/codec/CpuFeatures.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KAVRIN_CLMUL 1
#endif

namespace kavrin {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

// x^n mod P, for the carry-less steps: folding moves a value forward by n bits.
constexpr uint32_t PowerOfX(unsigned n) {
    uint32_t value = 1;  // x^0
    for (unsigned i = 0; i < n; ++i) {
        value = (value & 0x80000000u) ? (value << 1) ^ kPolynomial : value << 1;
    }
    return value;
}

// One step of the register over a byte (tables 1..7: the byte followed by 1..7 zero bytes).
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        }
        tables[0][i] = crc;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t before = tables[k - 1][i];
            tables[k][i] = (before << 8) ^ tables[0][before >> 24];
        }
    }
    return tables;
}

constexpr std::array<std::array<uint32_t, 256>, 8> kTables = MakeTables();

// The longest run one repeat step covers; longer ones take several.
constexpr unsigned kRepeatStep = 256;

struct RepeatTables {
    std::array<uint32_t, kRepeatStep + 1> shift{};  // x^(8k) mod P
    std::array<uint32_t, kRepeatStep + 1> fill{};   // x^32 (1 + x^8 + ... + x^(8(k-1))) mod P
};

constexpr RepeatTables MakeRepeatTables() {
    RepeatTables tables;
    for (unsigned k = 0; k <= kRepeatStep; ++k) tables.shift[k] = PowerOfX(8 * k);
    const uint32_t x32 = PowerOfX(32);
    tables.fill[0] = 0;
    for (unsigned k = 1; k <= kRepeatStep; ++k) {
        uint32_t value = tables.fill[k - 1];
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 0x80000000u) ? (value << 1) ^ kPolynomial : value << 1;
        }
        tables.fill[k] = value ^ x32;
    }
    return tables;
}

constexpr RepeatTables kRepeat = MakeRepeatTables();

uint32_t LoadBigEndian32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// The register after `length` more bytes, eight at a time through the tables.
uint32_t UpdateWithTables(uint32_t crc, const uint8_t* bytes, size_t length) {
    while (length >= 8) {
        crc ^= LoadBigEndian32(bytes);
        crc = kTables[7][crc >> 24] ^ kTables[6][(crc >> 16) & 0xFF] ^
              kTables[5][(crc >> 8) & 0xFF] ^ kTables[4][crc & 0xFF] ^ kTables[3][bytes[4]] ^
              kTables[2][bytes[5]] ^ kTables[1][bytes[6]] ^ kTables[0][bytes[7]];
        bytes += 8;
        length -= 8;
    }
    for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ kTables[0][(crc >> 24) ^ bytes[i]];
    return crc;
}

uint32_t RepeatWithTables(uint32_t crc, uint8_t byte, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) crc = (crc << 8) ^ kTables[0][(crc >> 24) ^ byte];
    return crc;
}

#ifdef KAVRIN_CLMUL

// floor(x^64 / P), for Barrett's reduction of a 64-bit remainder: long division, bringing
// down the dividend's bits from x^64 to x^0.
constexpr uint64_t BarrettQuotient() {
    uint64_t quotient = 0;
    uint64_t remainder = 0;
    for (int degree = 64; degree >= 0; --degree) {
        remainder = (remainder << 1) | (degree == 64 ? 1u : 0u);
        if (remainder & (1ull << 32)) {
            remainder ^= (1ull << 32) | kPolynomial;
            quotient |= 1ull << degree;
        }
    }
    return quotient;
}

constexpr uint64_t kBarrett = BarrettQuotient();
constexpr uint64_t kFullPolynomial = (1ull << 32) | kPolynomial;

__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i value, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(value, constants, 0x11),
                         _mm_clmulepi64_si128(value, constants, 0x00));
}

__attribute__((target("pclmul,ssse3"))) inline __m128i LoadReversed(const uint8_t* bytes) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), reverse);
}

// The 64-bit remainder `z` reduced modulo P.
__attribute__((target("pclmul,ssse3"))) inline uint32_t Reduce64(uint64_t z) {
    const __m128i quotient = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<int64_t>(z >> 32)),
                                                  _mm_cvtsi64_si128(kBarrett), 0x00);
    const auto q = static_cast<uint64_t>(_mm_cvtsi128_si64(quotient)) >> 32;
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<int64_t>(q)),
                                                 _mm_cvtsi64_si128(kFullPolynomial), 0x00);
    return static_cast<uint32_t>(z ^ static_cast<uint64_t>(_mm_cvtsi128_si64(product)));
}

// The register after `length` (at least 64) more bytes: four 128-bit lanes folded forward 512
// bits at a time, joined, and reduced; the last few bytes through the tables.
__attribute__((target("pclmul,ssse3"))) uint32_t UpdateWithClmul(uint32_t crc, const uint8_t* bytes,
                                                                 size_t length) {
    const __m128i by512 = _mm_set_epi64x(PowerOfX(576), PowerOfX(512));
    const __m128i by128 = _mm_set_epi64x(PowerOfX(192), PowerOfX(128));
    __m128i lane0 =
        _mm_xor_si128(LoadReversed(bytes), _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
    __m128i lane1 = LoadReversed(bytes + 16);
    __m128i lane2 = LoadReversed(bytes + 32);
    __m128i lane3 = LoadReversed(bytes + 48);
    bytes += 64;
    length -= 64;
    while (length >= 64) {
        lane0 = _mm_xor_si128(Fold(lane0, by512), LoadReversed(bytes));
        lane1 = _mm_xor_si128(Fold(lane1, by512), LoadReversed(bytes + 16));
        lane2 = _mm_xor_si128(Fold(lane2, by512), LoadReversed(bytes + 32));
        lane3 = _mm_xor_si128(Fold(lane3, by512), LoadReversed(bytes + 48));
        bytes += 64;
        length -= 64;
    }
    __m128i value = _mm_xor_si128(Fold(lane0, by128), lane1);
    value = _mm_xor_si128(Fold(value, by128), lane2);
    value = _mm_xor_si128(Fold(value, by128), lane3);
    while (length >= 16) {
        value = _mm_xor_si128(Fold(value, by128), LoadReversed(bytes));
        bytes += 16;
        length -= 16;
    }
    // The register is value * x^32 mod P: bring the 160-bit product down to 64 bits.
    const __m128i by96 = _mm_cvtsi64_si128(PowerOfX(96));
    const __m128i by64 = _mm_cvtsi64_si128(PowerOfX(64));
    const __m128i wide = _mm_xor_si128(_mm_clmulepi64_si128(value, by96, 0x01),
                                       _mm_slli_si128(_mm_move_epi64(value), 4));
    const __m128i narrow =
        _mm_xor_si128(_mm_clmulepi64_si128(wide, by64, 0x01), _mm_move_epi64(wide));
    crc = Reduce64(static_cast<uint64_t>(_mm_cvtsi128_si64(narrow)));
    return UpdateWithTables(crc, bytes, length);
}

// The register after `count` (at most kRepeatStep) copies of `byte`: the register moved
// forward by the run's length, plus the run's own contribution.
__attribute__((target("pclmul,ssse3"))) uint32_t RepeatWithClmul(uint32_t crc, uint8_t byte,
                                                                 unsigned count) {
    const __m128i moved =
        _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(crc)),
                             _mm_cvtsi32_si128(static_cast<int>(kRepeat.shift[count])), 0x00);
    const __m128i filled = _mm_clmulepi64_si128(
        _mm_cvtsi32_si128(byte), _mm_cvtsi32_si128(static_cast<int>(kRepeat.fill[count])), 0x00);
    return Reduce64(static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_xor_si128(moved, filled))));
}

#endif

}  // namespace

uint32_t UpdateBlockCrc(uint32_t running, const uint8_t* bytes, size_t length) {
#ifdef KAVRIN_CLMUL
    if (length >= 64 && CanRun(VectorUnit::Clmul)) return UpdateWithClmul(running, bytes, length);
#endif
    return UpdateWithTables(running, bytes, length);
}

uint32_t UpdateBlockCrcRepeat(uint32_t running, uint8_t byte, uint64_t count) {
#ifdef KAVRIN_CLMUL
    if (CanRun(VectorUnit::Clmul)) {
        while (count > 0) {
            const auto step = static_cast<unsigned>(count < kRepeatStep ? count : kRepeatStep);
            running = RepeatWithClmul(running, byte, step);
            count -= step;
        }
        return running;
    }
#endif
    return RepeatWithTables(running, byte, count);
}

uint32_t BlockCrcOf(const uint8_t* bytes, size_t length) {
    return ~UpdateBlockCrc(kCrcStart, bytes, length);
}

}  // namespace kavrin
