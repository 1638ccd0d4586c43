// SPDX-License-Identifier: MIT
#include "mount/SequentialReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"

namespace kavrin {
namespace {

// The window is loaded again once less than this is left ahead of a block (a level-9 block
// takes at most about 1 MB).
constexpr uint64_t kAhead = kWalkWindow / 2;
constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;
constexpr uint8_t kNoLead[kDeltaLeadBytes] = {};

Status ReadFailure() {
    return Status::Engine(EngineError::ReadError, errno != 0 ? errno : EIO);
}

}  // namespace

SequentialReader::SequentialReader(platform::FileHandle file, const ArchiveHeader& header,
                                   uint64_t payloadBytes, DecoderSource& decoders, bool ahead)
    : file_(file),
      header_(header),
      payloadBytes_(payloadBytes),
      decoders_(decoders),
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
            ExpandRuns(current_.compact.data(), current_.length, cursor_, out + given, room);
        if (n == 0) {  // the decoder's restored length and the runs disagree
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
            thread_ = std::thread([this] { Produce(); });
        } catch (const std::system_error&) {
            ahead_ = false;  // decoded here instead
        }
    }
    if (ahead_) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return full_; });
        std::swap(current_, slot_);
        full_ = false;
        lock.unlock();
        changed_.notify_all();
    } else {
        errno = 0;
        current_.status = Next(current_);
    }
    if (!current_.status.ok()) return current_.status;
    cursor_ = RunCursor{};
    left_ = current_.restored;
    ended_ = current_.last;
    return Status();
}

void SequentialReader::Produce() {
    Block next;
    for (;;) {
        errno = 0;
        next.status = Next(next);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !full_ || stopping_; });
        if (stopping_) return;
        std::swap(slot_, next);
        full_ = true;
        const bool done = !slot_.status.ok() || slot_.last;
        lock.unlock();
        changed_.notify_all();
        if (done) return;
    }
}

Status SequentialReader::Next(Block& out) {
    out.restored = 0;
    out.last = false;
    for (;;) {
        if (!Cover(bit_)) return ReadFailure();
        if (!Holds(bit_, kTrailerBits)) return Status::Engine(EngineError::StreamTruncated);
        const uint64_t magic = Bits(bit_, kMagicBits);
        if (magic == kBlockMagic) return TakeBlock(out);
        if (magic != kEndMagic) return Status::Engine(EngineError::StreamDamaged);
        if (Status status = EndStream(&out.last); !status.ok()) return status;
        if (out.last) return Status();
    }
}

Status SequentialReader::EndStream(bool* ended) {
    const uint64_t size = header_.sourceSize;
    if (Bits(bit_ + kMagicBits, kCrcBits) != streamCrc_) {
        return Status::Engine(EngineError::StreamDamaged);
    }
    const uint64_t next = (bit_ + kTrailerBits + 7) / 8;
    if (decoded_ == size) {
        if (next < payloadBytes_) return Status::TrailingBytes(payloadBytes_ - next);
        *ended = true;
        return Status();
    }
    // Another stream may follow at the next byte, with its own "BZh1".."BZh9".
    uint8_t head[4];
    const bool inWindow = next >= base_ && next + 4 <= base_ + window_.size();
    if (inWindow) std::memcpy(head, window_.data() + (next - base_), 4);
    if (next + 4 > payloadBytes_ ||
        (!inWindow && platform::ReadAt(file_, head, 4, header_.headerLength + next) != 4) ||
        StreamHeaderLevel(head) == 0) {
        return Status::SizeShort(decoded_, size);
    }
    level_ = StreamHeaderLevel(head);
    bit_ = 8 * (next + 4);
    streamCrc_ = 0;
    return Status();
}

Status SequentialReader::TakeBlock(Block& out) {
    const uint64_t size = header_.sourceSize;
    if (decoded_ == size) return Status::SizeLong(size);
    BlockDecoder* decoder = decoders_.Take();
    const CompactBlock* block = nullptr;
    BlockVerdict verdict = decoder->DecodeBlock(window_.data() + (bit_ / 8 - base_), bit_,
                                                8 * (base_ + window_.size()), &block, level_);
    // A block longer than the window ahead of it: once more from its own start.
    if (verdict == BlockVerdict::Truncated && base_ != bit_ / 8 &&
        base_ + window_.size() < payloadBytes_) {
        if (!Load(bit_)) {
            const Status failure = ReadFailure();
            decoders_.Give(decoder);
            return failure;
        }
        verdict = decoder->DecodeBlock(window_.data(), bit_, 8 * (base_ + window_.size()), &block,
                                       level_);
    }
    if (verdict != BlockVerdict::Ok || block->restoredLength > size - decoded_) {
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
    out.length = block->length;
    const size_t kept = std::max<size_t>(block->bytes.size(), block->length);
    out.compact.resize(kept);
    std::memcpy(out.compact.data(), block->compact(), kept);
    const uint64_t restored = block->restoredLength;
    const uint32_t crc = block->storedCrc;
    bit_ = block->endBit;
    decoders_.Give(decoder);
    streamCrc_ = CombineBlockCrc(streamCrc_, crc);
    decoded_ += restored;
    // What follows is looked at before any of the block's bytes are given: at its stream's end,
    // that stream's CRC, and at the payload's end, the restored size and nothing after it.
    if (!Cover(bit_)) return ReadFailure();
    if (!Holds(bit_, kTrailerBits)) return Status::Engine(EngineError::StreamTruncated);
    const uint64_t magic = Bits(bit_, kMagicBits);
    if (magic == kBlockMagic) {
        if (decoded_ == size) return Status::SizeLong(size);
    } else if (magic == kEndMagic) {
        if (Status status = EndStream(&out.last); !status.ok()) return status;
    } else {
        return Status::Engine(EngineError::StreamDamaged);
    }
    out.restored = restored;
    return Status();
}

bool SequentialReader::Load(uint64_t bit) {
    base_ = bit / 8;
    const uint64_t want = std::min<uint64_t>(kWalkWindow, payloadBytes_ - base_);
    window_.Clear();
    if (!window_.Reserve(want + 8)) {
        errno = ENOMEM;
        return false;
    }
    const int64_t got = platform::ReadAt(file_, window_.data(), want, header_.headerLength + base_);
    if (got != static_cast<int64_t>(want)) {
        if (got >= 0) errno = EIO;
        return false;
    }
    window_.Commit(want);
    return true;
}

bool SequentialReader::Cover(uint64_t bit) {
    const uint64_t end = base_ + window_.size();
    if (window_.size() > 0 && bit / 8 >= base_ &&
        (end == payloadBytes_ || (bit / 8 < end && end - bit / 8 >= kAhead))) {
        return true;
    }
    return Load(bit);
}

uint64_t SequentialReader::Bits(uint64_t bit, unsigned count) const {
    return ReadBits(window_.data(), bit - 8 * base_, count);
}

}  // namespace kavrin
