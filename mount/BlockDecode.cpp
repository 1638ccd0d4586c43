#include "mount/BlockDecode.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>

#include "engine/StreamBits.h"
#include "mount/DeltaResume.h"

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

BlockStatus BlockDecoder::DecodeIndexed(platform::FileHandle file, const ArchiveIndex& index,
                                        size_t j, uint64_t keepFrom, uint64_t keepTo,
                                        uint8_t* out) {
    const IndexedBlock& block = index.blocks[j];
    const uint64_t firstByte = block.startBit / 8;
    const uint64_t length = (block.endBit + 7) / 8 - firstByte;
    read_.Clear();
    if (!read_.Reserve(length)) return BlockStatus::NoMemory;
    const int64_t got =
        platform::ReadAt(file, read_.data(), length, index.headerLength + firstByte);
    if (got < 0) return BlockStatus::ReadError;
    // A file that ends sooner has changed; so has one whose block is not there any more.
    if (static_cast<uint64_t>(got) < length) return BlockStatus::Damaged;
    const uint64_t expected = index.BlockEnd(j) - block.restoredOffset;
    BlockOutput output;
    const BlockStatus status =
        Run(read_.data(), block.startBit, block.endBit, static_cast<DeltaMode>(index.deltaMode),
            index.sourceSize, block.restoredOffset, block.lead, expected, keepFrom, keepTo, out,
            &output);
    if (status != BlockStatus::Ok) return status;
    return output.length == expected ? BlockStatus::Ok : BlockStatus::Damaged;
}

BlockStatus BlockDecoder::DecodeBits(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                                     DeltaMode mode, uint64_t fileSize, uint64_t restoredOffset,
                                     const uint8_t* lead, uint64_t limit, BlockOutput* output) {
    return Run(bytes, startBit, endBit, mode, fileSize, restoredOffset, lead, limit, 0, 0, nullptr,
               output);
}

BlockStatus BlockDecoder::Run(const uint8_t* bytes, uint64_t startBit, uint64_t endBit,
                              DeltaMode mode, uint64_t fileSize, uint64_t restoredOffset,
                              const uint8_t* lead, uint64_t limit, uint64_t keepFrom,
                              uint64_t keepTo, uint8_t* out, BlockOutput* output) {
    const uint64_t from = startBit % 8;
    const uint64_t bits = endBit - startBit;
    if (bits < kMagicBits + kCrcBits) return BlockStatus::Damaged;
    const auto blockCrc = static_cast<uint32_t>(ReadBits(bytes, from + kMagicBits, kCrcBits));
    wrapped_.Clear();
    if (!wrapped_.Reserve(sizeof kBzipHeader + bits / 8 + 16) || !piece_.Reserve(kPieceBytes)) {
        return BlockStatus::NoMemory;
    }
    BitAppender appender;
    uint8_t* to = wrapped_.data();
    size_t length = sizeof kBzipHeader;
    std::memcpy(to, kBzipHeader, sizeof kBzipHeader);
    length += appender.Append(bytes, from, bits, to + length);
    length += appender.AppendValue(kEndMagic, kMagicBits, to + length);
    length += appender.AppendValue(blockCrc, kCrcBits, to + length);
    length += appender.Finish(to + length);

    bz_stream stream{};
    memory_.Attach(stream);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return BlockStatus::NoMemory;
    stream.next_in = reinterpret_cast<char*>(to);
    stream.avail_in = static_cast<unsigned>(length);
    DeltaResume delta(mode, fileSize, restoredOffset, lead);
    uint64_t produced = 0;
    RestoredTail tail;
    tail.length = std::min<uint64_t>(restoredOffset, kDeltaLeadBytes);
    std::memcpy(tail.bytes, lead, tail.length);
    BlockStatus status = BlockStatus::Damaged;
    for (;;) {
        stream.next_out = reinterpret_cast<char*>(piece_.data());
        stream.avail_out = static_cast<unsigned>(kPieceBytes);
        const int result = BZ2_bzDecompress(&stream);
        const size_t got = kPieceBytes - stream.avail_out;
        if (got > 0) {
            if (produced + got > limit) break;  // more than the block may restore
            uint8_t* piece = piece_.data();
            delta.Decode(piece, got);
            if (out != nullptr && produced < keepTo && produced + got > keepFrom) {
                const uint64_t a = std::max(produced, keepFrom);
                const uint64_t b = std::min<uint64_t>(produced + got, keepTo);
                std::memcpy(out + (a - keepFrom), piece + (a - produced), b - a);
            }
            tail.Push(piece, got);
            produced += got;
        }
        if (result == BZ_STREAM_END) {
            // Sound only when the block ends exactly where its wrapping ends.
            if (stream.avail_in == 0) status = BlockStatus::Ok;
            break;
        }
        if (result != BZ_OK) {
            if (result == BZ_MEM_ERROR) status = BlockStatus::NoMemory;
            break;
        }
        if (got == 0 && stream.avail_in == 0) break;  // the input ended inside the block
    }
    BZ2_bzDecompressEnd(&stream);
    output->length = produced;
    std::memcpy(output->tail, tail.bytes, tail.length);
    return status;
}

}  // namespace kavrin
