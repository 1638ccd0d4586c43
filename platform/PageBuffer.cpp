// SPDX-License-Identifier: MIT
#include "platform/PageBuffer.h"

#include <malloc.h>
#include <sys/mman.h>

#include <utility>

namespace kavrin::platform {

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

bool PageBuffer::Allocate(size_t size) {
    Release();
    if (size == 0) return true;
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return false;
    bytes_ = static_cast<uint8_t*>(mapped);
    size_ = size;
    return true;
}

void PageBuffer::Release() {
    if (bytes_ != nullptr) munmap(bytes_, size_);
    bytes_ = nullptr;
    size_ = 0;
}

void ReleaseFreeMemory() {
    malloc_trim(0);
}

}  // namespace kavrin::platform
