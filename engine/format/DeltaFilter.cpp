// SPDX-License-Identifier: MIT
#include "engine/format/DeltaFilter.h"

namespace kavrin {
namespace {

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline void Store16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// One pass over the whole samples from `start`. kDecode selects the direction; the lane
// arithmetic wraps in the lane's own width.
template <bool kDecode>
void Apply(DeltaMode mode, uint8_t* chunk, size_t length, size_t start, DeltaState& state) {
    auto step16 = [](uint8_t* p, uint16_t& running) {
        uint16_t stored = Load16(p);
        if (kDecode) {
            running = static_cast<uint16_t>(stored + running);
            Store16(p, running);
        } else {
            Store16(p, static_cast<uint16_t>(stored - running));
            running = stored;
        }
    };
    auto step8 = [](uint8_t* p, uint8_t& running) {
        uint8_t stored = *p;
        if (kDecode) {
            running = static_cast<uint8_t>(stored + running);
            *p = running;
        } else {
            *p = static_cast<uint8_t>(stored - running);
            running = stored;
        }
    };

    size_t k = start;
    switch (mode) {
        case DeltaMode::Bits8:
            for (; k < length; ++k) step8(chunk + k, state.lane8);
            break;
        case DeltaMode::Bits16:
            for (; k + 2 <= length; k += 2) step16(chunk + k, state.lane16);
            break;
        case DeltaMode::Bits24:
            for (; k + 3 <= length; k += 3) {
                step16(chunk + k, state.lane16);
                step8(chunk + k + 2, state.lane8);
            }
            break;
        case DeltaMode::Bits32:
            for (; k + 4 <= length; k += 4) {
                step16(chunk + k, state.lane16);
                step16(chunk + k + 2, state.lane16High);
            }
            break;
        default:
            break;
    }
}

}  // namespace

void DeltaLoadRunning(DeltaMode mode, const uint8_t* sample, DeltaState& state) {
    switch (mode) {
        case DeltaMode::Bits8:
            state.lane8 = sample[0];
            break;
        case DeltaMode::Bits16:
            state.lane16 = Load16(sample);
            break;
        case DeltaMode::Bits24:
            state.lane16 = Load16(sample);
            state.lane8 = sample[2];
            break;
        case DeltaMode::Bits32:
            state.lane16 = Load16(sample);
            state.lane16High = Load16(sample + 2);
            break;
        default:
            break;
    }
}

size_t DeltaSampleSize(DeltaMode mode) {
    switch (mode) {
        case DeltaMode::Bits8:
            return 1;
        case DeltaMode::Bits16:
            return 2;
        case DeltaMode::Bits24:
            return 3;
        case DeltaMode::Bits32:
            return 4;
        default:
            return 0;
    }
}

int DeltaModeBits(DeltaMode mode) {
    auto value = static_cast<uint32_t>(mode);
    if (value > 5) return -1;
    return static_cast<int>(DeltaSampleSize(mode) * 8);
}

void DeltaEncode(DeltaMode mode, uint8_t* chunk, size_t length, bool first, DeltaState& state) {
    size_t sample = DeltaSampleSize(mode);
    if (sample == 0) return;
    size_t start = 0;
    if (first) {
        if (length < sample) return;
        DeltaLoadRunning(mode, chunk, state);
        start = sample;
    }
    Apply<false>(mode, chunk, length, start, state);
}

void DeltaDecode(DeltaMode mode, uint8_t* chunk, size_t length, DeltaState& state) {
    size_t sample = DeltaSampleSize(mode);
    if (sample == 0) return;
    size_t start = 0;
    if (state.decodeFirst) {
        state.decodeFirst = false;
        if (length < sample) return;
        DeltaLoadRunning(mode, chunk, state);
        start = sample;
    }
    Apply<true>(mode, chunk, length, start, state);
}

}  // namespace kavrin
