// SPDX-License-Identifier: MIT
// Where libbz2 ends each block of a stream, found without compressing anything.
//
// At block size 9, libbz2 first turns every run of 4 to 255 equal bytes into the four bytes
// and a count byte, and it ends a block once that stage has produced 899 981 bytes
// (100 000 x 9 - 19). The byte whose arrival fills the block is held back as a run of one and
// starts the next block. Replaying that stage over the input gives the exact input offset of
// every block start, so each block can be compressed as a stream of its own and the blocks
// joined into the stream one libbz2 stream would have made.
//
// This holds when the input is fed with BZ_RUN and the stream is finished with BZ_FINISH and
// no input, as the engine does. One scanner per pass; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

// Bytes of the run-length stage that fill a block at block size 9.
inline constexpr uint32_t kBlockFillLimit = 100000 * 9 - 19;

class BlockBoundaryScanner {
public:
    // Continues over the next `length` input bytes. Returns the offset of the first byte that
    // starts a new block, or `length` when none does. A byte that starts a block has already
    // been taken: the next call continues after it.
    size_t Scan(const uint8_t* data, size_t length);

private:
    uint32_t runByte_ = 256;  // the byte of the current run; 256 before the first byte
    uint32_t runLength_ = 0;
    uint32_t fill_ = 0;  // bytes the run-length stage has put into the current block
};

}  // namespace kavrin
