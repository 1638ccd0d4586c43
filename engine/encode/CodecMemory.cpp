// SPDX-License-Identifier: MIT
#include "engine/encode/CodecMemory.h"

#include <cstdlib>

namespace kavrin {

CodecMemory::~CodecMemory() {
    for (Slot& slot : slots_) std::free(slot.block);
}

void CodecMemory::Attach(bz_stream& stream) {
    stream.bzalloc = &CodecMemory::Allocate;
    stream.bzfree = &CodecMemory::Release;
    stream.opaque = this;
}

void* CodecMemory::Allocate(void* opaque, int items, int size) {
    auto* memory = static_cast<CodecMemory*>(opaque);
    if (items < 0 || size < 0) return nullptr;
    const size_t bytes = static_cast<size_t>(items) * static_cast<size_t>(size);
    for (Slot& slot : memory->slots_) {
        if (!slot.inUse && slot.block != nullptr && slot.size == bytes) {
            slot.inUse = true;
            return slot.block;
        }
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    for (Slot& slot : memory->slots_) {
        if (slot.block == nullptr) {
            slot = Slot{block, bytes, true};
            return block;
        }
    }
    // Every slot holds a block of another size: replace an idle one, or hand out an untracked
    // block that Release() frees at once.
    for (Slot& slot : memory->slots_) {
        if (!slot.inUse) {
            std::free(slot.block);
            slot = Slot{block, bytes, true};
            return block;
        }
    }
    return block;
}

void CodecMemory::Release(void* opaque, void* block) {
    auto* memory = static_cast<CodecMemory*>(opaque);
    for (Slot& slot : memory->slots_) {
        if (slot.block == block) {
            slot.inUse = false;
            return;
        }
    }
    std::free(block);
}

}  // namespace kavrin
