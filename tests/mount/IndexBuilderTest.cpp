// SPDX-License-Identifier: MIT
// The index's build follows the expansion rules (several streams, sizes that must agree, the
// payload's end, CRCs, the mode byte, the engine's one-thread fall-back) in both of its ways,
// whatever number of blocks and streams a payload holds, and says damage as damage.
#include "mount/IndexBuilder.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/MountHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::BuildOf;
using test::ExpectEverySpan;

// A stream of its own for `data`, by libbz2 at `level`.
std::string Stream(const std::string& data, int level) {
    std::string out(data.size() + data.size() / 50 + 700, '\0');
    auto length = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                       static_cast<unsigned>(data.size()), level, 0, 0),
              BZ_OK);
    out.resize(length);
    return out;
}

// One stream of many blocks, each of a few bytes: what no bzip2 program writes, but a valid
// stream all the same. Without its "BZh9", as a payload's first stream.
std::string ManyBlocks(const std::vector<std::string>& parts) {
    std::vector<std::string> streams;
    size_t room = 64;
    for (const std::string& part : parts) {
        streams.push_back(Stream(part, 1));
        streams.back()[3] = '9';  // as ParseOneBlockStream wants; a tiny block fits any level
        room += streams.back().size();
    }
    std::string joined(room, '\0');
    BitAppender appender;
    auto* out = reinterpret_cast<uint8_t*>(joined.data());
    size_t length = 0;
    uint32_t combined = 0;
    for (const std::string& stream : streams) {
        OneBlock block;
        EXPECT_TRUE(ParseOneBlockStream(reinterpret_cast<const uint8_t*>(stream.data()),
                                        stream.size(), &block));
        length += appender.Append(reinterpret_cast<const uint8_t*>(stream.data()), kHeaderBits,
                                  block.blockBits, out + length);
        combined = CombineBlockCrc(combined, block.blockCrc);
    }
    length += appender.AppendValue(kEndMagic, kMagicBits, out + length);
    length += appender.AppendValue(combined, kCrcBits, out + length);
    length += appender.Finish(out + length);
    joined.resize(length);
    return joined;
}

TEST(IndexBuilderTest, ManyBlocksAndStreamsAreGatheredIntoFewSpans) {
    std::vector<std::string> parts;
    std::string whole;
    for (int i = 0; i < 3000; ++i) {
        parts.push_back(std::string(1 + i % 3, static_cast<char>('a' + i % 26)));
        whole += parts.back();
    }
    std::string streams = Stream(parts[0], 9).substr(4);
    for (size_t i = 1; i < parts.size(); ++i) streams += Stream(parts[i], 1 + i % 9);
    const std::string blocks = ManyBlocks(parts);
    const std::string sound = test::Sound(1, 16, 3, 8);
    struct Case {
        const char* name;
        std::string payload;
        std::string restored;
    } cases[] = {
        {"one stream per part", streams, whole},
        {"one stream of a block per part", blocks, whole},
        {"both, and a large block", streams + Stream(sound, 9) + "BZh9" + blocks,
         whole + sound + whole},
    };
    for (const Case& c : cases) {
        const std::string archive =
            EncodeArchiveHeader("raw", 1, static_cast<uint32_t>(c.restored.size())) + c.payload;
        for (bool walk : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (walk ? ", walked" : ""));
            auto built = BuildOf(archive, walk);
            ASSERT_TRUE(built->build.ok) << built->build.status.message();
            // Gathered by payload (64 KiB), not one entry per block or stream.
            EXPECT_LE(built->build.index.spans.size(), 2 * (c.payload.size() / 65536) + 3);
            ExpectEverySpan(*built, c.restored);
        }
    }
}

