// SPDX-License-Identifier: MIT
// The parallel passes under ThreadSanitizer too (label "threads"): short runs through every
// path where workers start, hand over, get stopped early or are left behind for the one-thread
// decoder.
#include <gtest/gtest.h>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"
#include "tests/support/Bzip2Reference.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

TEST(ParallelThreadsTest, TwoBlocksOnEveryThreadCount) {
    const std::string sound = test::Sound(2, 16, 5.5);  // 970 000 bytes: two blocks
    const test::JobRun one = test::CompressOn(1, sound, DeltaMode::Bits16);
    const test::JobRun restoredOnOne = test::ExpandOn(1, one.output);
    for (uint32_t threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const test::JobRun many = test::CompressOn(threads, sound, DeltaMode::Bits16);
        EXPECT_TRUE(many.output == one.output);
        EXPECT_EQ(many.stats.blocks, 2u);
        const test::JobRun restored = test::ExpandOn(threads, many.output);
        EXPECT_EQ(restored.outcome.result, JobResult::Done);
        EXPECT_TRUE(restored.output == sound);
        EXPECT_EQ(restored.consumed, restoredOnOne.consumed);
        EXPECT_EQ(restored.stats.blocks, 2u);
    }
}

// Both passes: a stop at any chunk ends the job Cancelled, nothing is written after it, and
// the workers are gone when the job returns.
TEST(ParallelThreadsTest, StopEndsEitherPassCancelledWithNoThreadLeft) {
    const std::string noise = samples::MakeNoise(14 * kChunkSize, 8);
    const std::string archive = test::CompressOn(1, noise, DeltaMode::Bits16).output;
    const int threadsBefore = test::ThreadsAtRest();
    for (bool expand : {false, true}) {
        for (int stopAfter : {1, 4, 9, 14}) {
            SCOPED_TRACE(std::string(expand ? "expansion" : "compression") + ", stop after " +
                         std::to_string(stopAfter));
            test::StoppedRun run = test::RunStopped(expand, expand ? archive : noise, stopAfter, 3);
            EXPECT_EQ(run.outcome.result, JobResult::Cancelled);
            EXPECT_EQ(static_cast<long long>(run.output.size()), run.sizeAtStop);
            EXPECT_LT(run.output.size(), noise.size());
            EXPECT_EQ(test::ThreadsAfterJob(threadsBefore), threadsBefore);
        }
    }
}

// A small archive of many blocks of silence restores to gigabytes. A stop is seen within a
// chunk or two of output, on one thread and on several, and a header size below what the
// blocks hold fails at the first extra byte instead of decoding everything to drop it.
TEST(ParallelThreadsTest, StopAndSizeEndAnArchiveOfManyBlocksOfRunsAtOnce) {
    const std::string oneBlock = test::Bzip2(std::string(45000000, '\0'), {"-9", "-c"});
    const std::string payload = test::JoinBlocks({oneBlock}, 40);  // 1.8 GB of zeros

    const int threadsBefore = test::ThreadsAtRest();
    for (uint32_t threads : {1u, 3u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const int stopAfter = 3;
        test::RecordingObserver stopped(stopAfter);
        test::JobRun run =
            test::ExpandOn(threads, EncodeArchiveHeader("raw", 1, 0xFFFFFFFFu) + payload, stopped);
        EXPECT_EQ(run.outcome.result, JobResult::Cancelled);
        // Every output chunk asks whether the job still runs: a few after the stop at most.
        EXPECT_LE(stopped.isRunningCalls, stopAfter + 3);

        test::RecordingObserver capped;
        run = test::ExpandOn(threads, EncodeArchiveHeader("raw", 1, 10) + payload, capped);
        EXPECT_EQ(run.outcome.result, JobResult::Failed);
        EXPECT_EQ(run.error, EngineError::SizeLong);
        EXPECT_EQ(run.output, std::string(10, '\0'));
        // Workers ask at every chunk they restore: only the blocks in flight were decoded.
        EXPECT_LE(capped.isRunningCalls, threads == 1 ? 4 : (3 + 2) * 250);
        EXPECT_EQ(test::ThreadsInProcess(), threadsBefore);
    }
}

// A damaged second block: the first is written by the workers, the rest is left to the
// one-thread decoder, which fails where one thread fails.
TEST(ParallelThreadsTest, ADamagedBlockIsLeftToTheOneThreadDecoder) {
    const std::string sound = test::Sound(2, 16, 5.5);
    std::string archive = test::CompressOn(1, sound, DeltaMode::None).output;
    archive[archive.size() * 3 / 4] ^= 0x04;
    const test::JobRun one = test::ExpandOn(1, archive);
    const test::JobRun three = test::ExpandOn(3, archive);
    EXPECT_EQ(three.outcome.result, JobResult::Failed);
    EXPECT_EQ(three.error, one.error);
    EXPECT_TRUE(three.output == one.output);
    EXPECT_TRUE(three.stats.sequentialTail);
}

}  // namespace
}  // namespace kavrin
