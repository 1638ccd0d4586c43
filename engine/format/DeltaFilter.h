// SPDX-License-Identifier: MIT
// The per-sample delta filter.
//
// Sound compresses better when each sample is replaced by its difference from the one before.
// The filter works in place on a chunk of raw bytes read as little-endian samples from the
// first byte of the file (no sound format is parsed). Samples are split into independent
// lanes (16-bit and 8-bit), each with its own running value and wrap-around; no carry passes
// between lanes, so Bits24 and Bits32 are not 24- or 32-bit differences.
//
// Compression encodes each chunk right after it is read; expansion decodes each chunk right
// before it is written. Both see the same 196608-byte chunk boundaries, a multiple of every
// sample size, so only the file's last chunk can end in a partial sample, which passes through
// unchanged. No allocation; one pass over the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

// The user's "Bit-depth Optimization" choice and the filter an archive records. In memory a
// 32-bit value; an archive header stores the low byte, 1 to 5. Any other stored byte is damage:
// expansion fails rather than guess a filter.
enum class DeltaMode : uint32_t {
    Auto = 0,  // resolved by the trial before anything is filtered; never stored
    None = 1,  // "Not optimized"
    Bits8 = 2,
    Bits16 = 3,
    Bits24 = 4,
    Bits32 = 5,
};

// Whether an archive header's mode byte is one a writer stores (1 to 5).
inline bool IsStoredDeltaMode(uint32_t value) {
    return value >= 1 && value <= 5;
}

// Bytes per sample of a filtering mode; 0 for every mode that does not filter.
size_t DeltaSampleSize(DeltaMode mode);
inline bool IsFilterMode(DeltaMode mode) {
    return DeltaSampleSize(mode) != 0;
}

// The sample width the report prints with "%i-bit": 0 for Auto and None, 8 to 32 for the
// filters, -1 for values outside 0 to 5 (a damaged archive's mode byte).
int DeltaModeBits(DeltaMode mode);

// Running values carried from chunk to chunk within one pass.
struct DeltaState {
    uint16_t lane16 = 0;       // Bits16, the 16-bit lane of Bits24, the low lane of Bits32
    uint16_t lane16High = 0;   // the high lane of Bits32
    uint8_t lane8 = 0;         // Bits8, the 8-bit lane of Bits24
    bool decodeFirst = false;  // set before an expansion pass; cleared by the first decode
};

// Encodes `length` bytes of `chunk` in place. `first` marks the first chunk of a pass: its
// first sample loads the running values and stays unchanged (a chunk shorter than one sample
// stays unchanged as a whole). Modes that do not filter leave the chunk alone.
void DeltaEncode(DeltaMode mode, uint8_t* chunk, size_t length, bool first, DeltaState& state);

// Decodes in place; the first chunk of a pass is recognised by state.decodeFirst.
void DeltaDecode(DeltaMode mode, uint8_t* chunk, size_t length, DeltaState& state);

// Loads every lane's running value from one restored sample: what decoding needs to go on
// with the sample after it.
void DeltaLoadRunning(DeltaMode mode, const uint8_t* sample, DeltaState& state);

}  // namespace kavrin
