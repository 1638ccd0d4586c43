// SPDX-License-Identifier: MIT
// Expansion on several threads restores what one thread restores, and gives the same verdict,
// counters and progress on damaged, cut, padded and foreign payloads, and on payloads made to
// hold false magics. (ParallelThreadsTest.cpp holds the short cases that also run under
// ThreadSanitizer.)
#include "engine/pass/ParallelExpand.h"

#include <gtest/gtest.h>

#include "engine/Engine.h"
#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::RecordingObserver;

std::string Archive(const std::string& payload, uint32_t sourceSize) {
    return EncodeArchiveHeader("raw", 1, sourceSize) + payload;
}

// Expands `archive` with one thread and with `threadCounts`, and expects the same job. With
// `plain`, also that every block went through the workers without a failed attempt. Returns
// the one-thread job.
test::JobRun ExpectSameExpansion(const std::string& archive,
                                 std::initializer_list<uint32_t> threadCounts = {2, 3, 8},
                                 bool plain = false) {
    RecordingObserver oneObserver;
    const test::JobRun one = test::ExpandOn(1, archive, oneObserver);
    for (uint32_t threads : threadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        RecordingObserver observer;
        const test::JobRun many = test::ExpandOn(threads, archive, observer);
        EXPECT_EQ(many.outcome.result, one.outcome.result);
        EXPECT_EQ(many.error, one.error);
        EXPECT_EQ(many.produced, one.produced);
        EXPECT_TRUE(many.output == one.output) << "outputs differ";
        // A payload longer than its header stops where the first extra byte comes out, which
        // one thread finds inside a block and several at its end.
        if (one.error != EngineError::SizeLong) {
            EXPECT_EQ(many.consumed, one.consumed);
        }
        // Blocks after a damaged one may have been read ahead already; otherwise the progress
        // is the same chunk for chunk.
        if (one.outcome.result != JobResult::Failed) {
            EXPECT_EQ(test::ProgressEvents(observer), test::ProgressEvents(oneObserver));
        }
        if (plain) {
            EXPECT_EQ(many.stats.threadsUsed, threads);
            EXPECT_FALSE(many.stats.sequentialTail);
            EXPECT_EQ(many.stats.failedAttempts, 0u);
        }
    }
    return one;
}

TEST(ParallelExpandTest, EveryThreadCountRestoresTheSameBytes) {
    const std::string sound = test::Sound(2, 16, 11);  // 1.9 MB: three blocks
    // A block of silence restores 46 MB from its compact form of 900 KB, kept as that until
    // its turn comes.
    const std::string gap = test::Sound(1, 16, 2) + std::string(8000000, '\0') + sound;
    const std::string gapPayload =
        test::PayloadOf(test::CompressOn(1, gap, DeltaMode::Bits16).output);
    const std::string cases[][2] = {
        {"sound", test::CompressOn(1, sound, DeltaMode::Bits32).output},
        {"noise", test::CompressOn(1, samples::MakeNoise(1000000, 4), DeltaMode::None).output},
        {"silence between sounds",
         EncodeArchiveHeader("raw", 3, static_cast<uint32_t>(gap.size())) + gapPayload},
        {"empty", test::CompressOn(1, "", DeltaMode::Bits16).output},
    };
    for (const auto& [name, archive] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ExpectSameExpansion(archive, {2, 3, 8}, true).outcome.result, JobResult::Done);
    }
}

