// SPDX-License-Identifier: MIT
// The restored bytes of one span as the mount keeps them, and the sink that makes them while the
// span decodes (BlockDecode.h).
//
// - Plain: the restored bytes themselves, for a span that restores little more than it holds
//   (any span of sound).
// - Compact: for a span that restores far more than its payload (a block of silence restores
//   up to about 46 MB from a few hundred bytes): its filtered bytes in run-length form, runs
//   written as bzip2's last stage writes them (four equal bytes, then a count of 0 to 255
//   more), so that for one block it is never larger than the block's own form before that
//   stage (at most 900 000 bytes); with a checkpoint of the run-length and delta-filter state
//   every kCheckpointBytes of output. A read expands only from the checkpoint before it to its
//   end, so its work is bounded by what it returns plus kCheckpointBytes, whatever the span
//   restores.
//
// A form is made from bytes whose CRCs the decoder has checked; it also gives the span's last
// restored bytes, which the next span's lead must equal. Forms live in pages of their own
// (platform/PageBuffer.h), so that a dropped one goes back to the system at once.
//
// One thread builds a form; once built it is read by any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/DeltaFilter.h"
#include "mount/BlockDecode.h"
#include "mount/DeltaResume.h"
#include "platform/PageBuffer.h"

namespace kavrin {

// Output between two checkpoints of a compact form (runs may carry it up to 255 bytes further).
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
        uint32_t output = 0;   // offset in the span's output
        uint32_t encoded = 0;  // offset in the run-length bytes
        int16_t previous = -1;
        uint8_t run = 0;                     // equal bytes before it since the last count
        uint8_t lead[kDeltaLeadBytes] = {};  // restored bytes before it
        uint8_t leadLength = 0;
    };
    // Expands the run-length bytes from checkpoint `c` up to output `to`; the bytes from `from`
    // on go to `out`, restored.
    void Expand(const Checkpoint& c, uint64_t from, uint64_t to, uint8_t* out) const;

    bool compact_ = false;
    DeltaMode mode_ = DeltaMode::None;
    uint64_t fileSize_ = 0;
    uint64_t offset_ = 0;  // where the span's output starts in the restored file
    uint64_t size_ = 0;
    platform::PageBuffer bytes_;  // plain: the restored bytes; compact: the run-length bytes
    uint64_t encodedSize_ = 0;
    std::vector<Checkpoint> checkpoints_;
    RestoredTail tail_;
};

// Makes a span's form from its filtered bytes as they are decoded.
class FormBuilder : public SpanSink {
public:
    // The span restores `size` bytes from `offset` of a file of `fileSize` bytes filtered with
    // `mode`, after the restored bytes `lead` (min(offset, 8) of them).
    FormBuilder(DeltaMode mode, uint64_t fileSize, uint64_t offset, uint64_t size,
                const uint8_t* lead, bool compact);
    bool Take(const uint8_t* bytes, size_t length) override;
    // After a clean decode of the whole span: moves the form into `form`. False when memory
    // was short.
    bool Finish(SpanForm* form);

private:
    void Emit(uint8_t byte);
    void Checkpoint(const uint8_t* restored, size_t at);

    SpanForm form_;
    DeltaResume delta_;
    bool failed_ = false;
    uint64_t taken_ = 0;
    // Compact: the run-length bytes so far, the encoder's state, and the last checkpoint.
    std::vector<uint8_t> encoded_;
    std::vector<uint8_t> restored_;  // a piece restored, for the checkpoints' leads
    int previous_ = -1;
    unsigned run_ = 0;
    unsigned count_ = 0;
    uint64_t nextCheckpoint_ = 0;
};

// Whether a span of `size` restored bytes is kept compact under a cache of `cacheBytes`.
bool KeepsCompact(uint64_t size, uint64_t cacheBytes);

}  // namespace kavrin
