// SPDX-License-Identifier: MIT
// The inverse of bzip2's block-sorting transform: the sorted column of a block back to the
// block's bytes in their order, as the bzip2 library restores them.
//
// Any column and origin decode as the library decodes them: where the pointers do not form one
// cycle through the whole block (a crafted block), the library's walk goes round the origin's
// cycle again and again; the pieces reached from the origin are that cycle, repeated here.
//
// One InverseTransform per thread; it keeps its table from block to block.
#pragma once

#include <cstdint>

#include "engine/decode/BlockSymbols.h"

namespace kavrin {

struct PieceBook;

class InverseTransform {
public:
    InverseTransform();
    ~InverseTransform();
    InverseTransform(const InverseTransform&) = delete;
    InverseTransform& operator=(const InverseTransform&) = delete;

    // Makes room for blocks of up to `maxLength` bytes. False when memory is short.
    bool Reserve(uint32_t maxLength);

    // Replaces the `length` (1 to the reserved size) sorted bytes of `column` (with room for
    // length + kColumnSlack) by the block's bytes in order, the randomisation of old bzip2 versions
    // undone when `randomised`. column[length] receives the byte the library's chain reaches
    // after the last one (a block may not end inside a run's head; that byte is what the
    // library reads there). `counts` gives how often each byte value occurs in the column and
    // `origin` (below `length`) is the block's origin pointer.
    void Restore(uint8_t* column, uint32_t length, const uint32_t counts[256], uint32_t origin,
                 bool randomised);

    // Whether the last Restore found the pointers in one cycle.
    bool lastWasOneCycle() const { return oneCycle_; }

private:
    uint8_t* entries_ = nullptr;
    PieceBook* book_ = nullptr;
    uint32_t capacity_ = 0;
    bool oneCycle_ = true;
};

// Undoes the randomisation old bzip2 versions applied: flips the lowest bit of the bytes at the
// places the format's table gives, counting from the block's first byte, for `length` bytes.
void Derandomise(uint8_t* bytes, uint32_t length);

}  // namespace kavrin
