// SPDX-License-Identifier: MIT
// The engine's block encoder against libbz2 at level 9, byte for byte, block by block. The
// first byte shapes the input the rest describes, so the fuzzer reaches what breaks sorters and
// table builders: the bytes as they are; repeated into a periodic block, with or without one
// byte changed; runs of any length, up to several blocks; the second byte picks the piece
// size the encoder is fed in and, odd, the portable paths.
#include <cstdlib>
#include <string>

#include "engine/codec/CpuFeatures.h"
#include "tests/support/Bzip2Reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavrin;
    if (size < 2) return 0;
    const uint8_t shape = data[0] % 4;
    const size_t piece = 1 + static_cast<size_t>(data[1]) * 97;
    AllowVectorUnits((data[1] & 1) == 0);
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string input;
    switch (shape) {
        case 0:
            input = rest;
            break;
        case 1:
        case 2:
            // A unit repeated to about 20 000 bytes; shape 2 then changes one byte.
            if (rest.empty()) break;
            while (input.size() < 20000) input += rest;
            if (shape == 2) input[(data[0] * 131u) % input.size()] ^= 0x40;
            break;
        default:
            // Pairs of a byte and a length (times 37 when the length byte is odd).
            for (size_t i = 0; i + 1 < rest.size(); i += 2) {
                const auto length = static_cast<uint8_t>(rest[i + 1]);
                input.append((length & 1) != 0 ? length * size_t{37} : length, rest[i]);
            }
            break;
    }
    const std::vector<std::string> blocks = test::CutBlocks(input);
    const std::vector<std::string> ours = test::EncoderStreams(input, piece);
    if (ours.size() != blocks.size()) abort();
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (ours[i] != test::Libbz2Compress(blocks[i])) abort();
    }
    AllowVectorUnits(true);
    return 0;
}
