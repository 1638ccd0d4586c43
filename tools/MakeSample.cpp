// SPDX-License-Identifier: MIT
// kavrin-sample: writes the built-in sample sound, a few seconds of 16-bit stereo tones with a
// little noise in a WAV file, for the demonstration and the benchmark.
//
//   kavrin-sample OUT.wav [SECONDS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/SampleSound.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kavrin-sample OUT.wav [SECONDS]\n");
        return 2;
    }
    kavrin::samples::SoundSpec spec;
    if (argc == 3) spec.seconds = std::atof(argv[2]);
    if (spec.seconds <= 0 || spec.seconds > 3600) {
        std::fprintf(stderr, "kavrin-sample: SECONDS must be between 0 and 3600\n");
        return 2;
    }
    std::string wav = kavrin::samples::MakeWav(spec);
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(wav.data(), 1, wav.size(), out) != wav.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
