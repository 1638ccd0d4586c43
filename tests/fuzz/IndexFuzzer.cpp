// SPDX-License-Identifier: MIT
// Fuzz target: a kept index file, which another program or a damaged disk may have written,
// is refused or accepted whole; an accepted one never points outside its archive's payload.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mount/ArchiveIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kavrin::ArchiveIndex index;
    if (!kavrin::DecodeIndex(std::string(reinterpret_cast<const char*>(data), size), &index)) {
        return 0;
    }
    const uint64_t payloadBits = 8 * (index.version.size - index.headerLength);
    for (size_t j = 0; j < index.spans.size(); ++j) {
        const kavrin::IndexedSpan& span = index.spans[j];
        if (span.endBit > payloadBits || index.SpanEnd(j) > index.sourceSize ||
            index.SpanAt(span.restoredOffset) != j) {
            abort();
        }
    }
    // Encoding what was read gives the same bytes back.
    if (kavrin::EncodeIndex(index) != std::string(reinterpret_cast<const char*>(data), size)) {
        abort();
    }
    return 0;
}
