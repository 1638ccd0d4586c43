// SPDX-License-Identifier: MIT
// The last stage of a block from its compact form: any range comes out of it from a cursor laid
// anywhere before, and reads that go on where the last one ended need no seek.
#include "engine/decode/BlockRuns.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/decode/StreamDecoder.h"
#include "tests/support/Bzip2Reference.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

TEST(BlockRunsTest, AnyRangeComesOutOfTheCompactForm) {
    // Sound with silence around it: runs and literals.
    const std::string data = std::string(300000, '\0') + test::Sound(1, 16, 2).substr(0, 200000) +
                             std::string(2000000, '\x55') + "end";
    const std::string stream = test::Libbz2Compress(data);
    StreamDecoder decoder;
    decoder.StartStream();
    ASSERT_TRUE(decoder.Give(reinterpret_cast<const uint8_t*>(stream.data()), stream.size()));
    ASSERT_EQ(decoder.Next(), StreamDecoder::Event::Block);
    const CompactBlock& block = decoder.block();
    ASSERT_EQ(block.restoredLength, data.size());
    EXPECT_LE(block.length, 900000u);
    // Checkpoints every 64 KiB, as a reader that keeps a block compact lays them.
    std::vector<RunCursor> checkpoints;
    RunCursor laid;
    for (uint64_t at = 0; at < block.restoredLength; at += 65536) {
        SeekRuns(block.compact(), block.length, laid, at);
        ASSERT_EQ(laid.restored, at);
        checkpoints.push_back(laid);
    }
    std::mt19937 random(3);
    RunCursor running;  // consecutive reads go on from where the last one ended
    uint64_t next = 0;
    for (int round = 0; round < 300; ++round) {
        const uint64_t from = round % 3 == 0 ? next : random() % data.size();
        const size_t length = random() % 3 == 0 ? random() % 300 : random() % 200000;
        RunCursor cursor = round % 3 == 0 ? running : checkpoints[from / 65536];
        std::string out(length, '\0');
        SeekRuns(block.compact(), block.length, cursor, from);
        ASSERT_EQ(cursor.restored, from);
        const size_t got = ExpandRuns(block.compact(), block.length, cursor,
                                      reinterpret_cast<uint8_t*>(out.data()), length);
        ASSERT_EQ(got, std::min<uint64_t>(length, data.size() - from));
        out.resize(got);
        ASSERT_TRUE(out == data.substr(from, got)) << "range " << from << " + " << length;
        if (round % 3 == 0) {
            running = cursor;
            next = from + got;
        }
    }
}

}  // namespace
}  // namespace kavrin
