// SPDX-License-Identifier: MIT
// Random access to an archive's restored bytes: every span decoded on its own into either form,
// whatever filter the archive holds, and a block of silence kept compact.
#include "mount/BlockDecode.h"

#include <gtest/gtest.h>

#include <random>

#include "mount/SpanForm.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/MountHarness.h"

namespace kavrin {
namespace {

using test::BuildOf;
using test::ExpectEverySpan;

constexpr DeltaMode kModes[] = {DeltaMode::None, DeltaMode::Bits8, DeltaMode::Bits16,
                                DeltaMode::Bits24, DeltaMode::Bits32};

TEST(BlockDecodeTest, EverySpanOfEveryFilterDecodesAloneInEitherForm) {
    // Three blocks, an odd length, so blocks start inside samples and the file ends in a
    // partial sample.
    const std::string sound = test::Sound(2, 16, 11) + "xyz";
    for (DeltaMode mode : kModes) {
        const std::string archive = test::CompressOn(2, sound, mode).output;
        for (bool walk : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (walk ? " walked" : ""));
            auto built = BuildOf(archive, walk);
            ASSERT_TRUE(built->build.ok) << built->build.status.message();
            EXPECT_GE(built->build.index.spans.size(), 2u);
            EXPECT_EQ(built->build.walkedBlocks, walk ? built->build.index.spans.size() : 0u);
            ExpectEverySpan(*built, sound);
        }
    }
}

// A compact span's work per read is bounded: its form is small whatever it restores, and any
// range of it, across checkpoints and runs, comes out right.
TEST(BlockDecodeTest, ABlockOfSilenceIsKeptCompact) {
    // 30 MB of silence in one block (it holds up to 46 MB); a little sound around it, and
    // runs of many lengths.
    std::string source = test::Sound(2, 16, 0.2, 3);
    source += std::string(30000000, '\0');
    for (size_t length = 1; length < 600; length += 7) {
        source += std::string(length, static_cast<char>('a' + length % 5));
    }
    source += test::Sound(2, 16, 0.1, 4);
    auto built = BuildOf(test::CompressOn(2, source, DeltaMode::Bits16).output, false);
    ASSERT_TRUE(built->build.ok) << built->build.status.message();
    const ArchiveIndex& index = built->build.index;
    platform::FileHandle file = platform::OpenShared(built->path);
    BlockDecoder decoder;
    std::mt19937 random(11);
    for (size_t j = 0; j < index.spans.size(); ++j) {
        const uint64_t start = index.spans[j].restoredOffset;
        const uint64_t length = index.SpanSize(j);
        FormBuilder builder(DeltaMode::Bits16, index.sourceSize, start, length, index.spans[j].lead,
                            true);
        SpanForm form;
        ASSERT_EQ(decoder.DecodeSpan(file, index, j, builder), BlockStatus::Ok);
        ASSERT_TRUE(builder.Finish(&form));
        EXPECT_LT(form.Footprint(), 1200000u) << length;
        for (int k = 0; k < 40; ++k) {
            const uint64_t from = random() % length;
            const uint64_t to = std::min<uint64_t>(length, from + 1 + random() % 300000);
            std::string part(to - from, '\0');
            form.Read(from, to, reinterpret_cast<uint8_t*>(part.data()));
            ASSERT_TRUE(part == source.substr(start + from, to - from))
                << "span " << j << " from " << from;
        }
    }
    EXPECT_GT(index.SpanSize(index.SpanAt(20000000)), 30000000u);
    platform::CloseFile(file);
}

}  // namespace
}  // namespace kavrin
