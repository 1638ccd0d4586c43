// SPDX-License-Identifier: MIT
#include "engine/decode/StreamDecoder.h"

#include <algorithm>

#include "engine/codec/BlockCrc.h"

namespace kavrin {

StreamDecoder::StreamDecoder() = default;

void StreamDecoder::StartStream() {
    piece_ = nullptr;
    pieceLength_ = 0;
    pieceStart_ = 0;
    join_.Clear();
    left_ = 0;
    inJoin_ = false;
    viewStart_ = 0;
    bit_ = 0;
    given_ = 0;
    stopped_ = false;
    streamCrc_ = 0;
    decoder_.reader().Start(BlockSymbolReader::Expect::StreamHeader);
}

void StreamDecoder::StartAt(unsigned bitOffset, uint32_t streamCrc) {
    StartStream();
    bit_ = bitOffset;
    streamCrc_ = streamCrc;
    decoder_.reader().Start(BlockSymbolReader::Expect::Block, 9);
}

bool StreamDecoder::Give(const uint8_t* bytes, size_t length) {
    piece_ = bytes;
    pieceLength_ = length;
    pieceStart_ = given_;
    if (left_ > 0) {
        // What the last piece left goes first, joined to this piece's head.
        const size_t head = std::min(length, kJoinHead);
        if (!join_.Append(bytes, head)) return false;
        inJoin_ = true;
    } else {
        inJoin_ = false;
        viewStart_ = pieceStart_;
    }
    given_ += length;
    return true;
}

StreamDecoder::Event StreamDecoder::Next() {
    if (stopped_) return Event::Damaged;
    BlockSymbolReader& reader = decoder_.reader();
    // The last block is done with: its buffer serves the next one, so the stream holds one.
    if (reader.columnCapacity() == 0) reader.SwapColumn(block_.bytes);
    BlockSymbolReader::Status status;
    uint64_t base;  // the stream bit of the view's first byte, for the reader's error bit
    for (;;) {
        const uint8_t* view = inJoin_ ? join_.data() : piece_;
        const size_t viewLength = inJoin_ ? join_.size() : pieceLength_;
        BitInput in{view, bit_, 8 * static_cast<uint64_t>(viewLength)};
        status = reader.Read(in);
        base = 8 * viewStart_;
        bit_ = in.bit;
        const size_t head = join_.size() - left_;  // of the piece, in the join
        if (inJoin_ && head > 0 && bit_ >= 8 * left_) {
            // Past the bytes left before: the join's head is the piece's own; read on there.
            bit_ -= 8 * left_;
            viewStart_ = pieceStart_;
            inJoin_ = false;
            left_ = 0;
            join_.Clear();
            if (status == BlockSymbolReader::Status::NeedBits) continue;
        }
        if (status != BlockSymbolReader::Status::NeedBits) break;
        if (inJoin_ && head < pieceLength_) {
            // Stopped inside the join with the piece not all in it: take the rest too.
            if (!join_.Append(piece_ + head, pieceLength_ - head)) return Event::NoMemory;
            continue;
        }
        // Keep the bytes the next step still needs (a few), for the next piece.
        const size_t from = static_cast<size_t>(bit_ / 8);
        viewStart_ += from;
        bit_ -= 8 * from;
        if (inJoin_) {
            join_.DropFront(from);
        } else {
            join_.Clear();
            if (!join_.Append(view + from, viewLength - from)) return Event::NoMemory;
        }
        left_ = join_.size();
        inJoin_ = left_ > 0;
        return Event::NeedInput;
    }
    switch (status) {
        case BlockSymbolReader::Status::NeedBits:
            return Event::NeedInput;
        case BlockSymbolReader::Status::BlockReady: {
            const BlockVerdict verdict = decoder_.Finish(&block_);
            block_.endBit = 8 * viewStart_ + bit_;
            if (verdict == BlockVerdict::NoMemory) return Event::NoMemory;
            if (verdict != BlockVerdict::Ok) {
                stopped_ = true;
                stopBit_ = block_.endBit;
                return Event::BadCrc;
            }
            streamCrc_ = CombineBlockCrc(streamCrc_, block_.storedCrc);
            return Event::Block;
        }
        case BlockSymbolReader::Status::StreamEnd:
            stopped_ = true;
            stopBit_ = 8 * viewStart_ + bit_;
            return reader.storedStreamCrc() == streamCrc_ ? Event::End : Event::Damaged;
        case BlockSymbolReader::Status::BadHeader:
            stopped_ = true;
            stopBit_ = base + reader.errorBit();
            return Event::BadHeader;
        case BlockSymbolReader::Status::Damaged:
            stopped_ = true;
            stopBit_ = base + reader.errorBit();
            return Event::Damaged;
        case BlockSymbolReader::Status::NoMemory:
            return Event::NoMemory;
    }
    return Event::Damaged;
}

uint64_t StreamDecoder::bytesUsed() const {
    return stopped_ ? (stopBit_ + 7) / 8 : given_;
}

}  // namespace kavrin
