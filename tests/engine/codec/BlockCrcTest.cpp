// SPDX-License-Identifier: MIT
// The block CRC over pieces and over repeated bytes, on both of its paths, against the CRC
// taken bit by bit; and how block CRCs combine into the stream's.
#include "engine/codec/BlockCrc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/codec/CpuFeatures.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

TEST(BlockCrcTest, CrcOfPiecesAndRepeatsMatchesByteByByte) {
    auto bytewise = [](uint32_t crc, const std::string& bytes) {
        for (unsigned char byte : bytes) {
            crc ^= static_cast<uint32_t>(byte) << 24;
            for (int k = 0; k < 8; ++k)
                crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        return crc;
    };
    const std::string noise = samples::MakeNoise(5000, 9);
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        // Carry-less multiplication where the processor has it, and the tables, alike.
        AllowVectorUnits(round % 2 == 0);
        const size_t from = random() % 64;
        const size_t length = round < 1000 ? random() % 300 : random() % 4900;
        const uint32_t start = random();
        const std::string piece = noise.substr(from, length);
        EXPECT_EQ(UpdateBlockCrc(start, reinterpret_cast<const uint8_t*>(piece.data()), length),
                  bytewise(start, piece));
        const auto byte = static_cast<uint8_t>(random());
        const uint64_t count = random() % 1000;
        EXPECT_EQ(UpdateBlockCrcRepeat(start, byte, count),
                  bytewise(start, std::string(count, static_cast<char>(byte))));
    }
    AllowVectorUnits(true);
}

TEST(BlockCrcTest, BlockCrcsCombineAsTheStreamCrc) {
    EXPECT_EQ(CombineBlockCrc(0x80000001u, 0x0F), 0x00000003u ^ 0x0Fu);
}

}  // namespace
}  // namespace kavrin
