// SPDX-License-Identifier: MIT
// An archive's restored bytes from its start, in order, decoded once: the way a program that
// reads a file through from the beginning is served without an index.
//
// Each block is decoded (its CRC checked against what it restores) before any of its bytes are
// given; its bytes are then restored from its compact form straight into the caller's buffer,
// through one delta filter that runs over the whole file, across blocks and streams. What
// follows a block is looked at before a byte of it is given: when it is its stream's end magic,
// the stream's combined CRC, and when that stream is the payload's last, the restored size
// against the header's and the payload's end right after it. So every byte given is checked, and
// a damaged end gives an error, not the last block's bytes. The checks are those of an index
// build's walk (PayloadWalker.h).
//
// With `ahead`, a thread of its own decodes the next block while the current one is given, one
// block ahead at most. It holds a window of the payload (kWalkWindow) and at most three blocks'
// compact forms (kSequentialBytes in all); a decoder is taken from `decoders` only while a block
// is decoded.
//
// One thread at a time (besides its own).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/Status.h"
#include "engine/codec/ByteBuffer.h"
#include "engine/decode/BlockRuns.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/BlockDecode.h"
#include "mount/DeltaResume.h"
#include "mount/PayloadWalker.h"

namespace kavrin {

// The memory a sequential reader holds while it reads, at most.
inline constexpr uint64_t kSequentialBytes = kWalkWindow + (3 << 20);

class SequentialReader {
public:
    // Reads the payload of the archive open as `file`, whose header is `header` and whose
    // payload holds `payloadBytes`; `ahead`: decodes ahead on a thread of its own.
    SequentialReader(platform::FileHandle file, const ArchiveHeader& header, uint64_t payloadBytes,
                     DecoderSource& decoders, bool ahead);
    // Stops and joins its thread.
    ~SequentialReader();
    SequentialReader(const SequentialReader&) = delete;
    SequentialReader& operator=(const SequentialReader&) = delete;

    // Gives the next up to `length` restored bytes: their count (0 at the end, once the end's
    // checks passed), or -1 with `*failure`. Bytes checked before a failure are given first;
    // the failure comes with the next call.
    int64_t Read(uint8_t* out, size_t length, Status* failure);

    // The restored offset of the next byte.
    uint64_t position() const { return position_; }
    // Whether the whole payload has been checked (every byte is then known to be sound).
    bool checkedToEnd() const { return ended_; }
    bool failed() const { return !failure_.ok(); }

private:
    // A decoded block, checked with what follows it; or why there is none.
    struct Block {
        Status status;
        std::vector<uint8_t> compact;
        uint32_t length = 0;    // compact bytes
        uint64_t restored = 0;  // what it restores to (0: an empty payload's end)
        bool last = false;      // the payload ends after it, checked
    };

    // The consumer's next block, from the thread or decoded now.
    Status Fetch();
    // The decoding side: the thread's loop, and the next block (past stream ends), with what
    // follows it checked.
    void Produce();
    Status Next(Block& out);
    // At an end magic: checks the stream's CRC, then ends (`*ended`) where the restored size is
    // reached, with nothing after that stream, or goes on with the next stream.
    Status EndStream(bool* ended);
    Status TakeBlock(Block& out);
    bool Load(uint64_t bit);
    bool Cover(uint64_t bit);
    bool Holds(uint64_t bit, uint64_t bits) const {
        return bit + bits <= 8 * (base_ + window_.size());
    }
    uint64_t Bits(uint64_t bit, unsigned count) const;

    // The decoding side's.
    platform::FileHandle file_;
    ArchiveHeader header_;
    uint64_t payloadBytes_;
    DecoderSource& decoders_;
    ByteBuffer window_;
    uint64_t base_ = 0;  // payload byte of window_[0]
    uint64_t bit_ = 0;   // the next magic
    uint32_t level_ = 9;
    uint32_t streamCrc_ = 0;
    uint64_t decoded_ = 0;  // restored bytes of the blocks decoded so far

    // The hand-over between the two sides.
    bool ahead_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Block slot_;
    bool full_ = false;
    bool stopping_ = false;
    std::thread thread_;

    // The consumer's.
    Block current_;
    DeltaResume delta_;
    RunCursor cursor_;
    uint64_t left_ = 0;  // of the current block, still to give
    uint64_t position_ = 0;
    bool ended_ = false;
    Status failure_;
};

}  // namespace kavrin
