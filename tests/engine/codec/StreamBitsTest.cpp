// SPDX-License-Identifier: MIT
// The bit-level pieces the parallel passes stand on: joining bit strings, finding magics at any
// bit offset, finding a block inside a one-block stream, and the block CRC.
#include "engine/codec/StreamBits.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/codec/BlockCrc.h"
#include "tests/support/Bzip2Reference.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

// Bits as a string of '0' and '1': slow and obviously right.
std::string BitString(const uint8_t* data, uint64_t fromBit, uint64_t count) {
    std::string bits;
    for (uint64_t i = fromBit; i < fromBit + count; ++i) {
        bits += (data[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
    }
    return bits;
}

TEST(StreamBitsTest, AppenderJoinsBitStringsAtEveryOffset) {
    std::mt19937 random(7);
    const std::string source = samples::MakeNoise(4096, 3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(source.data());
    for (int round = 0; round < 200; ++round) {
        BitAppender appender;
        std::vector<uint8_t> out(source.size() * 4);
        size_t written = 0;
        std::string expected;
        for (int piece = 0; piece < 6; ++piece) {
            const uint64_t from = random() % 8000;
            const uint64_t count = random() % 3 == 0 ? random() % 9 : random() % 25000;
            if (from + count > 8 * source.size()) continue;
            written += appender.Append(bytes, from, count, out.data() + written);
            expected += BitString(bytes, from, count);
            const unsigned valueBits = random() % 57;
            const uint64_t value = (static_cast<uint64_t>(random()) << 32) | random();
            written += appender.AppendValue(value, valueBits, out.data() + written);
            for (unsigned b = valueBits; b-- > 0;) expected += (value >> b) & 1 ? '1' : '0';
        }
        EXPECT_EQ(appender.pendingBits(), expected.size() % 8);
        written += appender.Finish(out.data() + written);
        ASSERT_EQ(written, (expected.size() + 7) / 8);
        EXPECT_EQ(BitString(out.data(), 0, expected.size()), expected) << "round " << round;
        EXPECT_EQ(BitString(out.data(), expected.size(), 8 * written - expected.size()),
                  std::string(8 * written - expected.size(), '0'));
    }
}

// Writes a 48-bit value into `data` at bit `bit`.
void Plant(std::string& data, uint64_t bit, uint64_t value) {
    for (unsigned i = 0; i < kMagicBits; ++i) {
        const uint64_t at = bit + i;
        const auto mask = static_cast<char>(0x80 >> (at % 8));
        if ((value >> (kMagicBits - 1 - i)) & 1) {
            data[at / 8] = static_cast<char>(data[at / 8] | mask);
        } else {
            data[at / 8] = static_cast<char>(data[at / 8] & ~mask);
        }
    }
}

TEST(StreamBitsTest, FindsEveryMagicAtEveryBitOffsetAndNothingElse) {
    std::string data(20000, '\0');
    std::mt19937 random(11);
    for (char& c : data) c = static_cast<char>(random() & 0xFF);
    // Both magics at all eight offsets, side by side, and at the very edges of the data.
    std::vector<MagicHit> planted;
    uint64_t bit = 0;
    for (unsigned shift = 0; shift < 8; ++shift) {
        for (MagicKind kind : {MagicKind::Block, MagicKind::End}) {
            bit = (bit / 8 + 7) * 8 + shift;
            planted.push_back({bit, kind});
        }
    }
    planted.push_back({9000 * 8 + 3, MagicKind::Block});
    planted.push_back({9000 * 8 + 3 + 48, MagicKind::End});  // directly after another
    planted.push_back({8ull * data.size() - 48, MagicKind::End});
    for (const MagicHit& hit : planted) {
        Plant(data, hit.bit, hit.kind == MagicKind::Block ? kBlockMagic : kEndMagic);
    }
    // The slow truth: every bit offset compared.
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    std::vector<MagicHit> truth;
    for (uint64_t at = 0; at + 48 <= 8 * data.size(); ++at) {
        const uint64_t value = ReadBits(bytes, at, 48);
        if (value == kBlockMagic) truth.push_back({at, MagicKind::Block});
        if (value == kEndMagic) truth.push_back({at, MagicKind::End});
    }
    ASSERT_GE(truth.size(), planted.size());

    auto same = [](const std::vector<MagicHit>& a, const std::vector<MagicHit>& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i].bit != b[i].bit || a[i].kind != b[i].kind) return false;
        }
        return true;
    };
    std::vector<MagicHit> whole;
    FindMagics(bytes, data.size(), 0, data.size(), &whole);
    EXPECT_TRUE(same(whole, truth));
    // In pieces, as the window grows: each start byte is looked at exactly once.
    for (size_t step : {1, 6, 7, 100, 4097}) {
        std::vector<MagicHit> pieces;
        for (size_t from = 0; from < data.size(); from += step) {
            FindMagics(bytes, data.size(), from, std::min(from + step, data.size()), &pieces);
        }
        EXPECT_TRUE(same(pieces, truth)) << "step " << step;
    }
}

TEST(StreamBitsTest, FindsTheBlockInsideAOneBlockStreamAndItsCrc) {
    for (size_t length : {1, 2, 3, 100, 5000, 70001}) {
        const std::string content = samples::MakeNoise(length, static_cast<uint32_t>(length));
        const std::string stream = test::Libbz2Compress(content);
        OneBlock block;
        const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
        ASSERT_TRUE(ParseOneBlockStream(bytes, stream.size(), &block)) << length;
        EXPECT_EQ(block.blockCrc,
                  BlockCrcOf(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
        // The block, then exactly the end magic, the CRC and the padding.
        const uint64_t trailer = 32 + block.blockBits;
        EXPECT_EQ(ReadBits(bytes, trailer, 48), kEndMagic);
        EXPECT_EQ((trailer + 80 + 7) / 8, stream.size());
    }
    std::string broken = test::Libbz2Compress("sound");
    broken[broken.size() - 5] ^= 0x20;  // inside the stream CRC
    OneBlock block;
    EXPECT_FALSE(ParseOneBlockStream(reinterpret_cast<const uint8_t*>(broken.data()), broken.size(),
                                     &block));
}

}  // namespace
}  // namespace kavrin
