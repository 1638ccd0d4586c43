// SPDX-License-Identifier: MIT
#include "mount/DeltaResume.h"

#include <algorithm>
#include <cstring>

namespace kavrin {
namespace {

// Whether byte `b` of a sample is the high byte of a 16-bit lane, which takes the carry of the
// low byte before it.
bool TakesCarry(DeltaMode mode, size_t b) {
    switch (mode) {
        case DeltaMode::Bits16:
        case DeltaMode::Bits24:
            return b == 1;
        case DeltaMode::Bits32:
            return b == 1 || b == 3;
        default:
            return false;
    }
}

}  // namespace

DeltaResume::DeltaResume(DeltaMode mode, uint64_t fileSize, uint64_t offset, const uint8_t* lead)
    : mode_(mode), sample_(DeltaSampleSize(mode)), fullEnd_(0), position_(offset) {
    if (sample_ == 0) return;
    fullEnd_ = fileSize / sample_ * sample_;
    const size_t leadLength = static_cast<size_t>(std::min<uint64_t>(offset, kDeltaLeadBytes));
    const size_t within = static_cast<size_t>(offset % sample_);
    // The lead's last `within` bytes start the current sample; the sample before them (none for
    // the file's first sample, whose "previous" is zero) precedes them.
    std::memcpy(current_, lead + leadLength - within, within);
    if (offset >= sample_ + within) {
        std::memcpy(previous_, lead + leadLength - within - sample_, sample_);
    }
}

void DeltaResume::Step(uint8_t* byte) {
    const auto b = static_cast<size_t>(position_ % sample_);
    if (position_ < fullEnd_) {
        const unsigned carry = TakesCarry(mode_, b) && current_[b - 1] < previous_[b - 1] ? 1 : 0;
        *byte = static_cast<uint8_t>(*byte + previous_[b] + carry);
        current_[b] = *byte;
        if (b + 1 == sample_) std::memcpy(previous_, current_, sample_);
    }
    ++position_;
}

void DeltaResume::AddRepeated(uint8_t value, uint64_t samples) {
    // Each lane adds its filtered value once per sample, wrapping at its width: 16-bit lanes
    // are bytes (0, 1) and (2, 3), the 8-bit lane of Bits24 is byte 2.
    const auto times = static_cast<uint32_t>(samples & 0xFFFF);
    const auto lane16 = [&](size_t low) {
        uint32_t lane = previous_[low] | static_cast<uint32_t>(previous_[low + 1]) << 8;
        lane += times * (value | static_cast<uint32_t>(value) << 8);
        previous_[low] = static_cast<uint8_t>(lane);
        previous_[low + 1] = static_cast<uint8_t>(lane >> 8);
    };
    const auto lane8 = [&](size_t at) {
        previous_[at] = static_cast<uint8_t>(previous_[at] + times * value);
    };
    switch (mode_) {
        case DeltaMode::Bits8:
            lane8(0);
            break;
        case DeltaMode::Bits16:
            lane16(0);
            break;
        case DeltaMode::Bits24:
            lane16(0);
            lane8(2);
            break;
        case DeltaMode::Bits32:
            lane16(0);
            lane16(2);
            break;
        default:
            break;
    }
}

void DeltaResume::Skip(uint8_t value, uint64_t count) {
    if (sample_ == 0) {
        position_ += count;
        return;
    }
    uint8_t byte = value;
    while (count > 0 && position_ % sample_ != 0) {
        byte = value;
        Step(&byte);
        --count;
    }
    if (position_ < fullEnd_) {
        const uint64_t whole = std::min<uint64_t>(count, fullEnd_ - position_) / sample_;
        AddRepeated(value, whole);
        position_ += whole * sample_;
        count -= whole * sample_;
    }
    while (count > 0) {
        byte = value;
        Step(&byte);
        --count;
    }
}

void DeltaResume::Decode(uint8_t* bytes, size_t length) {
    if (sample_ == 0) {
        position_ += length;
        return;
    }
    size_t i = 0;
    // Byte by byte up to the next sample boundary.
    while (i < length && position_ % sample_ != 0) Step(bytes + i++);
    // Whole samples by the filter itself, from the running values of the sample before.
    if (i < length && position_ < fullEnd_) {
        const uint64_t whole = std::min<uint64_t>(length - i, fullEnd_ - position_);
        const size_t run = static_cast<size_t>(whole / sample_ * sample_);
        if (run > 0) {
            DeltaState state;
            DeltaLoadRunning(mode_, previous_, state);
            DeltaDecode(mode_, bytes + i, run, state);
            std::memcpy(previous_, bytes + i + run - sample_, sample_);
            i += run;
            position_ += run;
        }
    }
    // The rest: a partial sample, or bytes past the last whole sample that stay as they are.
    while (i < length) Step(bytes + i++);
}

}  // namespace kavrin
