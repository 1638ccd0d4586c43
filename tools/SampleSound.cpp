// SPDX-License-Identifier: MIT
#include "tools/SampleSound.h"

#include <algorithm>
#include <cmath>

namespace kavrin::samples {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Lcg {
    uint32_t state;
    uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state;
    }
    // Roughly uniform in [-1, 1).
    double Signed() { return static_cast<double>(Next() >> 8) / 8388608.0 - 1.0; }
};

void AppendLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::string MakePcm(const SoundSpec& spec) {
    const auto frames = static_cast<uint64_t>(spec.seconds * spec.sampleRate);
    const int bytes = static_cast<int>(spec.bitsPerSample / 8);
    const double fullScale = std::ldexp(1.0, static_cast<int>(spec.bitsPerSample) - 1) - 1.0;
    const double tones[3] = {220.0, 277.18, 329.63};  // an A major chord
    Lcg noise{spec.seed * 2654435761u + 7};

    std::string pcm;
    pcm.reserve(frames * spec.channels * bytes);
    for (uint64_t frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / spec.sampleRate;
        for (uint32_t channel = 0; channel < spec.channels; ++channel) {
            double value = 0.0;
            for (int i = 0; i < 3; ++i) {
                // Each tone swells and fades at its own pace and sits at its own place in the
                // stereo field, so channels differ as they do in real recordings.
                double envelope = 0.5 + 0.5 * std::sin(2 * kPi * (0.25 + 0.1 * i) * t + i);
                double pan = spec.channels > 1 ? 0.6 + 0.4 * std::cos(i + 2.0 * channel) : 1.0;
                value += 0.25 * envelope * pan * std::sin(2 * kPi * tones[i] * t + channel * 0.3);
            }
            value += 0.002 * noise.Signed();
            long long sample = std::llround(std::clamp(value, -1.0, 1.0) * fullScale);
            if (bytes == 1) sample += 128;  // 8-bit WAV samples are unsigned
            AppendLe(pcm, static_cast<uint64_t>(sample), bytes);
        }
    }
    return pcm;
}

std::string MakeWav(const SoundSpec& spec) {
    std::string pcm = MakePcm(spec);
    const uint32_t blockAlign = spec.channels * (spec.bitsPerSample / 8);
    std::string wav = "RIFF";
    AppendLe(wav, 36 + pcm.size(), 4);
    wav += "WAVEfmt ";
    AppendLe(wav, 16, 4);
    AppendLe(wav, 1, 2);  // PCM
    AppendLe(wav, spec.channels, 2);
    AppendLe(wav, spec.sampleRate, 4);
    AppendLe(wav, static_cast<uint64_t>(spec.sampleRate) * blockAlign, 4);
    AppendLe(wav, blockAlign, 2);
    AppendLe(wav, spec.bitsPerSample, 2);
    wav += "data";
    AppendLe(wav, pcm.size(), 4);
    wav += pcm;
    return wav;
}

std::string MakeNoise(size_t length, uint32_t seed) {
    Lcg lcg{seed ^ 0x9E3779B9u};
    std::string out(length, '\0');
    for (auto& byte : out) byte = static_cast<char>(lcg.Next() >> 24);
    return out;
}

}  // namespace kavrin::samples
