// SPDX-License-Identifier: MIT
// An archive's restored bytes from its start, in order, decoded once: the way a program that
// reads a file through from the beginning is served without an index.
//
// A block is decoded in two stages: its symbols (which find where it ends and what follows it),
// then its inverse transform, which checks its CRC against what it restores. Its bytes are then
// restored from its compact form straight into the caller's buffer, through one delta filter
// that runs over the whole file, across blocks and streams. Nothing of a block is given before
// what follows it is checked: when that is its stream's end magic, the stream's combined CRC,
// and when that stream is the payload's last, the restored size against the header's and the
// payload's end right after it. So every byte given is checked, and a damaged end gives an
// error, not the last block's bytes. The checks are those of an index build's walk
// (PayloadWalker.h).
//
// Two ways to decode:
// - Ahead: a thread of its own reads the symbols of the blocks ahead with two decoders of the
//   reader's own (kAheadBytes in all, with the window and the block being given), while the
//   caller's thread finishes and gives the current block.
// - In step: the caller's thread does both stages with a decoder borrowed from `decoders` for
//   the block's time (kSequentialBytes in all).
//
// One thread at a time (besides its own).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/Status.h"
#include "engine/decode/BlockRuns.h"
#include "engine/decode/CompactBlock.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/BlockDecode.h"
#include "mount/DeltaResume.h"
#include "mount/PayloadWalker.h"
#include "mount/PayloadWindow.h"

namespace kavrin {

// The memory a sequential reader holds while it reads, at most: in step, and ahead.
inline constexpr uint64_t kSequentialBytes = kWalkWindow + (3 << 19);
inline constexpr uint64_t kAheadBytes = kSequentialBytes + 2 * kDecoderBytes;

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

private:
    // A block whose symbols are read, with what follows it; or the payload's end; or why
    // there is neither.
    struct Item {
        Status status;
        CompactBlockDecoder* decoder = nullptr;  // holding the block's symbols; null: no block
        bool streamEnd = false;                  // its stream ends after it
        bool last = false;                       // and no stream follows
        uint64_t payloadLeft = 0;                // payload bytes after that stream's end
    };

    // The decoding side: the thread's loop, and the next block's symbols read with `decoder`.
    void Produce();
    Status Step(CompactBlockDecoder& decoder, Item& out);
    // At an end magic: checks the stream's CRC and goes on with the next stream, if any.
    Status EndStream(Item& out);

    // The caller's side: the next block, then its inverse transform and the size checks.
    Status Fetch();
    Status Accept(const Item& item);

    // The decoding side's.
    ArchiveHeader header_;
    uint64_t payloadBytes_;
    DecoderSource& decoders_;
    PayloadWindow window_;
    uint64_t bit_ = 0;  // the next magic
    uint32_t level_ = 9;
    uint32_t streamCrc_ = 0;

    // Ahead: the hand-over between the two sides.
    bool ahead_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<CompactBlockDecoder> own_[2];
    std::deque<CompactBlockDecoder*> free_;
    std::deque<Item> ready_;
    bool stopping_ = false;
    std::thread thread_;

    // The caller's.
    CompactBlock current_;
    DeltaResume delta_;
    RunCursor cursor_;
    uint64_t decoded_ = 0;  // restored bytes of the blocks accepted
    uint64_t left_ = 0;     // of the current block, still to give
    uint64_t position_ = 0;
    bool ended_ = false;
    Status failure_;
};

}  // namespace kavrin
