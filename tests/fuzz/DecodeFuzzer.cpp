// SPDX-License-Identifier: MIT
// Any bzip2 stream through the engine's decoder and through the bzip2 library: the same
// verdict, the same count of bytes used and, for a sound stream, the same bytes (for a damaged
// one, the engine's bytes are those of the blocks before the damage, which the library gives
// too). The first input byte picks the stream's level (or, 255, no header of ours: the rest is
// the whole stream), the second the size of the pieces the engine's decoder is given.
#include <bzlib.h>

#include <cstdlib>
#include <string>

#include "engine/decode/StreamDecoder.h"
#include "engine/encode/CodecMemory.h"

namespace {

// Streams that restore more are left alone: decoding them tells nothing more.
constexpr size_t kMaxRestored = 32 << 20;

enum class Verdict { Ok, DataError, BadHeader, NeedsMore, TooLarge };

struct Result {
    Verdict verdict = Verdict::NeedsMore;
    std::string restored;
    uint64_t consumed = 0;
};

Result LibraryDecode(const std::string& stream) {
    Result result;
    static kavrin::CodecMemory memory;  // the library's memory kept from input to input
    bz_stream codec{};
    memory.Attach(codec);
    if (BZ2_bzDecompressInit(&codec, 0, 0) != BZ_OK) abort();
    codec.next_in = const_cast<char*>(stream.data());
    codec.avail_in = static_cast<unsigned>(stream.size());
    static std::string piece(1 << 16, '\0');
    for (;;) {
        codec.next_out = piece.data();
        codec.avail_out = static_cast<unsigned>(piece.size());
        const int code = BZ2_bzDecompress(&codec);
        result.restored.append(piece.data(), piece.size() - codec.avail_out);
        if (result.restored.size() > kMaxRestored) {
            result.verdict = Verdict::TooLarge;
            break;
        }
        if (code == BZ_STREAM_END) {
            result.verdict = Verdict::Ok;
            break;
        }
        if (code == BZ_DATA_ERROR_MAGIC) {
            result.verdict = Verdict::BadHeader;
            break;
        }
        if (code == BZ_MEM_ERROR) abort();
        if (code != BZ_OK) {
            result.verdict = Verdict::DataError;
            break;
        }
        if (codec.avail_in == 0 && codec.avail_out > 0) break;
    }
    result.consumed = stream.size() - codec.avail_in;
    BZ2_bzDecompressEnd(&codec);
    return result;
}

Result EngineDecode(const std::string& stream, size_t piece) {
    using kavrin::StreamDecoder;
    Result result;
    static StreamDecoder decoder;  // its memory kept from input to input, as the engine keeps it
    decoder.StartStream();
    size_t given = 0;
    for (;;) {
        const StreamDecoder::Event event = decoder.Next();
        if (event == StreamDecoder::Event::NeedInput) {
            if (given == stream.size()) break;
            const size_t n = std::min(piece, stream.size() - given);
            if (!decoder.Give(reinterpret_cast<const uint8_t*>(stream.data()) + given, n)) abort();
            given += n;
            continue;
        }
        if (event == StreamDecoder::Event::Block) {
            const kavrin::CompactBlock& block = decoder.block();
            const size_t at = result.restored.size();
            if (at + block.restoredLength > kMaxRestored) abort();  // the library gave less
            result.restored.resize(at + block.restoredLength);
            kavrin::RunCursor cursor;
            if (kavrin::ExpandRuns(block.compact(), block.length, cursor,
                                   reinterpret_cast<uint8_t*>(result.restored.data()) + at,
                                   block.restoredLength) != block.restoredLength) {
                abort();
            }
            continue;
        }
        if (event == StreamDecoder::Event::NoMemory) abort();
        result.verdict = event == StreamDecoder::Event::End         ? Verdict::Ok
                         : event == StreamDecoder::Event::BadHeader ? Verdict::BadHeader
                                                                    : Verdict::DataError;
        break;
    }
    result.consumed = decoder.bytesUsed();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string stream;
    if (data[0] != 255) stream = std::string("BZh") + static_cast<char>('1' + data[0] % 9);
    stream.append(reinterpret_cast<const char*>(data) + 2, size - 2);
    const size_t piece = 1 + static_cast<size_t>(data[1]) * 131;

    const Result library = LibraryDecode(stream);
    if (library.verdict == Verdict::TooLarge) return 0;
    const Result engine = EngineDecode(stream, piece);
    if (engine.verdict != library.verdict || engine.consumed != library.consumed) abort();
    if (library.verdict == Verdict::Ok
            ? engine.restored != library.restored
            : library.restored.compare(0, engine.restored.size(), engine.restored) != 0) {
        abort();
    }
    return 0;
}
