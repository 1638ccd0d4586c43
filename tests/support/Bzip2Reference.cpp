// SPDX-License-Identifier: MIT
#include "tests/support/Bzip2Reference.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/decode/StreamDecoder.h"
#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockEncoder.h"
#include "engine/encode/CodecMemory.h"

namespace kavrin::test {

std::string Libbz2Compress(const std::string& data, int level) {
    std::string out(data.size() + data.size() / 50 + 1000, '\0');
    auto length = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                 static_cast<unsigned>(data.size()), level, 0, 0) != BZ_OK) {
        abort();
    }
    out.resize(length);
    return out;
}

LibraryResult Libbz2Decode(const std::string& stream, uint64_t maxRestored) {
    LibraryResult result;
    // The library's memory kept from stream to stream, as a fuzz target decodes thousands.
    thread_local CodecMemory memory;
    bz_stream codec{};
    memory.Attach(codec);
    if (BZ2_bzDecompressInit(&codec, 0, 0) != BZ_OK) abort();
    codec.next_in = const_cast<char*>(stream.data());
    codec.avail_in = static_cast<unsigned>(stream.size());
    std::string piece(1 << 16, '\0');
    for (;;) {
        codec.next_out = piece.data();
        codec.avail_out = static_cast<unsigned>(piece.size());
        const int code = BZ2_bzDecompress(&codec);
        result.restored.append(piece.data(), piece.size() - codec.avail_out);
        if (result.restored.size() > maxRestored) {
            result.verdict = LibraryResult::TooLarge;
            break;
        }
        if (code == BZ_STREAM_END) {
            result.verdict = LibraryResult::Ok;
            break;
        }
        if (code == BZ_DATA_ERROR_MAGIC) {
            result.verdict = LibraryResult::BadHeader;
            break;
        }
        if (code == BZ_MEM_ERROR) abort();
        if (code != BZ_OK) {
            result.verdict = LibraryResult::DataError;
            break;
        }
        if (codec.avail_in == 0 && codec.avail_out > 0) break;  // it waits for more input
    }
    result.consumed = stream.size() - codec.avail_in;
    BZ2_bzDecompressEnd(&codec);
    return result;
}

LibraryResult EngineDecode(const std::string& stream, size_t piece) {
    LibraryResult result;
    thread_local StreamDecoder decoder;  // its memory kept from stream to stream, as the engine's
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
            const CompactBlock& block = decoder.block();
            const size_t at = result.restored.size();
            result.restored.resize(at + block.restoredLength);
            RunCursor cursor;
            if (ExpandRuns(block.compact(), block.length, cursor,
                           reinterpret_cast<uint8_t*>(result.restored.data()) + at,
                           block.restoredLength) != block.restoredLength) {
                abort();
            }
            continue;
        }
        if (event == StreamDecoder::Event::NoMemory) abort();
        result.verdict = event == StreamDecoder::Event::End         ? LibraryResult::Ok
                         : event == StreamDecoder::Event::BadHeader ? LibraryResult::BadHeader
                                                                    : LibraryResult::DataError;
        break;
    }
    result.consumed = decoder.bytesUsed();
    return result;
}

std::string JoinBlocks(const std::vector<std::string>& oneBlockStreams, int copies) {
    std::vector<OneBlock> blocks(oneBlockStreams.size());
    size_t room = 64;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::string& stream = oneBlockStreams[i];
        if (!ParseOneBlockStream(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                 &blocks[i])) {
            abort();
        }
        room += copies * (blocks[i].blockBits / 8 + 2);
    }
    std::string joined(room, '\0');
    auto* out = reinterpret_cast<uint8_t*>(joined.data());
    BitAppender appender;
    size_t length = 0;
    uint32_t combined = 0;
    for (int copy = 0; copy < copies; ++copy) {
        for (size_t i = 0; i < blocks.size(); ++i) {
            length += appender.Append(reinterpret_cast<const uint8_t*>(oneBlockStreams[i].data()),
                                      kHeaderBits, blocks[i].blockBits, out + length);
            combined = CombineBlockCrc(combined, blocks[i].blockCrc);
        }
    }
    length += appender.AppendValue(kEndMagic, kMagicBits, out + length);
    length += appender.AppendValue(combined, kCrcBits, out + length);
    length += appender.Finish(out + length);
    joined.resize(length);
    return joined;
}

std::vector<std::string> CutBlocks(const std::string& data) {
    std::vector<std::string> blocks;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    BlockBoundaryScanner scanner;
    size_t start = 0;
    size_t scanned = 0;
    while (scanned < data.size()) {
        const size_t cut = scanned + scanner.Scan(bytes + scanned, data.size() - scanned);
        if (cut == data.size()) break;
        blocks.push_back(data.substr(start, cut - start));
        start = cut;
        scanned = cut + 1;
    }
    if (start < data.size() || blocks.empty()) blocks.push_back(data.substr(start));
    return blocks;
}

std::vector<std::string> EncoderStreams(const std::string& data, size_t piece) {
    thread_local BlockEncoder encoder;
    std::vector<std::string> streams;
    std::vector<uint8_t> stream;
    // No Begin: a new encoder and one after Finish both start a block.
    for (const std::string& block : CutBlocks(data)) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
        for (size_t at = 0; at < block.size();) {
            const size_t length = std::min(piece, block.size() - at);
            encoder.Feed(bytes + at, length);
            at += length;
        }
        if (!encoder.Finish(stream)) abort();
        streams.emplace_back(stream.begin(), stream.end());
    }
    return streams;
}

}  // namespace kavrin::test
