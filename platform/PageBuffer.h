// SPDX-License-Identifier: MIT
// A buffer in pages of its own, mapped when it is made and given back to the system when it
// goes: what a long-lived cache of large, short-lived blocks needs so that its memory stays
// bounded by what it holds, whatever the allocator keeps for itself. No exceptions: a buffer that
// cannot be had is reported as false.
//
// One owner; movable, not copyable. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin::platform {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer() { Release(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;

    // Gives back what the buffer held and maps `size` bytes, zero-filled. False when the
    // system gives no memory (the buffer is then empty).
    bool Allocate(size_t size);
    void Release();

    uint8_t* data() { return bytes_; }
    const uint8_t* data() const { return bytes_; }
    size_t size() const { return size_; }

private:
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

// Gives the memory the allocator holds free (in every thread's heap) back to the system: for
// after a burst of large, short-lived allocations, so that they do not stay counted against
// the process.
void ReleaseFreeMemory();

}  // namespace kavrin::platform
