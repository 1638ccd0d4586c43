// SPDX-License-Identifier: MIT
// Where libbz2 ends a block, replayed without compressing: the byte that fills a block, in one
// piece and in odd ones, and inside a run.
#include "engine/encode/BlockBoundary.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

TEST(BlockBoundaryTest, ScannerFindsTheByteThatFillsABlock) {
    // Run-free bytes: each puts one byte into the block, the first only when the second comes.
    const std::string plain = test::RunFree(kBlockFillLimit + 10, 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(plain.data());
    BlockBoundaryScanner scanner;
    EXPECT_EQ(scanner.Scan(bytes, plain.size()), kBlockFillLimit);
    // Fed in odd pieces, the same place.
    BlockBoundaryScanner pieces;
    size_t at = 0;
    size_t found = plain.size();
    while (at < plain.size() && found == plain.size()) {
        const size_t length = std::min<size_t>(977, plain.size() - at);
        const size_t offset = pieces.Scan(bytes + at, length);
        if (offset < length) found = at + offset;
        at += length;
    }
    EXPECT_EQ(found, kBlockFillLimit);
    // A run of 300 after 899 977 bytes: its first 255 bytes fill the block (four bytes and a
    // count), so its 256th byte starts the next one.
    const std::string split = test::RunFree(899977, 2) + std::string(300, 'r');
    BlockBoundaryScanner runs;
    EXPECT_EQ(runs.Scan(reinterpret_cast<const uint8_t*>(split.data()), split.size()),
              899977u + 255u);
}

}  // namespace
}  // namespace kavrin
