#include "mount/BlockDecode.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>

#include "engine/StreamBits.h"

namespace kavrin {
namespace {

constexpr size_t kPieceBytes = 64 * 1024;

}  // namespace

const char* DescribeBlockStatus(BlockStatus status) {
    switch (status) {
        case BlockStatus::Ok:
            return "no error";
        case BlockStatus::ReadError:
            return "read error";
        case BlockStatus::Damaged:
            return "damaged block (CRC error or bad block)";
        case BlockStatus::NoMemory:
            return "not enough memory for the codec";
    }
    return "unknown error";
}

void BlockDecoder::Trim() {
    // Buffers grown for a large span go back; the codec's own memory is kept for the next.
    if (read_.capacity() > (1u << 20)) read_.Release();
    if (wrapped_.capacity() > (1u << 20)) wrapped_.Release();
}

BlockStatus BlockDecoder::DecodeSpan(platform::FileHandle file, const ArchiveIndex& index, size_t j,
                                     SpanSink& sink) {
    const IndexedSpan& span = index.spans[j];
    const uint64_t firstByte = span.startBit / 8;
    const uint64_t length = (span.endBit + 7) / 8 - firstByte;
    read_.Clear();
    if (!read_.Reserve(length)) return BlockStatus::NoMemory;
    const int64_t got =
        platform::ReadAt(file, read_.data(), length, index.headerLength + firstByte);
    if (got < 0) return BlockStatus::ReadError;
    // A file that ends sooner has changed; so has one whose span is not there any more.
    if (static_cast<uint64_t>(got) < length) return BlockStatus::Damaged;
    const uint64_t expected = index.SpanSize(j);
    uint64_t restored = 0;
    const BlockStatus status =
        span.kind == SpanKind::Blocks
            ? Blocks(read_.data(), span.startBit, span.endBit, span.blocksCrc, expected, sink,
                     &restored)
            : Streams(read_.data(), length, span.startBit == 0, expected, sink, &restored);
    if (status != BlockStatus::Ok) return status;
    return restored == expected ? BlockStatus::Ok : BlockStatus::Damaged;
}

BlockStatus BlockDecoder::DecodeBlock(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                                      uint64_t limit, SpanSink& sink, uint64_t* restored) {
    *restored = 0;
    if (endBit - startBit < kMagicBits + kCrcBits) return BlockStatus::Damaged;
    const auto blockCrc =
        static_cast<uint32_t>(ReadBits(bytes, startBit % 8 + kMagicBits, kCrcBits));
    return Blocks(bytes, startBit, endBit, blockCrc, limit, sink, restored);
}

BlockStatus BlockDecoder::Blocks(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                                 uint32_t crc, uint64_t limit, SpanSink& sink, uint64_t* restored) {
    *restored = 0;
    const uint64_t from = startBit % 8;
    const uint64_t bits = endBit - startBit;
    if (bits < kMagicBits + kCrcBits) return BlockStatus::Damaged;
    wrapped_.Clear();
    if (!wrapped_.Reserve(sizeof kBzipHeader + bits / 8 + 16)) return BlockStatus::NoMemory;
    // "BZh9", the blocks, then an end magic with the blocks' combined CRC as the stream's.
    BitAppender appender;
    uint8_t* to = wrapped_.data();
    size_t length = sizeof kBzipHeader;
    std::memcpy(to, kBzipHeader, sizeof kBzipHeader);
    length += appender.Append(bytes, from, bits, to + length);
    length += appender.AppendValue(kEndMagic, kMagicBits, to + length);
    length += appender.AppendValue(crc, kCrcBits, to + length);
    length += appender.Finish(to + length);
    size_t used = 0;
    const BlockStatus status = OneStream(to, length, limit, sink, restored, &used);
    // Sound only when the stream ends exactly where its wrapping ends.
    if (status == BlockStatus::Ok && used != length) return BlockStatus::Damaged;
    return status;
}

BlockStatus BlockDecoder::Streams(const uint8_t* bytes, size_t length, bool firstOfPayload,
                                  uint64_t limit, SpanSink& sink, uint64_t* restored) {
    *restored = 0;
    size_t at = 0;
    bool first = true;
    while (at < length || first) {
        const uint8_t* input = bytes + at;
        size_t inputLength = length - at;
        if (first && firstOfPayload) {
            // The payload's first stream has no header of its own: it gets "BZh9".
            wrapped_.Clear();
            if (!wrapped_.Reserve(sizeof kBzipHeader + inputLength)) return BlockStatus::NoMemory;
            std::memcpy(wrapped_.data(), kBzipHeader, sizeof kBzipHeader);
            std::memcpy(wrapped_.data() + sizeof kBzipHeader, input, inputLength);
            input = wrapped_.data();
            inputLength += sizeof kBzipHeader;
        }
        uint64_t got = 0;
        size_t used = 0;
        const BlockStatus status =
            OneStream(input, inputLength, limit - *restored, sink, &got, &used);
        *restored += got;
        if (status != BlockStatus::Ok) return status;
        if (first && firstOfPayload) used -= sizeof kBzipHeader;
        at += used;
        first = false;
    }
    return BlockStatus::Ok;
}

BlockStatus BlockDecoder::OneStream(const uint8_t* input, size_t length, uint64_t limit,
                                    SpanSink& sink, uint64_t* restored, size_t* used) {
    *restored = 0;
    *used = 0;
    if (!piece_.Reserve(kPieceBytes)) return BlockStatus::NoMemory;
    bz_stream stream{};
    memory_.Attach(stream);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return BlockStatus::NoMemory;
    stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(input));
    stream.avail_in = static_cast<unsigned>(length);
    BlockStatus status = BlockStatus::Damaged;
    for (;;) {
        stream.next_out = reinterpret_cast<char*>(piece_.data());
        stream.avail_out = static_cast<unsigned>(kPieceBytes);
        const int result = BZ2_bzDecompress(&stream);
        const size_t got = kPieceBytes - stream.avail_out;
        if (got > 0) {
            if (*restored + got > limit) break;  // more than the span may restore
            if (!sink.Take(piece_.data(), got)) {
                status = BlockStatus::NoMemory;
                break;
            }
            *restored += got;
        }
        if (result == BZ_STREAM_END) {
            status = BlockStatus::Ok;
            break;
        }
        if (result != BZ_OK) {
            if (result == BZ_MEM_ERROR) status = BlockStatus::NoMemory;
            break;
        }
        if (got == 0 && stream.avail_in == 0) break;  // the input ended inside the stream
    }
    *used = length - stream.avail_in;
    BZ2_bzDecompressEnd(&stream);
    return status;
}

}  // namespace kavrin
