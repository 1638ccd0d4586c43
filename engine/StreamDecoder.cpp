// SPDX-License-Identifier: MIT
#include "engine/StreamDecoder.h"

#include "engine/BlockCrc.h"

namespace kavrin {

StreamDecoder::StreamDecoder() = default;

void StreamDecoder::StartStream() {
    window_.Clear();
    windowStart_ = 0;
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
    // Whole bytes already read go; the rest waits in front of the new input.
    const uint64_t used = bit_ / 8;
    if (used > 0) {
        window_.DropFront(used);
        windowStart_ += used;
        bit_ -= 8 * used;
    }
    if (!window_.Append(bytes, length)) return false;
    given_ += length;
    return true;
}

StreamDecoder::Event StreamDecoder::Next() {
    if (stopped_) return Event::Damaged;
    BlockSymbolReader& reader = decoder_.reader();
    // The last block is done with: its buffer serves the next one, so the stream holds one.
    if (reader.columnCapacity() == 0) reader.SwapColumn(block_.bytes);
    BitInput in{window_.data(), bit_, 8 * static_cast<uint64_t>(window_.size())};
    const BlockSymbolReader::Status status = reader.Read(in);
    bit_ = in.bit;
    const uint64_t base = 8 * windowStart_;
    switch (status) {
        case BlockSymbolReader::Status::NeedBits:
            return Event::NeedInput;
        case BlockSymbolReader::Status::BlockReady: {
            const BlockVerdict verdict = decoder_.Finish(&block_);
            block_.endBit = base + bit_;
            if (verdict == BlockVerdict::NoMemory) return Event::NoMemory;
            if (verdict != BlockVerdict::Ok) {
                stopped_ = true;
                stopBit_ = base + bit_;
                return Event::BadCrc;
            }
            streamCrc_ = CombineBlockCrc(streamCrc_, block_.storedCrc);
            return Event::Block;
        }
        case BlockSymbolReader::Status::StreamEnd:
            stopped_ = true;
            stopBit_ = base + bit_;
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
