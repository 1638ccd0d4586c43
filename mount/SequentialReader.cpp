// SPDX-License-Identifier: MIT
#include "mount/SequentialReader.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"

namespace kavrin {
namespace {

constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;
constexpr uint8_t kNoLead[kDeltaLeadBytes] = {};

Status ReadFailure() {
    return Status::Engine(EngineError::ReadError, errno != 0 ? errno : EIO);
}

// Reads the symbols of the block whose magic is at payload bit `startBit`, from `bytes` (which
// start at that bit's byte and hold the payload below bit `endBit`); `*blockEnd`: the bit after
// the block.
BlockVerdict ReadSymbols(CompactBlockDecoder& decoder, const uint8_t* bytes, uint64_t startBit,
                         uint64_t endBit, uint32_t level, uint64_t* blockEnd) {
    BlockSymbolReader& reader = decoder.reader();
    reader.Start(BlockSymbolReader::Expect::Block, level);
    const uint64_t base = 8 * (startBit / 8);
    BitInput in{bytes, startBit - base, endBit - base};
    switch (reader.Read(in)) {
        case BlockSymbolReader::Status::NeedBits:
            return BlockVerdict::Truncated;
        case BlockSymbolReader::Status::BlockReady:
            *blockEnd = in.bit + base;
            return BlockVerdict::Ok;
        case BlockSymbolReader::Status::NoMemory:
            return BlockVerdict::NoMemory;
        default:
            return BlockVerdict::Damaged;
    }
}

}  // namespace

SequentialReader::SequentialReader(platform::FileHandle file, const ArchiveHeader& header,
                                   uint64_t payloadBytes, DecoderSource& decoders, bool ahead)
    : header_(header),
      payloadBytes_(payloadBytes),
      decoders_(decoders),
      window_(file, header.headerLength, payloadBytes),
      ahead_(ahead),
      delta_(static_cast<DeltaMode>(header.deltaMode), header.sourceSize, 0, kNoLead) {}

SequentialReader::~SequentialReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int64_t SequentialReader::Read(uint8_t* out, size_t length, Status* failure) {
    if (!failure_.ok()) {
        *failure = failure_;
        return -1;
    }
    size_t given = 0;
    while (given < length) {
        if (left_ == 0) {
            if (ended_) break;
            if (Status next = Fetch(); !next.ok()) {
                failure_ = next;
                if (given > 0) break;
                *failure = failure_;
                return -1;
            }
            continue;
        }
        const size_t room = static_cast<size_t>(std::min<uint64_t>(length - given, left_));
        const size_t n =
            ExpandRuns(current_.compact(), current_.length, cursor_, out + given, room);
        if (n == 0) {  // the block's restored length and its runs disagree
            failure_ = Status::Engine(EngineError::StreamDamaged);
            if (given > 0) break;
            *failure = failure_;
            return -1;
        }
        delta_.Decode(out + given, n);
        given += n;
        left_ -= n;
        position_ += n;
    }
    return static_cast<int64_t>(given);
}

Status SequentialReader::Fetch() {
    if (ahead_ && !thread_.joinable()) {
        try {
            own_[0] = std::make_unique<CompactBlockDecoder>();
            own_[1] = std::make_unique<CompactBlockDecoder>();
            free_ = {own_[0].get(), own_[1].get()};
            thread_ = std::thread([this] { Produce(); });
        } catch (const std::bad_alloc&) {
            ahead_ = false;  // decoded in step instead
        } catch (const std::system_error&) {
            ahead_ = false;
        }
        if (!ahead_) {
            free_.clear();
            own_[0].reset();
            own_[1].reset();
        }
    }
    if (!ahead_) {
        BlockDecoder* borrowed = decoders_.Take();
        Item item;
        errno = 0;
        item.status = Step(borrowed->compact(), item);
        const Status accepted = Accept(item);
        decoders_.Give(borrowed);
        return accepted;
    }
    Item item;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !ready_.empty(); });
        item = ready_.front();
        ready_.pop_front();
    }
    const Status accepted = Accept(item);
    if (item.decoder != nullptr) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            free_.push_back(item.decoder);
        }
        changed_.notify_all();
    }
    return accepted;
}

