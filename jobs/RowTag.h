// SPDX-License-Identifier: MIT
// The tags a queue row carries as its item data: a 32-bit id counted up from 0 for the window's
// life, with bit 31 set on the row whose job runs. Read as a signed 32-bit value, that row's item
// data is negative and every other row's is not; the lists colour and sort it by that.
#pragma once

#include <cstdint>

namespace kavrin {

// Marks the queue row whose job runs.
inline constexpr uint32_t InProgressBit = 0x80000000u;
// The job record's `activeTag` while no row is in progress.
inline constexpr uint32_t kNoActiveTag = 0x7FFFFFFFu;

}  // namespace kavrin
