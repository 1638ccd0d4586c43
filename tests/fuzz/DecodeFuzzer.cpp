// SPDX-License-Identifier: MIT
// Any bzip2 stream through the engine's decoder and through the bzip2 library: the same
// verdict, the same count of bytes used and, for a sound stream, the same bytes (for a damaged
// one, the engine's bytes are those of the blocks before the damage, which the library gives
// too). The first input byte picks the stream's level (or, 255, no header of ours: the rest is
// the whole stream), the second the size of the pieces the engine's decoder is given.
#include <cstdlib>
#include <string>

#include "tests/support/Bzip2Reference.h"

namespace {

// Streams that restore more are left alone: decoding them tells nothing more.
constexpr uint64_t kMaxRestored = 32 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string stream;
    if (data[0] != 255) stream = std::string("BZh") + static_cast<char>('1' + data[0] % 9);
    stream.append(reinterpret_cast<const char*>(data) + 2, size - 2);
    const size_t piece = 1 + static_cast<size_t>(data[1]) * 131;

    using kavrin::test::LibraryResult;
    const LibraryResult library = kavrin::test::Libbz2Decode(stream, kMaxRestored);
    if (library.verdict == LibraryResult::TooLarge) return 0;
    const LibraryResult engine = kavrin::test::EngineDecode(stream, piece);
    if (engine.verdict != library.verdict || engine.consumed != library.consumed) abort();
    if (library.verdict == LibraryResult::Ok
            ? engine.restored != library.restored
            : library.restored.compare(0, engine.restored.size(), engine.restored) != 0) {
        abort();
    }
    return 0;
}
