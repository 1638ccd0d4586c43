// SPDX-License-Identifier: MIT
#include "jobs/FormatSize.h"

#include <gtest/gtest.h>

namespace kavrin {
namespace {

TEST(FormatSizeTest, SizesAtEveryBoundary) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0"},
        {1023, "1023"},
        {1024, "1.0K"},
        {1536, "1.5K"},
        {1000000, "976.6K"},
        {1023948, "999.9K"},
        {1023949, "1000.0K"},
        {1023999, "1000.0K"},
        {1024000, "1.000M"},
        {1048576, "1.024M"},
        {3000000000ull, "2929.688M"},
        {4294967295ull, "4194.304M"},
        {4294967296ull, "4194.304M"},
        {5000000000ull, "4882.812M"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(FormatSizeTest, RatiosAndWidths) {
    EXPECT_EQ(FormatRatio(250000, 1000000), "25%");
    EXPECT_EQ(FormatRatio(1000000, 250000), "400%");
    EXPECT_EQ(FormatRatio(999, 1000), "99%");                  // truncated
    EXPECT_EQ(FormatRatio(1500000000, 3000000000ull), "50%");  // no 32-bit overflow
    EXPECT_EQ(FormatRatio(5, 0), "");
    EXPECT_EQ(FormatModeBits(DeltaMode::None), "0-bit");
    EXPECT_EQ(FormatModeBits(DeltaMode::Bits16), "16-bit");
    EXPECT_EQ(FormatModeBits(static_cast<DeltaMode>(9)), "");
}

}  // namespace
}  // namespace kavrin
