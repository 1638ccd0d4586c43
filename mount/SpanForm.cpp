// SPDX-License-Identifier: MIT
#include "mount/SpanForm.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kavrin {
namespace {

// The largest span kept plain; a larger one restores far more than it holds.
constexpr uint64_t kPlainMax = 2 << 20;

// Whether the `length` bytes all hold the first one's value (silence, as a rule).
bool Uniform(const uint8_t* bytes, size_t length) {
    return length > 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0;
}

// Bytes a uniform piece restores in full at its end: the tail's worth, and then some.
constexpr size_t kRestoredEnd = 16;

uint64_t PageRounded(uint64_t bytes) {
    static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

bool KeepsCompact(uint64_t size, uint64_t cacheBytes) {
    return size > std::min<uint64_t>(kPlainMax, cacheBytes / 2);
}

uint64_t SpanForm::Footprint() const {
    // The mappings, the checkpoints, and the bookkeeping around a kept form.
    uint64_t bytes = PageRounded(bytes_.size()) + parts_.capacity() * sizeof(Part) + 512;
    for (const Part& part : parts_) {
        bytes += PageRounded(part.bytes.size()) + part.checkpoints.capacity() * sizeof(Checkpoint);
    }
    return bytes;
}

bool SpanForm::FromRestored(const uint8_t* bytes, uint64_t size, uint64_t offset,
                            const uint8_t* lead, SpanForm* form) {
    SpanForm made;
    if (!made.bytes_.Allocate(size)) return false;
    std::memcpy(made.bytes_.data(), bytes, size);
    made.offset_ = offset;
    made.size_ = size;
    made.tail_.length = static_cast<size_t>(std::min<uint64_t>(offset, kDeltaLeadBytes));
    std::memcpy(made.tail_.bytes, lead, made.tail_.length);
    made.tail_.Push(bytes, size);
    *form = std::move(made);
    return true;
}

void SpanForm::Read(uint64_t from, uint64_t to, uint8_t* out) const {
    if (from >= to) return;
    if (!compact_) {
        std::memcpy(out, bytes_.data() + from, to - from);
        return;
    }
    auto part = std::upper_bound(parts_.begin(), parts_.end(), from,
                                 [](uint64_t offset, const Part& p) { return offset < p.start; });
    --part;
    uint8_t scratch[4096];
    for (; from < to; ++part) {
        const uint64_t partFrom = from - part->start;
        const uint64_t partTo = std::min(to, part->start + part->size) - part->start;
        const Checkpoint& checkpoint = part->checkpoints[partFrom / kCheckpointBytes];
        RunCursor cursor = checkpoint.cursor;
        DeltaResume delta(mode_, fileSize_, offset_ + part->start + cursor.restored,
                          checkpoint.lead);
        // The bytes before `from` only carry the filter's state forward, runs at once.
        while (cursor.restored < partFrom) {
            const size_t n =
                ExpandRuns(part->bytes.data(), part->length, cursor, scratch,
                           std::min<uint64_t>(sizeof scratch, partFrom - cursor.restored));
            if (n == 0) break;
            if (Uniform(scratch, n)) {
                delta.Skip(scratch[0], n);
            } else {
                delta.Decode(scratch, n);
            }
        }
        const size_t n = ExpandRuns(part->bytes.data(), part->length, cursor, out,
                                    static_cast<size_t>(partTo - partFrom));
        delta.Decode(out, n);
        out += partTo - partFrom;
        from += partTo - partFrom;
    }
}

FormBuilder::FormBuilder(DeltaMode mode, uint64_t fileSize, uint64_t offset, uint64_t size,
                         const uint8_t* lead, bool compact)
    : delta_(mode, fileSize, offset, lead) {
    form_.compact_ = compact;
    form_.mode_ = mode;
    form_.fileSize_ = fileSize;
    form_.offset_ = offset;
    form_.size_ = size;
    form_.tail_.length = static_cast<size_t>(std::min<uint64_t>(offset, kDeltaLeadBytes));
    std::memcpy(form_.tail_.bytes, lead, form_.tail_.length);
    failed_ = compact ? false : !form_.bytes_.Allocate(size);
}

void FormBuilder::Restore(const uint8_t* compact, uint32_t compactLength, RunCursor& cursor,
                          uint8_t* out, size_t length, bool needed) {
    const size_t n = ExpandRuns(compact, compactLength, cursor, out, length);
    if (!needed && n > kRestoredEnd && Uniform(out, n)) {
        // A run only moves the filter's state on; its last bytes make the tail.
        delta_.Skip(out[0], n - kRestoredEnd);
        out += n - kRestoredEnd;
        delta_.Decode(out, kRestoredEnd);
        form_.tail_.Push(out, kRestoredEnd);
        return;
    }
    delta_.Decode(out, n);
    form_.tail_.Push(out, n);
}

bool FormBuilder::Take(const CompactBlock& block) {
    const uint64_t size = block.restoredLength;
    if (failed_ || size > form_.size_ - taken_) return false;
    RunCursor cursor;
    if (!form_.compact_) {
        Restore(block.compact(), block.length, cursor, form_.bytes_.data() + taken_, size, true);
        taken_ += size;
        return true;
    }
    SpanForm::Part part;
    part.start = taken_;
    part.size = size;
    part.length = block.length;
    // The compact bytes and the one the run-length stage may look at after them.
    if (!part.bytes.Allocate(block.length + 1)) return false;
    std::memcpy(part.bytes.data(), block.compact(), block.length + 1);
    scratch_.resize(kCheckpointBytes);
    for (uint64_t at = 0; at < size; at += kCheckpointBytes) {
        SpanForm::Checkpoint checkpoint;
        checkpoint.cursor = cursor;
        std::memcpy(checkpoint.lead, form_.tail_.bytes, form_.tail_.length);
        part.checkpoints.push_back(checkpoint);
        Restore(part.bytes.data(), part.length, cursor, scratch_.data(),
                static_cast<size_t>(std::min<uint64_t>(kCheckpointBytes, size - at)), false);
    }
    form_.parts_.push_back(std::move(part));
    taken_ += size;
    return true;
}

bool FormBuilder::Finish(SpanForm* form) {
    if (failed_ || taken_ != form_.size_) return false;
    form_.parts_.shrink_to_fit();
    *form = std::move(form_);
    return true;
}

}  // namespace kavrin
