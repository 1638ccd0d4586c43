// SPDX-License-Identifier: MIT
#include "engine/OutputSink.h"

#include <cerrno>
#include <new>

namespace kavrin {

bool MemorySink::Write(const uint8_t* bytes, size_t length) {
    if (length > limit_ - bytes_.size()) {
        errno = EFBIG;
        return false;
    }
    try {
        bytes_.append(reinterpret_cast<const char*>(bytes), length);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

}  // namespace kavrin
