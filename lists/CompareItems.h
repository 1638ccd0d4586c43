// SPDX-License-Identifier: MIT
// The order a click on a column header sorts a list in, ascending, always the same way:
// - the row whose job runs (negative item data) comes last, whatever the column;
// - File, Path and Type or Action (columns 0 to 2) compare as bytes, as strcmp does;
// - every later column compares as the number its text starts with ("12.5K" and "12,5K" are
//   12.5, "73%" 73, "16-bit" 16, an empty text 0), times 1024 when the text holds a 'K' and 1024000
//   when it holds an 'M' (the sizes' units);
// - equal keys keep the row added earlier (the smaller item data) first.
// Sizes compare by their shown, rounded texts, not by the exact byte counts.
//
// Pure; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace kavrin {

// -1, 0 or 1 as the row with item data `a` and text `textA` in `column` sorts before, with or
// after the row with `b` and `textB`.
int CompareItems(int32_t a, int32_t b, std::string_view textA, std::string_view textB, int column);

// The value a numeric column's text sorts by.
double SortValue(std::string_view text);

}  // namespace kavrin
