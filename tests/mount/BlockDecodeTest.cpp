// Random access to an archive's restored bytes: the delta filter taken up at any byte, every
// block decoded on its own, and the index's build following the expansion rules (several
// streams, sizes that must agree, CRCs, the engine's one-thread fall-back).
#include "mount/BlockDecode.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/ArchiveFormat.h"
#include "mount/DeltaResume.h"
#include "mount/IndexBuilder.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::TempDir;

constexpr DeltaMode kModes[] = {DeltaMode::None, DeltaMode::Bits8, DeltaMode::Bits16,
                                DeltaMode::Bits24, DeltaMode::Bits32};

TEST(DeltaResumeTest, TakesUpDecodingAtEveryOffset) {
    const std::string original = samples::MakeNoise(1001, 3);  // ends in a partial sample
    for (DeltaMode mode : kModes) {
        SCOPED_TRACE(static_cast<int>(mode));
        std::string filtered = original;
        DeltaState state;
        DeltaEncode(mode, reinterpret_cast<uint8_t*>(filtered.data()), filtered.size(), true,
                    state);
        for (size_t offset = 0; offset <= original.size(); ++offset) {
            const size_t lead = std::min<size_t>(offset, kDeltaLeadBytes);
            DeltaResume resume(mode, original.size(), offset,
                               reinterpret_cast<const uint8_t*>(original.data()) + offset - lead);
            std::string rest = filtered.substr(offset);
            // In uneven pieces, as a block's output comes.
            for (size_t at = 0; at < rest.size(); at += 1 + at % 7) {
                const size_t piece = std::min<size_t>(1 + at % 7, rest.size() - at);
                resume.Decode(reinterpret_cast<uint8_t*>(rest.data()) + at, piece);
            }
            ASSERT_TRUE(rest == original.substr(offset)) << "offset " << offset;
        }
    }
}

struct Built {
    TempDir dir;
    std::string path;
    IndexBuild build;
};

// Writes `archive` and builds its index.
std::unique_ptr<Built> BuildOf(const std::string& archive, uint32_t threads = 2) {
    auto built = std::make_unique<Built>();
    built->path = built->dir / "a.kvn";
    test::WriteFile(built->path, archive);
    platform::FileVersion version;
    EXPECT_TRUE(platform::VersionAt(built->path, &version));
    test::RecordingObserver observer;
    built->build = BuildIndex(built->path, version, threads, observer);
    return built;
}

// Every block decoded alone, and ranges inside blocks, give the original's bytes.
void ExpectEveryBlock(const Built& built, const std::string& original) {
    const ArchiveIndex& index = built.build.index;
    ASSERT_EQ(index.sourceSize, original.size());
    platform::FileHandle file = platform::OpenShared(built.path);
    BlockDecoder decoder;
    std::mt19937 random(7);
    for (size_t j = 0; j < index.blocks.size(); ++j) {
        const uint64_t start = index.blocks[j].restoredOffset;
        const uint64_t length = index.BlockEnd(j) - start;
        std::string out(length, '\0');
        ASSERT_EQ(decoder.DecodeIndexed(file, index, j, 0, length,
                                        reinterpret_cast<uint8_t*>(out.data())),
                  BlockStatus::Ok);
        EXPECT_TRUE(out == original.substr(start, length)) << "block " << j;
        const uint64_t from = random() % length;
        const uint64_t to = from + 1 + random() % (length - from);
        std::string part(to - from, '\0');
        ASSERT_EQ(decoder.DecodeIndexed(file, index, j, from, to,
                                        reinterpret_cast<uint8_t*>(part.data())),
                  BlockStatus::Ok);
        EXPECT_TRUE(part == original.substr(start + from, to - from)) << "block " << j;
    }
    platform::CloseFile(file);
}

TEST(BlockDecodeTest, EveryBlockOfEveryFilterDecodesAlone) {
    // Three blocks, an odd length, so blocks start inside samples and the file ends in a
    // partial sample.
    const std::string sound = test::Sound(2, 16, 11) + "xyz";
    for (DeltaMode mode : kModes) {
        SCOPED_TRACE(static_cast<int>(mode));
        auto built = BuildOf(test::CompressOn(2, sound, mode).output);
        ASSERT_TRUE(built->build.ok) << built->build.why;
        EXPECT_GE(built->build.index.blocks.size(), 2u);
        EXPECT_EQ(built->build.walkedBlocks, 0u);  // the engine reported every block
        ExpectEveryBlock(*built, sound);
    }
}

TEST(BlockDecodeTest, TheIndexFollowsTheExpansionRules) {
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
        std::string restored;  // empty: the build fails
    } cases[] = {
        {"two streams", EncodeArchiveHeader("raw", 1, size(one + two)) + first + second, one + two},
        {"three streams",
         EncodeArchiveHeader("raw", 1, size(one + two + "tail")) + first + second + third,
         one + two + "tail"},
        {"garbage after a payload whose size agrees",
         EncodeArchiveHeader("raw", 1, size(one)) + first + garbage, one},
        {"a second stream that is not needed",
         EncodeArchiveHeader("raw", 1, size(one)) + first + second, one},
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto built = BuildOf(c.archive);
        EXPECT_EQ(built->build.ok, !c.restored.empty()) << built->build.why;
        if (built->build.ok) ExpectEveryBlock(*built, c.restored);
    }
}

// Bytes whose every block header holds false block and end magics (the byte values a block
// uses are listed in its header): too many for the parallel pass, which finishes the stream on
// one thread. The index is then completed by walking the blocks.
TEST(BlockDecodeTest, AStreamTheEngineFinishesOnOneThreadIsWalked) {
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
    auto built = BuildOf(test::CompressOn(2, source, DeltaMode::None).output, 3);
    ASSERT_TRUE(built->build.ok) << built->build.why;
    EXPECT_TRUE(built->build.stats.sequentialTail);
    EXPECT_GT(built->build.walkedBlocks, 0u);
    EXPECT_EQ(built->build.index.blocks.size(), 5u);
    ExpectEveryBlock(*built, source);
}

}  // namespace
}  // namespace kavrin
