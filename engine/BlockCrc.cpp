#include "engine/BlockCrc.h"

#include <array>

namespace kavrin {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

// The running register (before the final inversion) after `length` more bytes.
uint32_t Update(uint32_t crc, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ kTable[(crc >> 24) ^ bytes[i]];
    return crc;
}

// Undoes one multiplication by x modulo the polynomial. The polynomial's lowest term is 1,
// so the lowest bit tells whether the forward step reduced.
uint32_t DivideByX(uint32_t value) {
    return (value & 1u) ? ((value ^ kPolynomial) >> 1) | 0x80000000u : value >> 1;
}

}  // namespace

uint32_t BlockCrcOf(const uint8_t* bytes, size_t length) {
    return ~Update(0xFFFFFFFFu, bytes, length);
}

void ForgeBlockCrc(const uint8_t* prefix, size_t prefixLength, uint32_t target, uint8_t tail[4]) {
    // Four bytes M after a register R leave (R xor M) * x^32 in the register; solve for M.
    const uint32_t running = Update(0xFFFFFFFFu, prefix, prefixLength);
    uint32_t wanted = ~target;
    for (int i = 0; i < 32; ++i) wanted = DivideByX(wanted);
    const uint32_t m = running ^ wanted;
    tail[0] = static_cast<uint8_t>(m >> 24);
    tail[1] = static_cast<uint8_t>(m >> 16);
    tail[2] = static_cast<uint8_t>(m >> 8);
    tail[3] = static_cast<uint8_t>(m);
}

}  // namespace kavrin
