// SPDX-License-Identifier: MIT
#include "mount/PayloadWalker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/decode/BlockRuns.h"

namespace kavrin {
namespace {

// The walk loads its window again once less than this is left ahead of a block: a bzip2 block
// at level 9 takes at most about 1 MB, so its end lies inside.
// Bits of an end magic and the stream CRC after it.
constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;

Status ReadFailure() {
    return Status::Engine(EngineError::ReadError, errno != 0 ? errno : EIO);
}

}  // namespace

PayloadWalker::PayloadWalker(platform::FileHandle file, const ArchiveHeader& header,
                             uint64_t payloadBytes, EngineObserver& observer,
                             DecoderSource& decoders, SpanCollector& collector,
                             std::vector<uint8_t>& kept, uint64_t keepUpTo)
    : header_(header),
      payloadBytes_(payloadBytes),
      observer_(observer),
      decoders_(decoders),
      collector_(collector),
      kept_(kept),
      keepUpTo_(keepUpTo),
      window_(file, header.headerLength, payloadBytes) {}

Status PayloadWalker::Walk(WalkState s, uint32_t* walked) {
    uint32_t level = 9;  // the block size the current stream's header gives
    for (;;) {
        if (!observer_.IsRunning()) return Status::Stop();
        if (!window_.Cover(s.bit)) return ReadFailure();
        if (!window_.Holds(s.bit, kTrailerBits))
            return Status::Engine(EngineError::StreamTruncated);
        const uint64_t magic = window_.Bits(s.bit, kMagicBits);
        bool ended = false;
        Status status;
        if (magic == kEndMagic) {
            status = EndStream(s, &level, &ended);
        } else if (magic == kBlockMagic) {
            status = PlaceBlock(s, level, walked);
        } else {
            return Status::Engine(EngineError::StreamDamaged);
        }
        if (!status.ok() || ended) return status;
    }
}

Status PayloadWalker::EndStream(WalkState& s, uint32_t* level, bool* ended) {
    const uint64_t size = header_.sourceSize;
    if (s.crcKnown && window_.Bits(s.bit + kMagicBits, kCrcBits) != s.streamCrc) {
        return Status::Engine(EngineError::StreamDamaged);
    }
    const uint64_t next = (s.bit + kTrailerBits + 7) / 8;
    if (s.restored == size) {
        // The archive ends with this stream: a byte after it is damage.
        if (next < payloadBytes_) return Status::TrailingBytes(payloadBytes_ - next);
        collector_.StreamEnds(next);
        *ended = true;
        return Status();
    }
    // Another stream may follow at the next byte, with its own "BZh1".."BZh9".
    uint8_t head[4];
    if (!window_.ReadFour(next, head) || StreamHeaderLevel(head) == 0) {
        return Status::SizeShort(s.restored, size);
    }
    collector_.StreamEnds(next);
    collector_.StreamStarts(8 * next);
    *level = StreamHeaderLevel(head);
    s.bit = 8 * (next + 4);
    s.streamCrc = 0;
    s.crcKnown = true;
    return Status();
}

Status PayloadWalker::PlaceBlock(WalkState& s, uint32_t level, uint32_t* walked) {
    const uint64_t size = header_.sourceSize;
    if (s.restored == size) return Status::SizeLong(size);
    BlockDecoder* decoder = decoders_.Take();
    const CompactBlock* block = nullptr;
    BlockVerdict verdict =
        decoder->DecodeBlock(window_.From(s.bit), s.bit, window_.EndBit(), &block, level);
    // A block longer than the window ahead of it: once more from its own start.
    if (verdict == BlockVerdict::Truncated && window_.CanWiden(s.bit)) {
        if (!window_.Load(s.bit)) {
            const Status failure = ReadFailure();
            decoders_.Give(decoder);
            return failure;
        }
        verdict = decoder->DecodeBlock(window_.From(s.bit), s.bit, window_.EndBit(), &block, level);
    }
    if (verdict != BlockVerdict::Ok || block->restoredLength > size - s.restored) {
        decoders_.Give(decoder);
        switch (verdict) {
            case BlockVerdict::NoMemory:
                return Status::System(ENOMEM, "can't decode a block");
            case BlockVerdict::Truncated:
                return Status::Engine(EngineError::StreamTruncated);
            case BlockVerdict::Ok:
                return Status::SizeLong(size);
            default:
                return Status::Engine(EngineError::StreamDamaged);
        }
    }
    Placed placed;
    placed.startBit = s.bit;
    placed.endBit = block->endBit;
    placed.offset = s.restored;
    placed.length = block->restoredLength;
    placed.crc = block->storedCrc;
    std::memcpy(placed.lead, s.lead, sizeof s.lead);
    RestoredTail tail;
    Restore(*block, s.restored, s.lead, &tail);
    decoders_.Give(decoder);
    collector_.Block(placed);
    ++*walked;
    s.restored += placed.length;
    std::memcpy(s.lead, tail.bytes, sizeof s.lead);
    s.streamCrc = CombineBlockCrc(s.streamCrc, placed.crc);
    s.bit = placed.endBit;
    return Status();
}

void PayloadWalker::Restore(const CompactBlock& block, uint64_t offset, const uint8_t* lead,
                            RestoredTail* tail) {
    DeltaResume delta(static_cast<DeltaMode>(header_.deltaMode), header_.sourceSize, offset, lead);
    tail->length = static_cast<size_t>(std::min<uint64_t>(offset, kDeltaLeadBytes));
    std::memcpy(tail->bytes, lead, tail->length);
    piece_.resize(kChunkSize);
    RunCursor cursor;
    uint64_t at = offset;
    for (uint64_t left = block.restoredLength; left > 0;) {
        const size_t n = ExpandRuns(block.compact(), block.length, cursor, piece_.data(),
                                    static_cast<size_t>(std::min<uint64_t>(left, kChunkSize)));
        if (n == 0) break;
        delta.Decode(piece_.data(), n);
        tail->Push(piece_.data(), n);
        if (at < keepUpTo_) {
            const size_t keep = static_cast<size_t>(std::min<uint64_t>(n, keepUpTo_ - at));
            kept_.insert(kept_.end(), piece_.begin(), piece_.begin() + keep);
        }
        at += n;
        left -= n;
    }
}

}  // namespace kavrin
