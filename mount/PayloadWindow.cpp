// SPDX-License-Identifier: MIT
#include "mount/PayloadWindow.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/codec/StreamBits.h"

namespace kavrin {
namespace {

// The window is loaded again once less than this is left ahead of a block (a level-9 block
// takes at most about 1 MB).
constexpr uint64_t kAhead = kWalkWindow / 2;

}  // namespace

bool PayloadWindow::Load(uint64_t bit) {
    base_ = bit / 8;
    const uint64_t want = std::min<uint64_t>(kWalkWindow, payloadBytes_ - base_);
    bytes_.Clear();
    if (!bytes_.Reserve(want + 8)) {
        errno = ENOMEM;
        return false;
    }
    const int64_t got = platform::ReadAt(file_, bytes_.data(), want, payloadStart_ + base_);
    if (got != static_cast<int64_t>(want)) {
        if (got >= 0) errno = EIO;
        return false;
    }
    bytes_.Commit(want);
    return true;
}

bool PayloadWindow::Cover(uint64_t bit) {
    const uint64_t end = base_ + bytes_.size();
    if (bytes_.size() > 0 && bit / 8 >= base_ &&
        (end == payloadBytes_ || (bit / 8 < end && end - bit / 8 >= kAhead))) {
        return true;
    }
    return Load(bit);
}

uint64_t PayloadWindow::Bits(uint64_t bit, unsigned count) const {
    return ReadBits(bytes_.data(), bit - 8 * base_, count);
}

bool PayloadWindow::ReadFour(uint64_t at, uint8_t four[4]) const {
    if (at + 4 > payloadBytes_) return false;
    if (at >= base_ && at + 4 <= base_ + bytes_.size()) {
        std::memcpy(four, bytes_.data() + (at - base_), 4);
        return true;
    }
    return platform::ReadAt(file_, four, 4, payloadStart_ + at) == 4;
}

}  // namespace kavrin
