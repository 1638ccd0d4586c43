// SPDX-License-Identifier: MIT
// The long sweep behind the "long" label (ctest -L long): every run length at every offset
// around a block's end, on every thread count, against one thread and the bzip2 program.
#include <gtest/gtest.h>

#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

TEST(ParallelLongTest, EveryRunAtEveryBlockEnd) {
    for (size_t runFree = 899968; runFree <= 899985; ++runFree) {
        for (size_t run : {4u, 5u, 255u, 256u, 300u}) {
            SCOPED_TRACE(std::to_string(runFree) + " run-free bytes, a run of " +
                         std::to_string(run));
            const std::string source = test::RunFree(runFree, 4) + std::string(run, '\x55');
            test::ExpectSamePayload(source, DeltaMode::None, {2, 3, 8}, true);
        }
    }
}

}  // namespace
}  // namespace kavrin