TEST(ParallelExpandTest, DamagedCutAndPaddedPayloadsGetTheOneThreadVerdict) {
    const std::string source = test::Sound(2, 16, 8);  // 1.4 MB: two blocks
    const std::string archive = test::CompressOn(1, source, DeltaMode::None).output;
    const std::string header = archive.substr(0, 17);
    const std::string payload = test::PayloadOf(archive);
    const std::string bzip2 = test::Bzip2(source, {"-9", "-c"});
    const auto size = static_cast<uint32_t>(source.size());

    std::string flipped = payload;
    flipped[payload.size() / 2] ^= 0x08;  // inside the second block
    std::string wrongCrc = payload;
    wrongCrc[payload.size() - 2] ^= 0x40;
    struct Case {
        const char* name;
        std::string archive;
        JobResult expected;
    } cases[] = {
        {"a flipped bit in the second block", header + flipped, JobResult::Failed},
        {"cut inside the second block", header + payload.substr(0, payload.size() / 2),
         JobResult::Failed},
        {"cut inside the stream CRC", header + payload.substr(0, payload.size() - 2),
         JobResult::Failed},
        {"a wrong stream CRC", header + wrongCrc, JobResult::Failed},
        {"a stray byte before the first block", header + "\x42" + payload, JobResult::Failed},
        {"nothing after the header", header, JobResult::Failed},
        // The archive ends with the stream that restores its size: anything after is damage.
        {"trailing garbage", archive + std::string(250000, '\x55'), JobResult::Failed},
        {"a second stream after the first", archive + bzip2, JobResult::Failed},
        {"the bzip2 program's stream", Archive(bzip2.substr(4), size), JobResult::Done},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExpectSameExpansion(c.archive, {2, 3}).outcome.result, c.expected);
    }
    // The bytes after the stream are never read as data: the trailing case stops where the
    // stream ends, and says how many follow.
    const test::JobRun trailing = test::ExpandOn(3, archive + std::string(250000, '\x55'));
    EXPECT_EQ(trailing.consumed, payload.size());
    EXPECT_EQ(trailing.outcome.status.message(),
              "damaged archive: 250000 bytes follow its payload");
}

// The header's size is a claim the payload must meet: payloads made of several streams (as
// parallel bzip2 tools write them) restore whole, and any disagreement fails with both sizes.
TEST(ParallelExpandTest, TheHeaderSizeIsCheckedAndLaterStreamsRestore) {
    const std::string source = test::Sound(2, 16, 7);  // 1.2 MB: two blocks in one stream
    const auto size = static_cast<uint32_t>(source.size());
    const std::string parts[] = {source.substr(0, 1000000), source.substr(1000000, 150000),
                                 source.substr(1150000)};
    std::string streams[3];
    for (int i = 0; i < 3; ++i) streams[i] = test::Bzip2(parts[i], {"-9", "-c"});
    const std::string three = streams[0].substr(4) + streams[1] + streams[2];
    const std::string one = test::Bzip2(source, {"-9", "-c"}).substr(4);
    struct Case {
        const char* name;
        std::string archive;
        EngineError error;  // None: Done, restoring the source
    } cases[] = {
        {"three streams", Archive(three, size), EngineError::None},
        {"three streams and garbage", Archive(three + "garbage", size), EngineError::TrailingBytes},
        {"a stream the size does not cover", Archive(three + streams[2], size),
         EngineError::TrailingBytes},
        {"a header size below the payload", Archive(one, 1000), EngineError::SizeLong},
        {"a header size above the payload", Archive(one, size + 1), EngineError::SizeShort},
        {"garbage after a short payload", Archive(one + "\x55\x55", size + 1),
         EngineError::SizeShort},
        {"a later stream cut short", Archive(three.substr(0, three.size() - 30), size),
         EngineError::StreamTruncated},
        {"a later stream above the header size", Archive(three, size - 5), EngineError::SizeLong},
        {"an empty payload for a header of 5 bytes",
         Archive(test::Bzip2("", {"-9", "-c"}).substr(4), 5), EngineError::SizeShort},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::JobRun run = ExpectSameExpansion(c.archive, {3});
        EXPECT_EQ(run.error, c.error);
        if (c.error == EngineError::None) {
            EXPECT_EQ(run.outcome.result, JobResult::Done);
            EXPECT_TRUE(run.output == source);
            EXPECT_EQ(run.outcome.bytesRead, test::PayloadOf(c.archive).size());
        } else {
            EXPECT_EQ(run.outcome.result, JobResult::Failed);
            EXPECT_LE(run.output.size(), source.size());
        }
    }
    EXPECT_EQ(Status::SizeShort(1000, 300000).message(),
              "damaged archive: it restores 1000 bytes, but its header gives 300000");
}

