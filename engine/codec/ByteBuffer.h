// SPDX-License-Identifier: MIT
// A growable run of bytes that reports a failed allocation as false instead of throwing.
// The parallel passes keep their block buffers in these and reuse them from block to block.
// One owner at a time; no locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace kavrin {

class ByteBuffer {
public:
    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    size_t room() const { return capacity_ - size_; }

    // Makes room for at least `capacity` bytes, keeping the content. False when memory is short.
    bool Reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[capacity]);
        if (!bigger) return false;
        if (size_ > 0) std::memcpy(bigger.get(), bytes_.get(), size_);
        bytes_ = std::move(bigger);
        capacity_ = capacity;
        return true;
    }
    // Doubles the capacity (or makes it `atLeast`, whichever is more).
    bool Grow(size_t atLeast) { return Reserve(capacity_ * 2 > atLeast ? capacity_ * 2 : atLeast); }
    // Counts `length` more bytes written at data() + size(); requires room() >= length.
    void Commit(size_t length) { size_ += length; }
    bool Append(const void* bytes, size_t length) {
        if (length == 0) return true;  // `bytes` may then be null, which memcpy never takes
        if (room() < length && !Grow(size_ + length)) return false;
        std::memcpy(bytes_.get() + size_, bytes, length);
        size_ += length;
        return true;
    }
    // Drops the first `count` bytes, moving the rest to the front.
    void DropFront(size_t count) {
        if (count >= size_) {
            size_ = 0;
            return;
        }
        std::memmove(bytes_.get(), bytes_.get() + count, size_ - count);
        size_ -= count;
    }
    void Clear() { size_ = 0; }
    // Gives the memory back.
    void Release() {
        bytes_.reset();
        size_ = capacity_ = 0;
    }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kavrin
