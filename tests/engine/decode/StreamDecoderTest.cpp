// SPDX-License-Identifier: MIT
// The engine's bzip2 decoder against the bzip2 library: streams the library wrote, blocks it
// never writes (every code length, 2 and 6 tables, the most selectors, randomised blocks, the
// origin at either end), broken rules, cuts and flipped bits all give the library's verdict,
// the same bytes and the same count of bytes used.
#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/CpuFeatures.h"
#include "engine/codec/StreamBits.h"
#include "engine/decode/StreamDecoder.h"
#include "engine/decode/SymbolLoop.h"
#include "engine/decode/TransformWalk.h"
#include "tests/support/BlockWriter.h"
#include "tests/support/Bzip2Reference.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::BlockParts;
using test::LibraryResult;

// Both decoders agree: verdict, bytes used, and the bytes (for a damaged stream, the engine's
// decoder gives none of the damaged block, the library some).
void ExpectLibraryVerdict(const std::string& stream, size_t piece = SIZE_MAX) {
    const LibraryResult library = test::Libbz2Decode(stream);
    const LibraryResult ours = test::EngineDecode(stream, piece);
    EXPECT_EQ(ours.verdict, library.verdict);
    EXPECT_EQ(ours.consumed, library.consumed);
    if (library.verdict == LibraryResult::Ok) {
        EXPECT_TRUE(ours.restored == library.restored) << "restored bytes differ";
    } else {
        EXPECT_TRUE(library.restored.compare(0, ours.restored.size(), ours.restored) == 0);
    }
}

std::string Runs(std::initializer_list<std::pair<int, int>> spans) {
    std::string data;
    char byte = 'a';
    for (auto [from, to] : spans) {
        for (int n = from; n <= to; ++n) {
            data.append(static_cast<size_t>(n), byte);
            byte = byte == 'z' ? 'a' : static_cast<char>(byte + 1);
        }
    }
    return data;
}

TEST(StreamDecoderTest, RestoresWhatTheLibraryWrote) {
    std::string all(256, '\0'), ascending(256, '\0'), descending(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<char>((i * 167 + 13) & 255);
        ascending[i] = static_cast<char>(i);
        descending[i] = static_cast<char>(255 - i);
    }
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "the quick brown fox " + std::to_string(i % 97) + "\n";
    const struct {
        const char* name;
        std::string data;
        int level;
        size_t piece;
    } cases[] = {
        {"sound, two blocks", test::Sound(2, 16, 7), 9, 65536},
        {"noise", samples::MakeNoise(950000, 3), 9, SIZE_MAX},
        {"text", text, 9, 1},
        {"silence: 46 MB from one block", std::string(46000000, '\0'), 9, SIZE_MAX},
        {"runs around 4, 255 and 256", Runs({{1, 9}, {250, 262}, {508, 520}}), 9, 3},
        {"one byte value", std::string(5000, 'x'), 9, 1},
        {"one byte", "x", 9, 1},
        {"256 byte values", all, 9, 1},
        {"origin at 0", ascending, 9, 1},
        {"origin at the end", descending, 9, 1},
        {"level 1, several blocks", samples::MakeNoise(250000, 5), 1, 100000},
    };
    // The vector loops where the processor has them, and the portable ones.
    for (bool vector : {true, false}) {
        AllowVectorUnits(vector);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (vector ? "" : ", portable loops"));
            const std::string stream = test::Libbz2Compress(c.data, c.level);
            const LibraryResult ours = test::EngineDecode(stream, c.piece);
            EXPECT_EQ(ours.verdict, LibraryResult::Ok);
            EXPECT_EQ(ours.consumed, stream.size());
            EXPECT_TRUE(ours.restored == c.data) << "restored bytes differ";
        }
    }
    AllowVectorUnits(true);
    // The origin cases are what their names say: the 24 bits after the block's CRC and flag.
    const std::string up = test::Libbz2Compress(ascending);
    EXPECT_EQ(ReadBits(reinterpret_cast<const uint8_t*>(up.data()), 32 + 48 + 32 + 1, 24), 0u);
    const std::string down = test::Libbz2Compress(descending);
    EXPECT_EQ(ReadBits(reinterpret_cast<const uint8_t*>(down.data()), 32 + 48 + 32 + 1, 24), 255u);
}

// The zero-run symbols that stand for a run of `length`: digits 1 and 2 of base 2, lowest first.
std::vector<uint16_t> RunSymbols(uint32_t length) {
    std::vector<uint16_t> symbols;
    for (; length > 0; length = (length - 1) / 2) {
        symbols.push_back(length % 2 == 1 ? 0 : 1);
        if (length % 2 == 0) --length;
    }
    return symbols;
}

