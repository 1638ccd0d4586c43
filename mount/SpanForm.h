// SPDX-License-Identifier: MIT
// The restored bytes of one span as the mount keeps them, and the sink that makes them as the
// span's blocks are decoded (BlockDecode.h).
//
// - Plain: the restored bytes themselves, for a span that restores little more than it holds
//   (any span of sound).
// - Compact: for a span that restores far more than it holds (a block of silence restores up to
//   about 46 MB): each block's compact form as the decoder gives it (at most 900 000 bytes, runs
//   of equal bytes as four of them and a count), with a checkpoint every kCheckpointBytes of
//   output that holds the run-length stage's cursor there and the restored bytes before it (all
//   the delta filter needs to go on). A read restores only from the checkpoint before it to its
//   end, so its work is bounded by what it returns plus kCheckpointBytes, whatever the span
//   restores.
//
// A form is made of blocks whose CRCs the decoder has checked; it also gives the span's last
// restored bytes, which the next span's lead must equal. Forms live in pages of their own
// (platform/PageBuffer.h), so that a dropped one goes back to the system at once.
//
// One thread builds a form; once built it is read by any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/decode/BlockRuns.h"
#include "engine/format/DeltaFilter.h"
#include "mount/BlockDecode.h"
#include "mount/DeltaResume.h"
#include "platform/PageBuffer.h"

namespace kavrin {

// Output between two checkpoints of a compact form.
inline constexpr uint32_t kCheckpointBytes = 64 << 10;

class SpanForm {
public:
    // Copies restored bytes [from, to) of the span (offsets within it, to <= size()) to `out`.
    void Read(uint64_t from, uint64_t to, uint8_t* out) const;
    uint64_t size() const { return size_; }
    bool compact() const { return compact_; }
    // The memory the form takes, in whole pages.
    uint64_t Footprint() const;
    // The span's last min(end offset, 8) restored bytes.
    const RestoredTail& tail() const { return tail_; }

    // A plain form of the `size` restored bytes at `bytes`, the span's output from `offset` of
    // a file after the restored bytes `lead`. False when memory was short.
    static bool FromRestored(const uint8_t* bytes, uint64_t size, uint64_t offset,
                             const uint8_t* lead, SpanForm* form);

private:
    friend class FormBuilder;
    struct Checkpoint {
        RunCursor cursor;                    // where the run-length stage stands
        uint8_t lead[kDeltaLeadBytes] = {};  // restored bytes before it
    };
    struct Part {                             // one block of a compact form
        uint64_t start = 0;                   // its output's offset in the span
        uint64_t size = 0;                    // what it restores
        platform::PageBuffer bytes;           // its compact form and the byte after it
        uint32_t length = 0;                  // compact bytes
        std::vector<Checkpoint> checkpoints;  // at every kCheckpointBytes of its output
    };

    bool compact_ = false;
    DeltaMode mode_ = DeltaMode::None;
    uint64_t fileSize_ = 0;
    uint64_t offset_ = 0;  // where the span's output starts in the restored file
    uint64_t size_ = 0;
    platform::PageBuffer bytes_;  // plain: the restored bytes
    std::vector<Part> parts_;     // compact
    RestoredTail tail_;
};

// Makes a span's form from its blocks as they are decoded.
class FormBuilder : public SpanSink {
public:
    // The span restores `size` bytes from `offset` of a file of `fileSize` bytes filtered with
    // `mode`, after the restored bytes `lead` (min(offset, 8) of them).
    FormBuilder(DeltaMode mode, uint64_t fileSize, uint64_t offset, uint64_t size,
                const uint8_t* lead, bool compact);
    bool Take(const CompactBlock& block) override;
    // After a clean decode of the whole span: moves the form into `form`. False when memory
    // was short.
    bool Finish(SpanForm* form);

private:
    // Restores the block's next `length` bytes at `cursor` into `out` through the filter;
    // unless the bytes are `needed`, a run only moves the filter on (its last bytes restored).
    void Restore(const uint8_t* compact, uint32_t compactLength, RunCursor& cursor, uint8_t* out,
                 size_t length, bool needed);

    SpanForm form_;
    DeltaResume delta_;
    bool failed_ = false;
    uint64_t taken_ = 0;
    std::vector<uint8_t> scratch_;
};

// Whether a span of `size` restored bytes is kept compact under a cache of `cacheBytes`.
bool KeepsCompact(uint64_t size, uint64_t cacheBytes);

}  // namespace kavrin
