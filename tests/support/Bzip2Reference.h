// SPDX-License-Identifier: MIT
// The bzip2 library as the reference every codec test is held to, the engine's own stream
// decoder run the same way, and blocks joined into streams, for the tests and the fuzz targets
// alike (no test framework here: a failure of the library itself aborts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavrin::test {

// One stream of `data` as libbz2 writes it at `level` ("BZh<level>" included).
std::string Libbz2Compress(const std::string& data, int level = 9);

// What a decoder makes of a stream given whole.
struct LibraryResult {
    enum Verdict { Ok, DataError, BadHeader, NeedsMore, TooLarge } verdict = NeedsMore;
    std::string restored;   // every byte it put out, also before an error
    uint64_t consumed = 0;  // the bytes it took
};

// libbz2's decoding. A stream that restores more than `maxRestored` stops there as TooLarge.
LibraryResult Libbz2Decode(const std::string& stream, uint64_t maxRestored = UINT64_MAX);

// The engine's StreamDecoder on a stream with its header, given in pieces of `piece` bytes,
// every block restored from its compact form: the same fields as Libbz2Decode.
LibraryResult EngineDecode(const std::string& stream, size_t piece = SIZE_MAX);

// The blocks of one-block level-9 streams joined bit by bit into one stream, as the parallel
// pass joins them, with the end magic and the combined CRC; without "BZh9", as a payload's
// first stream. `copies` repeats the whole list. Aborts when a stream is not one block.
std::string JoinBlocks(const std::vector<std::string>& oneBlockStreams, int copies = 1);

// `data` cut where libbz2 ends its blocks at level 9 (BlockBoundaryScanner).
std::vector<std::string> CutBlocks(const std::string& data);

// Each block of `data`, as libbz2 cuts it, made a one-block stream by the engine's
// BlockEncoder, fed in pieces of `piece` bytes. Aborts when the encoder fails.
std::vector<std::string> EncoderStreams(const std::string& data, size_t piece = SIZE_MAX);

}  // namespace kavrin::test