// A block of `symbols` random literals (and the end) over `used` byte values, with `tables`
// tables of plain lengths and the selectors cycling through them.
BlockParts RandomBlock(size_t symbols, size_t used, size_t tables, uint32_t seed) {
    std::mt19937 random(seed);
    BlockParts block;
    for (size_t i = 0; i < used; ++i) block.used.push_back(static_cast<uint8_t>(i * 256 / used));
    for (size_t t = 0; t < tables; ++t) {
        std::vector<uint8_t> lengths = test::PlainLengths(used + 2);
        std::rotate(lengths.begin(), lengths.begin() + static_cast<long>(t * 7 % (used + 2)),
                    lengths.end());
        block.lengths.push_back(lengths);
    }
    for (size_t i = 0; i < symbols; ++i) {
        block.symbols.push_back(
            static_cast<uint16_t>(used < 2 ? random() % 2 : 2 + random() % (used - 1)));
    }
    block.symbols.push_back(static_cast<uint16_t>(used + 1));
    for (size_t g = 0; g * 50 < block.symbols.size(); ++g) {
        block.selectors.push_back(static_cast<uint8_t>(g % tables));
    }
    block.origin = static_cast<uint32_t>(symbols / 3);
    return block;
}

TEST(StreamDecoderTest, BlocksTheLibraryNeverWritesDecodeAsItDecodesThem) {
    // Every code length from 1 to 20: a complete code over 21 symbols.
    BlockParts lengths = RandomBlock(0, 19, 2, 1);
    lengths.lengths[0].clear();
    for (uint8_t n = 1; n <= 19; ++n) lengths.lengths[0].push_back(n);
    lengths.lengths[0].push_back(20);
    lengths.lengths[0].push_back(20);
    lengths.symbols.clear();
    for (uint16_t round = 0; round < 3; ++round) {
        for (uint16_t s = 0; s < 20; ++s)
            lengths.symbols.push_back(static_cast<uint16_t>((s * 7 + round) % 20));
    }
    lengths.symbols.push_back(20);
    lengths.selectors.assign(2, 0);
    lengths.origin = 5;

    // A real block of the library, randomised as old versions wrote them.
    std::string sound = test::Sound(1, 16, 1);
    std::string real = test::Libbz2Compress(sound);
    real[4 + 10] = static_cast<char>(real[4 + 10] | 0x80);  // bit 80 of the block: randomised

    BlockParts oneValue = RandomBlock(0, 1, 2, 2);
    oneValue.symbols = {0, 1, 1, 0, 1, 2};  // runs of the one value, then the end
    oneValue.origin = 0;
    BlockParts originAtEnd = RandomBlock(3000, 40, 3, 3);
    originAtEnd.origin = 2999;
    BlockParts originAtStart = RandomBlock(3000, 256, 4, 4);
    originAtStart.origin = 0;
    BlockParts randomised = RandomBlock(20000, 200, 5, 5);
    randomised.randomised = true;
    // A run of exactly the block size, and one past it.
    BlockParts fullRun = RandomBlock(0, 3, 2, 6);
    fullRun.symbols = RunSymbols(900000);
    fullRun.symbols.push_back(4);
    BlockParts overRun = fullRun;
    overRun.symbols = RunSymbols(900001);
    overRun.symbols.push_back(4);

    const BlockParts most = test::Sealed(RandomBlock(900000, 255, 6, 7));  // 18001 selectors
    BlockParts oneSpare = most;
    oneSpare.selectorCount = 18002;
    BlockParts tooMany = most;
    tooMany.selectorCount = 32767;  // read, and all past 18002 ignored
    BlockParts tooFew = most;
    tooFew.selectorCount = 18000;

    const struct {
        const char* name;
        std::string stream;
    } cases[] = {
        {"every code length", test::StreamOf({test::Sealed(lengths)})},
        {"6 tables", test::StreamOf({test::Sealed(RandomBlock(5000, 100, 6, 8))})},
        {"2 tables", test::StreamOf({test::Sealed(RandomBlock(5000, 256, 2, 9))})},
        {"one byte value", test::StreamOf({test::Sealed(oneValue)})},
        {"origin at the end", test::StreamOf({test::Sealed(originAtEnd)})},
        {"origin at 0", test::StreamOf({test::Sealed(originAtStart)})},
        {"randomised", test::StreamOf({test::Sealed(randomised)})},
        {"a run of the whole block", test::StreamOf({test::Sealed(fullRun)})},
        {"a run past the block", test::StreamOf({test::Sealed(overRun)})},
        {"18001 selectors", test::StreamOf({most})},
        {"18002 selectors", test::StreamOf({oneSpare})},
        {"32767 selectors", test::StreamOf({tooMany})},
        {"too few selectors", test::StreamOf({tooFew})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectLibraryVerdict(c.stream);
    }
    // The real block randomised, with the CRC of what it now restores to, in the block and at
    // the stream's end.
    const LibraryResult changed = test::Libbz2Decode(real);
    EXPECT_FALSE(changed.restored == sound);
    const uint32_t crc = BlockCrcOf(reinterpret_cast<const uint8_t*>(changed.restored.data()),
                                    changed.restored.size());
    OneBlock one;
    ASSERT_TRUE(
        ParseOneBlockStream(reinterpret_cast<const uint8_t*>(real.data()), real.size(), &one));
    for (uint64_t at : {uint64_t{32 + 48}, 32 + one.blockBits + 48}) {
        for (unsigned k = 0; k < 32; ++k) {
            const uint64_t bit = at + k;
            const auto mask = static_cast<char>(0x80 >> (bit % 8));
            real[bit / 8] = static_cast<char>((crc >> (31 - k)) & 1 ? real[bit / 8] | mask
                                                                    : real[bit / 8] & ~mask);
        }
    }
    EXPECT_EQ(test::Libbz2Decode(real).verdict, LibraryResult::Ok);
    ExpectLibraryVerdict(real);
}

TEST(StreamDecoderTest, BrokenRulesAreFoundWhereTheLibraryFindsThem) {
    const BlockParts good = RandomBlock(300, 20, 3, 11);
    auto with = [&](auto change) {
        BlockParts block = good;
        change(block);
        return test::StreamOf({test::Sealed(block)});
    };
    const struct {
        const char* name;
        std::string stream;
    } cases[] = {
        {"one table", with([](BlockParts& b) { b.lengths.resize(1); })},
        {"seven tables", with([](BlockParts& b) { b.lengths.resize(7, b.lengths[0]); })},
        {"no selectors", with([](BlockParts& b) { b.selectorCount = 0; })},
        {"a selector past the tables", with([](BlockParts& b) { b.selectors[2] = 3; })},
        {"code length 0", with([](BlockParts& b) { b.lengths[1][0] = 0; })},
        {"code length 21", with([](BlockParts& b) { b.lengths[2][5] = 21; })},
        {"origin past the largest block", with([](BlockParts& b) { b.origin = 900011; })},
        {"origin past the block", with([](BlockParts& b) { b.origin = 300; })},
        {"no byte values", with([](BlockParts& b) { b.used.clear(); })},
        {"no code", with([](BlockParts& b) {
             b.lengths[0] = std::vector<uint8_t>(22, 5);  // incomplete: 22 of 32 codes
             b.symbols[10] = test::kNoCode;
         })},
        {"a run of 22 symbols",
         with([](BlockParts& b) { b.symbols.insert(b.symbols.begin() + 5, 22, 0); })},
        {"a block past its level",
         test::StreamOf({test::Sealed(RandomBlock(100001, 9, 2, 12), '1')}, '1')},
        {"stream header", "BZh0" + test::StreamOf({test::Sealed(good)}).substr(4)},
    };
    std::vector<std::pair<std::string, std::string>> all;
    for (const auto& c : cases) all.emplace_back(c.name, c.stream);
    // A code that leads nowhere at every bit offset: codes of 5 bits, one more each time.
    for (int k = 1; k < 8; ++k) {
        all.emplace_back("no code " + std::to_string(k), with([k](BlockParts& b) {
                             b.lengths[0] = std::vector<uint8_t>(22, 5);
                             b.symbols[10 + k] = test::kNoCode;
                         }));
    }
    for (const auto& [name, stream] : all) {
        SCOPED_TRACE(name);
        const LibraryResult library = test::Libbz2Decode(stream);
        EXPECT_NE(library.verdict, LibraryResult::Ok);
        // Also cut short around the fault: found with the same last bit, or waiting for it.
        for (uint64_t length = library.consumed >= 3 ? library.consumed - 3 : 0;
             length <= library.consumed; ++length) {
            ExpectLibraryVerdict(stream.substr(0, length));
        }
    }

    // Every cut and every flipped bit of a small two-block stream.
    const std::string stream =
        test::StreamOf({test::Sealed(RandomBlock(120, 12, 2, 13)), test::Sealed(good)});
    for (size_t length = 0; length < stream.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        ExpectLibraryVerdict(stream.substr(0, length), 5);
    }
    for (size_t bit = 0; bit < 8 * stream.size(); ++bit) {
        SCOPED_TRACE("bit " + std::to_string(bit));
        std::string flipped = stream;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (0x80 >> (bit % 8)));
        ExpectLibraryVerdict(flipped);
    }
}

}  // namespace
}  // namespace kavrin
