// SPDX-License-Identifier: MIT
// The chunk contract: refill timing, progress counted in input chunks, the expansion cap, and
// a stop taking effect at the next chunk.
#include "engine/pass/EngineContext.h"

#include <gtest/gtest.h>

#include "engine/format/ArchiveFormat.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::RecordingObserver;

TEST(EngineContextTest, ProgressCountsInputChunks) {
    // An empty source: one refill that reads nothing, one step in a range of 1, and the
    // lamps of one read and one write.
    RecordingObserver empty;
    test::JobRun run = test::Compress("", DeltaMode::None, "raw", empty);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"begin:1", "lamps:1", "lamps:2", "step",
                                                      "lamps:1", "lamps:2"}));
    EXPECT_EQ(run.produced, 10u);

    // Exactly one chunk: the refill at the chunk's end happens although the budget is used
    // up, so two steps in a range of 2.
    RecordingObserver one;
    test::Compress(std::string(kChunkSize, 'x'), DeltaMode::None, "raw", one);
    EXPECT_EQ(one.events.front(), "begin:2");
    EXPECT_EQ(one.Count("step"), 2);

    // Several chunks plus a little: the range is filled exactly.
    RecordingObserver three;
    test::Compress(samples::MakeNoise(3 * kChunkSize + 5, 1), DeltaMode::Bits16, "raw", three);
    EXPECT_EQ(three.events.front(), "begin:4");
    EXPECT_EQ(three.Count("step"), 4);

    // Expansion steps through the payload's chunks; writing never steps.
    RecordingObserver expand;
    test::Expand(test::Compress(samples::MakeNoise(3 * kChunkSize, 2), DeltaMode::None).output,
                 expand);
    EXPECT_EQ(expand.events.front(), "begin:4");  // the payload is a little over 3 chunks
    EXPECT_EQ(expand.Count("step"), 4);
}

TEST(EngineContextTest, StopTakesEffectAtTheNextChunk) {
    const std::string noise = samples::MakeNoise(6 * kChunkSize, 3);

    // Compression: a few chunks in, the job stops; no byte is written after the stop.
    test::StoppedRun run = test::RunStopped(false, noise, 6, 1);
    EXPECT_EQ(run.outcome.result, JobResult::Cancelled);
    EXPECT_GT(run.sizeAtStop, 0);
    EXPECT_EQ(static_cast<long long>(run.output.size()), run.sizeAtStop);
    EXPECT_LT(run.output.size(), noise.size());

    // Expansion: the cut-off input fails to decode, and the job is Cancelled, not Failed.
    std::string archive = test::Compress(noise, DeltaMode::Bits16).output;
    run = test::RunStopped(true, archive, 5, 1);
    EXPECT_EQ(run.outcome.result, JobResult::Cancelled);
    EXPECT_EQ(static_cast<long long>(run.output.size()), run.sizeAtStop);
    EXPECT_LT(run.output.size(), noise.size());

    // A stop during the Auto trial: the trial completes, the header is written, the main pass
    // reads nothing.
    run = test::RunStopped(false, noise, 2, 1, DeltaMode::Auto);
    EXPECT_EQ(run.outcome.result, JobResult::Cancelled);
    EXPECT_NE(run.outcome.mode, DeltaMode::Auto);
    EXPECT_EQ(run.output.size(), kHeaderFixedBytes + 3);
}

}  // namespace
}  // namespace kavrin
