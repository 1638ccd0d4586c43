// SPDX-License-Identifier: MIT
// The block encoder against libbz2 byte for byte, on both move-to-front paths: inputs that
// break sorters (periodic and nearly periodic blocks, one symbol, runs), inputs that reach
// every table count and the code-length limit, sound, and whole blocks.
#include "engine/encode/BlockEncoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/codec/CpuFeatures.h"
#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockCoding.h"
#include "tests/support/Bzip2Reference.h"
#include "tests/support/EngineHarness.h"

// libbz2's own table builder, exported by the library though not declared in its header.
extern "C" void BZ2_hbMakeCodeLengths(unsigned char* len, int* freq, int alphaSize, int maxLen);

namespace kavrin {
namespace {

// Every block of `data` as the encoder writes it, against libbz2 on that block alone.
void ExpectLibraryBlocks(const std::string& data, const std::string& what, size_t piece = 4096) {
    const std::vector<std::string> blocks = test::CutBlocks(data);
    const std::vector<std::string> ours = test::EncoderStreams(data, piece);
    ASSERT_EQ(ours.size(), blocks.size()) << what;
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(ours[i], test::Libbz2Compress(blocks[i])) << what << ", block " << i;
    }
}

class BlockEncoderTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { AllowVectorUnits(GetParam()); }
    void TearDown() override { AllowVectorUnits(true); }
};

TEST_P(BlockEncoderTest, SmallBlocksOfEveryShapeMatchTheLibrary) {
    std::mt19937 random(29);
    ExpectLibraryBlocks("", "empty");
    ExpectLibraryBlocks("a", "one byte");
    ExpectLibraryBlocks(std::string(5000, static_cast<char>(251)), "only byte 251");
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    ExpectLibraryBlocks(all, "all 256 bytes once");
    // Lengths from a few bytes to 10 000 over alphabets of 2 to 256 bytes, flat and skewed:
    // from under 200 coded symbols (two tables) to thousands (six), and skewed counts that
    // push codes past 17 bits.
    for (int round = 0; round < 120; ++round) {
        const size_t length = 1 + random() % (round < 60 ? 700 : 10000);
        const int alphabet = 2 + static_cast<int>(random() % 255);
        const bool skewed = round % 3 == 0;
        std::string data(length, '\0');
        for (char& c : data) {
            uint32_t r = static_cast<uint32_t>(random() % static_cast<uint32_t>(alphabet));
            if (skewed)
                r = std::min<uint32_t>(r, static_cast<uint32_t>(__builtin_ctz(random() | 0x10000)));
            c = static_cast<char>(r);
        }
        ExpectLibraryBlocks(data, "random " + std::to_string(round), 1 + random() % 5000);
    }
    // Frequencies doubling from symbol to symbol: the deepest Huffman trees there are.
    std::string fibonacci;
    for (int s = 0; s < 24; ++s)
        fibonacci += std::string(size_t{1} << (s < 14 ? s : 14), static_cast<char>('A' + s));
    std::shuffle(fibonacci.begin(), fibonacci.end(), random);
    ExpectLibraryBlocks(fibonacci, "skewed counts");
}

TEST_P(BlockEncoderTest, PeriodicAndNearlyPeriodicBlocksMatchTheLibrary) {
    std::mt19937 random(7);
    BlockEncoder encoder;
    for (size_t period = 1; period <= 300; period += period < 40 ? 1 : 13) {
        std::string unit(period, '\0');
        for (char& c : unit) c = static_cast<char>(random() % 4);
        std::string data;
        while (data.size() < 3000) data += unit;
        ExpectLibraryBlocks(data, "period " + std::to_string(period));
        // One byte changed makes the rotations distinct, with long equal stretches to sort.
        data[data.size() / 2] ^= 1;
        ExpectLibraryBlocks(data, "nearly period " + std::to_string(period));
    }
    // A periodic block again is answered from the one kept.
    // Silence: runs of 255 zeros, each four zeros and a count in the block, over and over.
    const std::string silence(255 * 7000, '\0');
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    for (std::vector<uint8_t>* out : {&first, &second}) {
        encoder.Begin();
        encoder.Feed(reinterpret_cast<const uint8_t*>(silence.data()), silence.size());
        ASSERT_TRUE(encoder.Finish(*out));
    }
    EXPECT_EQ(encoder.periodicBlocks(), 2u);
    EXPECT_EQ(encoder.repeatedBlocks(), 1u);
    EXPECT_EQ(std::string(second.begin(), second.end()), test::Libbz2Compress(silence));
}