TEST(ParallelExpandTest, StreamsFromTheParallelBzip2ToolExpand) {
    KAVRIN_REQUIRE_TOOL(lbzip2, "lbzip2");
    const std::string source = test::Sound(2, 16, 14);
    test::TempDir dir;
    test::WriteFile(dir / "data", source);
    test::ProgramResult made = test::RunProgram({lbzip2, "-9", "-n", "2", "-c", dir / "data"});
    ASSERT_EQ(made.status, 0);
    const std::string archive = Archive(made.out.substr(4), static_cast<uint32_t>(source.size()));
    const test::JobRun run = test::ExpandOn(2, archive);
    EXPECT_EQ(run.outcome.result, JobResult::Done);
    EXPECT_TRUE(run.output == source);
    ExpectSameExpansion(archive, {2});
}

// Bytes that make libbz2 write `words` (16-bit, most significant first) into the header of
// every block: a block lists which byte values it uses, sixteen bits for each range of sixteen
// values in use. With the words of a magic, each block header holds a false magic.
std::string WithMagicsInEveryHeader(size_t length, const std::vector<uint16_t>& words) {
    std::string allowed;
    for (size_t range = 0; range < words.size(); ++range) {
        for (unsigned bit = 0; bit < 16; ++bit) {
            if ((words[range] >> (15 - bit)) & 1) allowed += static_cast<char>(16 * range + bit);
        }
    }
    const std::string noise = samples::MakeNoise(length, 17);
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        size_t pick = static_cast<uint8_t>(noise[i]) % allowed.size();
        if (i > 0 && allowed[pick] == bytes[i - 1]) pick = (pick + 1) % allowed.size();
        bytes[i] = allowed[pick];  // no runs: run counts would add byte values of their own
    }
    return bytes;
}

TEST(ParallelExpandTest, FalseMagicsCostABoundedRetry) {
    const std::vector<uint16_t> blockMagic = {0x3141, 0x5926, 0x5359};
    std::vector<uint16_t> bothMagics = blockMagic;
    bothMagics.insert(bothMagics.end(), {0x1772, 0x4538, 0x5090});
    struct Case {
        const char* name;
        std::vector<uint16_t> words;
        size_t blocks;
        bool sequentialTail;  // the rest is left to the one-thread decoder
    } cases[] = {
        // Each false block magic costs two attempts; three of them stay within the budget.
        {"a false block magic in each of three blocks", blockMagic, 3, false},
        // A false end magic also pauses reading: five blocks of both exceed the budget.
        {"false block and end magics in each of five blocks", bothMagics, 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = WithMagicsInEveryHeader(c.blocks * 899000, c.words);
        const std::string archive = test::CompressOn(1, source, DeltaMode::None).output;
        const std::string payload = test::PayloadOf(archive);
        // The false magics are there: more magics than blocks and the end.
        std::vector<MagicHit> hits;
        FindMagics(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), 0,
                   payload.size(), &hits);
        ASSERT_GE(hits.size(), c.blocks * (c.words.size() / 3 + 1) + 1);

        const test::JobRun run = test::ExpandOn(3, archive);
        EXPECT_EQ(run.outcome.result, JobResult::Done);
        EXPECT_TRUE(run.output == source);
        EXPECT_EQ(run.consumed, payload.size());
        EXPECT_EQ(run.stats.sequentialTail, c.sequentialTail);
        EXPECT_GE(run.stats.failedAttempts, 1u);
        // The budget, plus what was under way when it ran out.
        EXPECT_LE(run.stats.failedAttempts, 8u + 1u + 3u + 2u);
        ExpectSameExpansion(archive, {2});
    }
}

}  // namespace
}  // namespace kavrin
