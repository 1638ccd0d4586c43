// SPDX-License-Identifier: MIT
// The texts both lists and the `kvn` report show for sizes, ratios and filter widths.
#pragma once

#include <cstdint>
#include <string>

#include "engine/format/DeltaFilter.h"

namespace kavrin {

// The size a report row gets when a job has no sizes to report (cancelled, failed, refused).
inline constexpr uint64_t kNoSize = ~0ull;

// Below 1024 plain digits; below 1024000 "%.1fK" of 1024-byte kilobytes; from 1024000 on
// "%.3fM" of 1024000-byte megabytes (so 4294967295 shows "4194.304M" and larger sizes go on
// in M).
std::string FormatSize(uint64_t bytes);

// "%i%%" of part x 100 / whole, truncated; empty when whole is 0.
std::string FormatRatio(uint64_t part, uint64_t whole);

// "%i-bit" with the mode's sample width ("0-bit" for None and Auto); empty for a mode byte
// above 5, which only a damaged archive can hold.
std::string FormatModeBits(DeltaMode mode);

}  // namespace kavrin