TEST_P(BlockEncoderTest, WholeBlocksOfSoundAndRunsMatchTheLibrary) {
    // Delta-filtered sound: several full blocks, joined into the stream libbz2 makes.
    const std::string sound = test::Filtered(test::Sound(2, 16, 12.0, 5), DeltaMode::Bits16);
    const std::vector<std::string> ours = test::EncoderStreams(sound, 65536);
    ASSERT_GE(ours.size(), 2u);
    EXPECT_EQ("BZh9" + test::JoinBlocks(ours), test::Libbz2Compress(sound));
    // A run that ends exactly where a block ends, and runs across the cut.
    std::string runs = test::RunFree(kBlockFillLimit - 5, 3) + std::string(255, 'x') +
                       std::string(100, 'y') + test::RunFree(2000, 4);
    ExpectLibraryBlocks(runs, "run at the cut", 333333);
    runs = test::RunFree(kBlockFillLimit - 2, 3) + std::string(3000, 'z') + "tail";
    ExpectLibraryBlocks(runs, "run across the cut", 65536);
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockEncoderTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Vector" : "Portable"; });

TEST(BlockCodingTest, VectorMoveToFrontMatchesPortable) {
    if (!CanRun(VectorUnit::Avx2)) GTEST_SKIP() << "no AVX2 here";
    std::mt19937 random(11);
    for (int inUse : {1, 2, 31, 32, 33, 64, 200, 256}) {
        std::vector<uint8_t> indices(20000);
        for (auto& v : indices) {
            v = static_cast<uint8_t>(random() % 3 == 0 ? 0
                                                       : random() % static_cast<uint32_t>(inUse));
        }
        std::vector<uint16_t> a(indices.size() + 1);
        std::vector<uint16_t> b(indices.size() + 1);
        uint32_t freqA[kMaxAlphabet];
        uint32_t freqB[kMaxAlphabet];
        const size_t na =
            MoveToFrontPortable(indices.data(), indices.size(), inUse, a.data(), freqA);
        const size_t nb = MoveToFrontAvx2(indices.data(), indices.size(), inUse, b.data(), freqB);
        ASSERT_EQ(na, nb);
        EXPECT_TRUE(std::equal(a.begin(), a.begin() + na, b.begin())) << inUse;
        EXPECT_TRUE(std::equal(freqA, freqA + kMaxAlphabet, freqB)) << inUse;
    }
}

TEST(BlockCodingTest, CodeLengthsMatchTheLibraryAlsoWhenCodesGrowTooLong) {
    std::mt19937 random(17);
    for (int round = 0; round < 400; ++round) {
        const int alphaSize = 3 + static_cast<int>(random() % 256);
        std::vector<uint32_t> freq(static_cast<size_t>(alphaSize));
        for (int v = 0; v < alphaSize; ++v) {
            // Flat, sparse with zeros and ties, or growing like Fibonacci numbers (trees
            // deeper than 17, which the rescaling must cut); never more than a block holds.
            switch (round % 3) {
                case 0:
                    freq[v] = static_cast<uint32_t>(random() % 1000);
                    break;
                case 1:
                    freq[v] = random() % 4 == 0 ? 0 : static_cast<uint32_t>(random() % 3);
                    break;
                default:
                    // Fibonacci numbers up to a block's worth, then a tail of rare symbols.
                    freq[v] = v < 2 ? 1 : v < 27 ? freq[v - 1] + freq[v - 2] : random() % 3;
                    break;
            }
        }
        std::shuffle(freq.begin(), freq.end(), random);
        std::vector<int> theirFreq(freq.begin(), freq.end());
        std::vector<uint8_t> ours(static_cast<size_t>(alphaSize));
        std::vector<uint8_t> theirs(static_cast<size_t>(alphaSize));
        MakeCodeLengths(ours.data(), freq.data(), alphaSize, 17);
        BZ2_hbMakeCodeLengths(theirs.data(), theirFreq.data(), alphaSize, 17);
        ASSERT_EQ(ours, theirs) << "round " << round;
        EXPECT_LE(*std::max_element(ours.begin(), ours.end()), 17);
    }
}

}  // namespace
}  // namespace kavrin
