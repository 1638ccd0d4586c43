// SPDX-License-Identifier: MIT
// The one place that asks the processor what it offers, and says whether a vector unit of the
// codec may run. A unit runs only where the processor has every feature the unit is compiled
// for (engine/CMakeLists.txt gives each vector source its flags); everywhere else its portable
// twin runs, with the same results.
//
// The features are looked up once. The environment variable KAVRIN_PORTABLE=1 (or a test
// through AllowVectorUnits) keeps every unit on its portable path, so the portable paths are
// tested and measured on any machine. Any thread.
#pragma once

namespace kavrin {

enum class VectorUnit {
    Avx2,   // AVX2 with BMI2: the decoder's symbol loop and inverse transform walk
    Clmul,  // carry-less multiplication with SSSE3: the block CRC
};

// Whether `unit` may run here: the processor has its features and vector units are allowed.
bool CanRun(VectorUnit unit);

// Allows the vector units (the default, unless KAVRIN_PORTABLE=1 is set) or keeps every unit on
// its portable path.
void AllowVectorUnits(bool allow);

}  // namespace kavrin
