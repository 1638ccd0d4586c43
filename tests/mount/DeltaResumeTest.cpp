// SPDX-License-Identifier: MIT
// The delta filter taken up at any byte of a file, and across a run it skips, as a span's
// decoding takes it up.
#include "mount/DeltaResume.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/format/DeltaFilter.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

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

}  // namespace
}  // namespace kavrin
