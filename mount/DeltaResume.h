// SPDX-License-Identifier: MIT
// The delta filter's decoding taken up at any byte of a restored file, as random access needs
// it: a block's output starts wherever bzip2 cut the filtered bytes, often inside a sample.
//
// The filter runs over the whole file as one sequence of samples (its chunks are whole samples),
// the first sample kept as it is and every later one added lane by lane to the one before; a
// partial sample at the end of the file is kept as it is. So the bytes restored just before an
// offset (at most the sample before the one the offset lies in and the part of its own sample
// already restored: 7 bytes) are all that decoding needs to go on from there.
//
// One object per run of bytes; no allocation; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/format/DeltaFilter.h"

namespace kavrin {

// The restored bytes kept before a block's start: enough for every filter.
inline constexpr size_t kDeltaLeadBytes = 8;

// The last restored bytes seen (at most kDeltaLeadBytes), carried along a run of bytes: the
// lead a block that starts after them needs.
struct RestoredTail {
    uint8_t bytes[kDeltaLeadBytes] = {};
    size_t length = 0;

    // Takes in the next `count` restored bytes.
    void Push(const uint8_t* next, size_t count) {
        if (count >= kDeltaLeadBytes) {
            std::memcpy(bytes, next + count - kDeltaLeadBytes, kDeltaLeadBytes);
            length = kDeltaLeadBytes;
            return;
        }
        const size_t keep = length < kDeltaLeadBytes - count ? length : kDeltaLeadBytes - count;
        std::memmove(bytes, bytes + length - keep, keep);
        std::memcpy(bytes + keep, next, count);
        length = keep + count;
    }
};

class DeltaResume {
public:
    // Decodes the restored file of `fileSize` bytes, filtered with `mode`, from `offset` on.
    // `lead` holds the restored bytes just before `offset`: min(offset, kDeltaLeadBytes) of them.
    DeltaResume(DeltaMode mode, uint64_t fileSize, uint64_t offset, const uint8_t* lead);

    // Turns the next `length` filtered bytes into restored bytes, in place.
    void Decode(uint8_t* bytes, size_t length);
    // Goes on past `count` filtered bytes that all hold `value` (a run, as silence is), without
    // restoring them: a few steps, whatever the count.
    void Skip(uint8_t value, uint64_t count);

private:
    void Step(uint8_t* byte);
    // Adds `samples` whole samples whose filtered bytes all hold `value` to the running sample.
    void AddRepeated(uint8_t value, uint64_t samples);

    DeltaMode mode_;
    size_t sample_;                       // bytes per sample; 0 when the mode does not filter
    uint64_t fullEnd_;                    // where the file's last whole sample ends
    uint64_t position_;                   // the restored offset of the next byte
    uint8_t previous_[4] = {0, 0, 0, 0};  // the sample before the current one, restored
    uint8_t current_[4] = {0, 0, 0, 0};   // the current sample's bytes restored so far
};

}  // namespace kavrin
