// SPDX-License-Identifier: MIT
// Random access to an archive's restored bytes: the delta filter taken up at any byte, every
// span decoded on its own into either form, and the index's build following the expansion
// rules (several streams, sizes that must agree, CRCs, the mode byte, the engine's one-thread
// fall-back) in both of its ways, whatever number of blocks and streams a payload holds.
#include "mount/BlockDecode.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/DeltaResume.h"
#include "mount/IndexBuilder.h"
#include "mount/SpanForm.h"
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

// Skipping a run of equal filtered bytes leaves the filter where decoding them would, at every
// alignment and length; the file's last bytes (a partial sample among them) decode the same.
TEST(DeltaResumeTest, SkipsARunAsIfItRestoredIt) {
    for (DeltaMode mode : kModes) {
        for (size_t start : {0, 1, 2, 3, 5}) {
            for (size_t length : {1, 3, 4, 7, 300, 70001}) {
                SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " at " +
                             std::to_string(start) + ", " + std::to_string(length));
                std::string filtered = samples::MakeNoise(start + length + 9, 5);
                std::fill(filtered.begin() + static_cast<long>(start),
                          filtered.begin() + static_cast<long>(start + length), '\xA7');
                std::string restored = filtered;
                const uint8_t none[kDeltaLeadBytes] = {};
                DeltaResume whole(mode, filtered.size(), 0, none);
                whole.Decode(reinterpret_cast<uint8_t*>(restored.data()), restored.size());
                DeltaResume skipping(mode, filtered.size(), 0, none);
                std::string before = filtered.substr(0, start);
                skipping.Decode(reinterpret_cast<uint8_t*>(before.data()), before.size());
                skipping.Skip(0xA7, length);
                std::string after = filtered.substr(start + length);
                skipping.Decode(reinterpret_cast<uint8_t*>(after.data()), after.size());
                EXPECT_TRUE(after == restored.substr(start + length));
            }
        }
    }
}

struct Built {
    TempDir dir;
    std::string path;
    IndexBuild build;
};

// Writes `archive` and builds its index, by the engine pass or by the walk alone.
std::unique_ptr<Built> BuildOf(const std::string& archive, bool walkOnly, uint32_t threads = 2) {
    auto built = std::make_unique<Built>();
    built->path = built->dir / "a.kvn";
    test::WriteFile(built->path, archive);
    platform::FileVersion version;
    EXPECT_TRUE(platform::VersionAt(built->path, &version));
    test::RecordingObserver observer;
    BuildPlan plan;
    plan.threads = threads;
    plan.walkOnly = walkOnly;
    built->build = BuildIndex(built->path, version, plan, observer);
    return built;
}

// Every span decoded alone into each form, and ranges inside it, give the original's bytes.
void ExpectEverySpan(const Built& built, const std::string& original) {
    const ArchiveIndex& index = built.build.index;
    ASSERT_EQ(index.sourceSize, original.size());
    platform::FileHandle file = platform::OpenShared(built.path);
    BlockDecoder decoder;
    std::mt19937 random(7);
    for (size_t j = 0; j < index.spans.size(); ++j) {
        const IndexedSpan& span = index.spans[j];
        const uint64_t start = span.restoredOffset;
        const uint64_t length = index.SpanSize(j);
        for (bool compact : {false, true}) {
            SCOPED_TRACE("span " + std::to_string(j) + (compact ? ", compact" : ", plain"));
            FormBuilder builder(static_cast<DeltaMode>(index.deltaMode), index.sourceSize, start,
                                length, span.lead, compact);
            SpanForm form;
            ASSERT_EQ(decoder.DecodeSpan(file, index, j, builder), BlockStatus::Ok);
            ASSERT_TRUE(builder.Finish(&form));
            std::string out(length, '\0');
            form.Read(0, length, reinterpret_cast<uint8_t*>(out.data()));
            EXPECT_TRUE(out == original.substr(start, length));
            const uint64_t from = random() % length;
            const uint64_t to = from + 1 + random() % (length - from);
            std::string part(to - from, '\0');
            form.Read(from, to, reinterpret_cast<uint8_t*>(part.data()));
            EXPECT_TRUE(part == original.substr(start + from, to - from));
            // The span's last restored bytes are the next span's lead.
            const RestoredTail& tail = form.tail();
            ASSERT_EQ(tail.length, std::min<uint64_t>(start + length, kDeltaLeadBytes));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(tail.bytes), tail.length),
                      original.substr(start + length - tail.length, tail.length));
        }
    }
    platform::CloseFile(file);
}

TEST(BlockDecodeTest, EverySpanOfEveryFilterDecodesAloneInEitherForm) {
    // Three blocks, an odd length, so blocks start inside samples and the file ends in a
    // partial sample.
    const std::string sound = test::Sound(2, 16, 11) + "xyz";
    for (DeltaMode mode : kModes) {
        const std::string archive = test::CompressOn(2, sound, mode).output;
        for (bool walk : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (walk ? " walked" : ""));
            auto built = BuildOf(archive, walk);
            ASSERT_TRUE(built->build.ok) << built->build.why;
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
    ASSERT_TRUE(built->build.ok) << built->build.why;
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

TEST(BlockDecodeTest, ManyBlocksAndStreamsAreGatheredIntoFewSpans) {
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
            ASSERT_TRUE(built->build.ok) << built->build.why;
            // Gathered by payload (64 KiB), not one entry per block or stream.
            EXPECT_LE(built->build.index.spans.size(), 2 * (c.payload.size() / 65536) + 3);
            ExpectEverySpan(*built, c.restored);
        }
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
        std::string restored;  // empty: the build fails, for damage in the archive
    } cases[] = {
        {"two streams", EncodeArchiveHeader("raw", 1, size(one + two)) + first + second, one + two},
        {"three streams",
         EncodeArchiveHeader("raw", 1, size(one + two + "tail")) + first + second + third,
         one + two + "tail"},
        // The archive ends where its size is restored: anything after is damage.
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
            EXPECT_EQ(built->build.ok, !c.restored.empty()) << built->build.why;
            EXPECT_EQ(built->build.systemError, 0);  // damage, never the machine's failure
            if (built->build.ok) ExpectEverySpan(*built, c.restored);
        }
    }
    for (bool walk : {false, true}) {
        auto trailing = BuildOf(EncodeArchiveHeader("raw", 1, size(one)) + first + garbage, walk);
        EXPECT_EQ(trailing->build.why, "damaged archive: 3000 bytes follow its payload");
    }
    auto mode = BuildOf(EncodeArchiveHeader("raw", 131, size(one)) + first, false);
    EXPECT_EQ(mode->build.why, "damaged archive: unknown filter mode 131");
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
    auto built = BuildOf(test::CompressOn(2, source, DeltaMode::None).output, false, 3);
    ASSERT_TRUE(built->build.ok) << built->build.why;
    EXPECT_TRUE(built->build.stats.sequentialTail);
    EXPECT_GT(built->build.walkedBlocks, 0u);
    EXPECT_EQ(built->build.index.spans.size(), 5u);
    ExpectEverySpan(*built, source);
}

}  // namespace
}  // namespace kavrin
