// SPDX-License-Identifier: MIT
// A window of an archive's payload read from its file, moved along as a reader goes through
// the payload bit by bit: the index build's walk and the sequential reader share it. It holds
// at most kWalkWindow bytes. One thread at a time.
#pragma once

#include <cstdint>

#include "engine/codec/ByteBuffer.h"
#include "platform/SharedFile.h"

namespace kavrin {

// The payload bytes a window holds at once, at most.
inline constexpr uint64_t kWalkWindow = 2 << 20;

class PayloadWindow {
public:
    // The payload starts at byte `payloadStart` of `file` and holds `payloadBytes`.
    PayloadWindow(platform::FileHandle file, uint64_t payloadStart, uint64_t payloadBytes)
        : file_(file), payloadStart_(payloadStart), payloadBytes_(payloadBytes) {}

    // Makes the window start at the byte of `bit`. False with errno when it cannot be read
    // (EIO for a file shorter than its payload).
    bool Load(uint64_t bit);
    // Keeps a block starting at `bit` inside the window with room for its end after it.
    bool Cover(uint64_t bit);
    bool Holds(uint64_t bit, uint64_t bits) const { return bit + bits <= EndBit(); }
    uint64_t Bits(uint64_t bit, unsigned count) const;
    // The window's bytes from the byte of `bit`, which it holds, up to payload bit EndBit().
    const uint8_t* From(uint64_t bit) const { return bytes_.data() + (bit / 8 - base_); }
    uint64_t EndBit() const { return 8 * (base_ + bytes_.size()); }
    // Whether loading from `bit` would give what starts there more room: the window starts
    // before its byte and ends before the payload does.
    bool CanWiden(uint64_t bit) const {
        return base_ != bit / 8 && base_ + bytes_.size() < payloadBytes_;
    }
    // The 4 payload bytes at byte `at`, from the window or else the file. False when they lie
    // past the payload or cannot be read.
    bool ReadFour(uint64_t at, uint8_t four[4]) const;

private:
    platform::FileHandle file_;
    uint64_t payloadStart_;
    uint64_t payloadBytes_;
    ByteBuffer bytes_;
    uint64_t base_ = 0;  // payload byte of bytes_[0]
};

}  // namespace kavrin
