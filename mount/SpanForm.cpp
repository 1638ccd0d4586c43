// SPDX-License-Identifier: MIT
#include "mount/SpanForm.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kavrin {
namespace {

// The largest span kept plain; a larger one restores far more than it holds.
constexpr uint64_t kPlainMax = 2 << 20;
// A run of equal bytes continues with a count byte after this many.
constexpr unsigned kRunStart = 4;
constexpr unsigned kMaxCount = 255;

uint64_t PageRounded(uint64_t bytes) {
    static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

bool KeepsCompact(uint64_t size, uint64_t cacheBytes) {
    return size > std::min<uint64_t>(kPlainMax, cacheBytes / 2);
}

uint64_t SpanForm::Footprint() const {
    // The mapping, the checkpoints, and the bookkeeping around a kept form.
    return PageRounded(bytes_.size()) + checkpoints_.capacity() * sizeof(Checkpoint) + 512;
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
    auto after =
        std::upper_bound(checkpoints_.begin(), checkpoints_.end(), from,
                         [](uint64_t offset, const Checkpoint& c) { return offset < c.output; });
    Expand(*(after - 1), from, to, out);
}

void SpanForm::Expand(const Checkpoint& c, uint64_t from, uint64_t to, uint8_t* out) const {
    DeltaResume delta(mode_, fileSize_, offset_ + c.output, c.lead);
    // The bytes before `from` only carry the filter's state forward.
    uint8_t scratch[4096];
    size_t fill = 0;
    uint64_t at = c.output;
    const auto put = [&](uint8_t byte, uint64_t count) {
        while (count > 0 && at < to) {
            uint64_t take = 0;
            if (at < from) {
                take = std::min<uint64_t>({count, from - at, sizeof scratch - fill});
                std::memset(scratch + fill, byte, take);
                fill += take;
                if (fill == sizeof scratch || at + take == from) {
                    delta.Decode(scratch, fill);
                    fill = 0;
                }
            } else {
                take = std::min<uint64_t>(count, to - at);
                std::memset(out + (at - from), byte, take);
            }
            at += take;
            count -= take;
        }
    };
    const uint8_t* encoded = bytes_.data();
    uint64_t e = c.encoded;
    int previous = c.previous;
    unsigned run = c.run;
    while (at < to && e < encodedSize_) {
        if (run == kRunStart) {
            put(static_cast<uint8_t>(previous), encoded[e++]);
            run = 0;
            continue;
        }
        const uint8_t byte = encoded[e++];
        if (at >= from) {
            out[at - from] = byte;
            ++at;
        } else {
            put(byte, 1);
        }
        if (byte == previous) {
            ++run;
        } else {
            previous = byte;
            run = 1;
        }
    }
    delta.Decode(out, to - from);
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
    if (!compact) {
        failed_ = !form_.bytes_.Allocate(size);
        return;
    }
    SpanForm::Checkpoint first;
    std::memcpy(first.lead, form_.tail_.bytes, form_.tail_.length);
    first.leadLength = static_cast<uint8_t>(form_.tail_.length);
    form_.checkpoints_.push_back(first);
    nextCheckpoint_ = kCheckpointBytes;
}

void FormBuilder::Checkpoint(const uint8_t* restored, size_t at) {
    SpanForm::Checkpoint c;
    c.output = static_cast<uint32_t>(taken_ + at);
    c.encoded = static_cast<uint32_t>(encoded_.size());
    c.previous = static_cast<int16_t>(previous_);
    c.run = static_cast<uint8_t>(run_);
    RestoredTail before = form_.tail_;
    before.Push(restored, at);
    std::memcpy(c.lead, before.bytes, before.length);
    c.leadLength = static_cast<uint8_t>(before.length);
    form_.checkpoints_.push_back(c);
}

bool FormBuilder::Take(const uint8_t* bytes, size_t length) {
    if (failed_ || length > form_.size_ - taken_) return false;
    if (!form_.compact_) {
        uint8_t* to = form_.bytes_.data() + taken_;
        std::memcpy(to, bytes, length);
        delta_.Decode(to, length);
        form_.tail_.Push(to, length);
        taken_ += length;
        return true;
    }
    // Room for every byte as a literal, and a count.
    if (encoded_.capacity() - encoded_.size() < length + 1) {
        encoded_.reserve(std::max(2 * encoded_.capacity(), encoded_.size() + length + 1));
    }
    restored_.assign(bytes, bytes + length);
    delta_.Decode(restored_.data(), length);
    size_t i = 0;
    while (i < length) {
        if (run_ == kRunStart) {
            // The count of further equal bytes, up to 255.
            while (i < length && bytes[i] == previous_ && count_ < kMaxCount) {
                ++i;
                ++count_;
            }
            if (i == length) break;
            encoded_.push_back(static_cast<uint8_t>(count_));
            count_ = 0;
            run_ = 0;
        }
        if (taken_ + i >= nextCheckpoint_) {
            Checkpoint(restored_.data(), i);
            nextCheckpoint_ = taken_ + i + kCheckpointBytes;
        }
        const uint8_t byte = bytes[i++];
        encoded_.push_back(byte);
        if (byte == previous_) {
            ++run_;
        } else {
            previous_ = byte;
            run_ = 1;
        }
    }
    form_.tail_.Push(restored_.data(), length);
    taken_ += length;
    return true;
}

bool FormBuilder::Finish(SpanForm* form) {
    if (failed_ || taken_ != form_.size_) return false;
    if (form_.compact_) {
        if (run_ == kRunStart) encoded_.push_back(static_cast<uint8_t>(count_));
        if (!form_.bytes_.Allocate(encoded_.size())) return false;
        std::memcpy(form_.bytes_.data(), encoded_.data(), encoded_.size());
        form_.encodedSize_ = encoded_.size();
        form_.checkpoints_.shrink_to_fit();
    }
    *form = std::move(form_);
    return true;
}

}  // namespace kavrin
