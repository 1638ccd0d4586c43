// SPDX-License-Identifier: MIT
#include "engine/encode/BlockBoundary.h"

namespace kavrin {

size_t BlockBoundaryScanner::Scan(const uint8_t* data, size_t length) {
    uint32_t runByte = runByte_;
    uint32_t runLength = runLength_;
    uint32_t fill = fill_;
    size_t i = 0;
    for (; i < length; ++i) {
        const uint32_t byte = data[i];
        if (byte != runByte) {
            // The run before this byte goes into the block: one to three bytes as they are,
            // four or more as four bytes and a count.
            fill += runLength >= 4 ? 5 : runLength;
            runByte = byte;
            runLength = 1;
        } else if (runLength == 255) {
            fill += 5;  // a full run is written out and this byte starts the next run
            runLength = 1;
        } else {
            ++runLength;
            continue;
        }
        if (fill >= kBlockFillLimit) {
            fill = 0;
            break;
        }
    }
    runByte_ = runByte;
    runLength_ = runLength;
    fill_ = fill;
    return i;
}

}  // namespace kavrin