TEST(IndexBuilderTest, TheIndexFollowsTheExpansionRules) {
    const std::string one = test::Sound(1, 16, 12, 4);  // two blocks each
    const std::string two = test::Sound(1, 16, 3, 5);
    const std::string first = test::PayloadOf(test::CompressOn(1, one, DeltaMode::None).output);
    const std::string second = test::Bzip2(two, {"-9", "-c"});
    const std::string third = test::Bzip2("tail", {"-1", "-c"});
    const auto size = [](const std::string& bytes) { return static_cast<uint32_t>(bytes.size()); };
    const std::string garbage(3000, '\x42');
    std::string flipped = first;
    flipped[flipped.size() / 3] ^= 0x10;
    std::string wrongCrc = first;
    wrongCrc[wrongCrc.size() - 2] ^= 0x01;
    struct Case {
        const char* name;
        std::string archive;
        std::string restored;  // empty: the build fails, for damage in the archive
    } cases[] = {
        {"two streams", EncodeArchiveHeader("raw", 1, size(one + two)) + first + second, one + two},
        {"three streams",
         EncodeArchiveHeader("raw", 1, size(one + two + "tail")) + first + second + third,
         one + two + "tail"},
        {"garbage after a payload whose size agrees",
         EncodeArchiveHeader("raw", 1, size(one)) + first + garbage, ""},
        {"a second stream that is not needed",
         EncodeArchiveHeader("raw", 1, size(one)) + first + second, ""},
        {"a second stream cut short",
         EncodeArchiveHeader("raw", 1, size(one + two)) + first +
             second.substr(0, second.size() / 2),
         ""},
        {"a header size above the payload's", EncodeArchiveHeader("raw", 1, size(one) + 1) + first,
         ""},
        {"a header size below the payload's", EncodeArchiveHeader("raw", 1, size(one) - 1) + first,
         ""},
        {"garbage where a stream would follow",
         EncodeArchiveHeader("raw", 1, size(one + two)) + first + garbage, ""},
        {"a flipped bit", EncodeArchiveHeader("raw", 1, size(one)) + flipped, ""},
        {"a wrong combined CRC", EncodeArchiveHeader("raw", 1, size(one)) + wrongCrc, ""},
        {"mode byte 0", EncodeArchiveHeader("raw", 0, size(one)) + first, ""},
        {"mode byte 131", EncodeArchiveHeader("raw", 131, size(one)) + first, ""},
    };
    for (const Case& c : cases) {
        for (bool walk : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (walk ? ", walked" : ""));
            auto built = BuildOf(c.archive, walk);
            EXPECT_EQ(built->build.ok, !c.restored.empty()) << built->build.status.message();
            // Damage, never the machine's failure.
            EXPECT_EQ(built->build.status.IsDamage(), c.restored.empty());
            if (built->build.ok) ExpectEverySpan(*built, c.restored);
        }
    }
    // The messages are the engine's own, for either way of building.
    for (bool walk : {false, true}) {
        auto mode = BuildOf(EncodeArchiveHeader("raw", 131, size(one)) + first, walk);
        EXPECT_EQ(mode->build.status.message(), "damaged archive: unknown filter mode 131");
        auto after = BuildOf(EncodeArchiveHeader("raw", 1, size(one)) + first + garbage, walk);
        EXPECT_EQ(after->build.status.message(), Status::TrailingBytes(3000).message());
        auto longer = BuildOf(EncodeArchiveHeader("raw", 1, size(one)) + first + second, walk);
        EXPECT_EQ(longer->build.status.message(), Status::TrailingBytes(second.size()).message());
    }
}

// Bytes whose every block header holds false block and end magics (the byte values a block
// uses are listed in its header): too many for the parallel pass, which finishes the stream on
// one thread. The index is then completed by walking the blocks.
TEST(IndexBuilderTest, AStreamTheEngineFinishesOnOneThreadIsWalked) {
    const std::vector<uint16_t> words = {0x3141, 0x5926, 0x5359, 0x1772, 0x4538, 0x5090};
    std::string allowed;
    for (size_t range = 0; range < words.size(); ++range) {
        for (unsigned bit = 0; bit < 16; ++bit) {
            if ((words[range] >> (15 - bit)) & 1) allowed += static_cast<char>(16 * range + bit);
        }
    }
    const std::string noise = samples::MakeNoise(5 * 899000, 17);
    std::string source(noise.size(), '\0');
    for (size_t i = 0; i < source.size(); ++i) {
        size_t pick = static_cast<uint8_t>(noise[i]) % allowed.size();
        if (i > 0 && allowed[pick] == source[i - 1]) pick = (pick + 1) % allowed.size();
        source[i] = allowed[pick];
    }
    auto built = BuildOf(test::CompressOn(2, source, DeltaMode::None).output, false, 3);
    ASSERT_TRUE(built->build.ok) << built->build.status.message();
    EXPECT_TRUE(built->build.stats.sequentialTail);
    EXPECT_GT(built->build.walkedBlocks, 0u);
    EXPECT_EQ(built->build.index.spans.size(), 5u);
    ExpectEverySpan(*built, source);
}

}  // namespace
}  // namespace kavrin
