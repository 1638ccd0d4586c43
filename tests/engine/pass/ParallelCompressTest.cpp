// SPDX-License-Identifier: MIT
// Compression on several threads writes the one-thread payload byte for byte, which is what the
// bzip2 program writes for the filtered source, and counts and steps as one thread does.
// (ParallelThreadsTest.cpp holds the short cases that also run under ThreadSanitizer.)
#include "engine/pass/ParallelCompress.h"

#include <gtest/gtest.h>

#include "engine/Engine.h"
#include "engine/encode/BlockBoundary.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::RecordingObserver;

using test::ExpectSamePayload;

TEST(ParallelCompressTest, EveryModeAndThreadCountWritesTheOneThreadPayload) {
    // The mode only changes the bytes before the blocks are cut; the thread count only how
    // they are cut and joined. Every mode once on two threads, every thread count on the rest.
    const std::string sound = test::Sound(2, 16, 5.5);  // 970 000 bytes: two blocks
    ASSERT_GT(sound.size(), 900000u);
    for (uint32_t m = 0; m <= 5; ++m) {
        SCOPED_TRACE("mode " + std::to_string(m));
        ExpectSamePayload(sound, static_cast<DeltaMode>(m), {2}, true);
    }
    struct Case {
        const char* name;
        std::string source;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"noise over two blocks", samples::MakeNoise(900000 + 5000, 21)},
        // A block of runs holds up to about 46 MB of input: it reaches its worker in pieces
        // while it is read, never as a whole.
        {"silence then sound", std::string(16000000, '\0') + test::Sound(1, 16, 3)},
        {"sound with silence between",
         test::Sound(1, 16, 2) + std::string(3000000, '\0') + test::Sound(1, 16, 2, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectSamePayload(c.source, DeltaMode::Bits16, {2, 3, 8}, true);
    }
}

// The cases around a block's end that decide which block a run goes to: the block fills at
// 899 981 bytes of the run-length stage, and a run of 256 or more is split after 255 bytes.
TEST(ParallelCompressTest, RunsAtABlockEndGoWhereLibbz2PutsThem) {
    for (size_t runFree : {899976u, 899980u, 899981u, 899985u}) {
        for (size_t run : {4u, 256u, 300u}) {
            SCOPED_TRACE(std::to_string(runFree) + " run-free bytes, a run of " +
                         std::to_string(run));
            const std::string source = test::RunFree(runFree, 3) + std::string(run, '\x55');
            const test::JobRun two = test::CompressOn(2, source, DeltaMode::None);
            EXPECT_TRUE("BZh9" + test::PayloadOf(two.output) == test::Bzip2(source, {"-9", "-c"}));
        }
    }
}

}  // namespace
}  // namespace kavrin