void SequentialReader::Produce() {
    for (;;) {
        CompactBlockDecoder* decoder = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !free_.empty() || stopping_; });
            if (stopping_) return;
            decoder = free_.front();
            free_.pop_front();
        }
        Item item;
        errno = 0;
        item.status = Step(*decoder, item);
        const bool done = !item.status.ok() || item.last;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (item.decoder == nullptr) free_.push_back(decoder);
            ready_.push_back(item);
        }
        changed_.notify_all();
        if (done) return;
    }
}

Status SequentialReader::Step(CompactBlockDecoder& decoder, Item& out) {
    for (;;) {
        if (!window_.Cover(bit_)) return ReadFailure();
        if (!window_.Holds(bit_, kTrailerBits)) return Status::Engine(EngineError::StreamTruncated);
        const uint64_t magic = window_.Bits(bit_, kMagicBits);
        if (magic == kEndMagic) {
            if (Status status = EndStream(out); !status.ok() || out.last) return status;
            continue;  // an empty stream, another one after it
        }
        if (magic != kBlockMagic) return Status::Engine(EngineError::StreamDamaged);
        uint64_t end = 0;
        BlockVerdict verdict =
            ReadSymbols(decoder, window_.From(bit_), bit_, window_.EndBit(), level_, &end);
        // A block longer than the window ahead of it: once more from its own start.
        if (verdict == BlockVerdict::Truncated && window_.CanWiden(bit_)) {
            if (!window_.Load(bit_)) return ReadFailure();
            verdict =
                ReadSymbols(decoder, window_.From(bit_), bit_, window_.EndBit(), level_, &end);
        }
        switch (verdict) {
            case BlockVerdict::Ok:
                break;
            case BlockVerdict::NoMemory:
                return Status::System(ENOMEM, "can't decode a block");
            case BlockVerdict::Truncated:
                return Status::Engine(EngineError::StreamTruncated);
            default:
                return Status::Engine(EngineError::StreamDamaged);
        }
        out.decoder = &decoder;
        streamCrc_ = CombineBlockCrc(streamCrc_, decoder.reader().storedCrc());
        bit_ = end;
        // What follows: another block, or the stream's end.
        if (!window_.Cover(bit_)) return ReadFailure();
        if (!window_.Holds(bit_, kTrailerBits)) return Status::Engine(EngineError::StreamTruncated);
        const uint64_t next = window_.Bits(bit_, kMagicBits);
        if (next == kBlockMagic) return Status();
        if (next == kEndMagic) return EndStream(out);
        return Status::Engine(EngineError::StreamDamaged);
    }
}

Status SequentialReader::EndStream(Item& out) {
    if (window_.Bits(bit_ + kMagicBits, kCrcBits) != streamCrc_) {
        return Status::Engine(EngineError::StreamDamaged);
    }
    const uint64_t next = (bit_ + kTrailerBits + 7) / 8;
    out.streamEnd = true;
    out.payloadLeft = payloadBytes_ - std::min(next, payloadBytes_);
    // Another stream may follow at the next byte, with its own "BZh1".."BZh9".
    uint8_t head[4];
    if (!window_.ReadFour(next, head) || StreamHeaderLevel(head) == 0) {
        out.last = true;
        return Status();
    }
    level_ = StreamHeaderLevel(head);
    bit_ = 8 * (next + 4);
    streamCrc_ = 0;
    return Status();
}

Status SequentialReader::Accept(const Item& item) {
    if (!item.status.ok()) return item.status;
    uint64_t restored = 0;
    if (item.decoder != nullptr) {
        switch (item.decoder->Finish(&current_)) {
            case BlockVerdict::Ok:
                break;
            case BlockVerdict::NoMemory:
                return Status::System(ENOMEM, "can't decode a block");
            default:
                return Status::Engine(EngineError::StreamDamaged);
        }
        restored = current_.restoredLength;
    }
    // The sizes, as the walk checks them: no block past the header's size, and the payload's
    // end exactly where that size is reached.
    const uint64_t size = header_.sourceSize;
    if (restored > size - decoded_) return Status::SizeLong(size);
    decoded_ += restored;
    if (decoded_ == size) {
        if (!item.streamEnd) return Status::SizeLong(size);
        if (!item.last || item.payloadLeft > 0) return Status::TrailingBytes(item.payloadLeft);
    } else if (item.last) {
        return Status::SizeShort(decoded_, size);
    }
    cursor_ = RunCursor{};
    left_ = restored;
    ended_ = item.last;
    return Status();
}

}  // namespace kavrin
