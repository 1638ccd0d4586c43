// SPDX-License-Identifier: MIT
// Sound-like signals made in code, for the built-in sample, the tests and the benchmark:
// a few tones with slow envelopes and a little noise, deterministic for a given seed.
#pragma once

#include <cstdint>
#include <string>

namespace kavrin::samples {

struct SoundSpec {
    double seconds = 4.0;
    uint32_t sampleRate = 44100;
    uint32_t channels = 2;
    uint32_t bitsPerSample = 16;  // 8, 16, 24 or 32
    uint32_t seed = 1;
};

// Interleaved little-endian PCM samples (8-bit samples unsigned, the others signed).
std::string MakePcm(const SoundSpec& spec);

// The same samples in a canonical RIFF/WAVE file.
std::string MakeWav(const SoundSpec& spec);

// Bytes from a fast deterministic generator: incompressible test data.
std::string MakeNoise(size_t length, uint32_t seed);

}  // namespace kavrin::samples
