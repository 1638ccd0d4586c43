// SPDX-License-Identifier: MIT
// One block's input turned into the one-block stream libbz2 writes for it at level 9.
//
// The caller feeds the input of one block, as BlockBoundaryScanner cuts it, in pieces of any
// size, then calls Finish. The encoder runs the run-length stage (runs of 4 to 255 equal bytes
// become the four bytes and a count) and the block CRC as the bytes come, and at Finish sorts
// the block's rotations, codes the sorted block with move-to-front and the zero-run code, and
// chooses the Huffman tables by libbz2's rules at level 9, so the stream is the same, bit for
// bit, as the library's (doc/block_encoder.md says why each step is exact).
//
// The sort is a suffix sort of the block turned to its least rotation, which orders the
// rotations only when they all differ. A block whose rotations do not all differ (a periodic
// block, such as silence) has several valid origin pointers, and the library's choice follows
// its own sort: such a block goes to libbz2 itself. The last such block and its stream are
// kept, so a repeat of it (silence again) costs a comparison.
//
// Memory: about 9 MB once the first block has been finished, kept for the next block.
// Threads: one thread at a time per encoder; encoders on different threads are independent.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/encode/CodecMemory.h"

namespace kavrin {

// Time spent in each stage, summed over the blocks an encoder has finished (for measurement).
struct EncoderStageTimes {
    std::chrono::nanoseconds runs{0};    // run-length stage and CRC, as input is fed
    std::chrono::nanoseconds sort{0};    // least rotation (and period), suffix sort
    std::chrono::nanoseconds mtf{0};     // last column, move-to-front, zero runs
    std::chrono::nanoseconds tables{0};  // tables, selectors and bits
    uint64_t sortedBlocks = 0;
};

class BlockEncoder {
public:
    BlockEncoder() = default;
    BlockEncoder(const BlockEncoder&) = delete;
    BlockEncoder& operator=(const BlockEncoder&) = delete;

    // Starts a new block, forgetting any input fed since the last Finish.
    void Begin();
    // Feeds the next `length` input bytes of the block. The block's run-length form must stay
    // within one block at level 9 (BlockBoundaryScanner's cuts guarantee that); more input makes
    // Finish fail.
    void Feed(const uint8_t* data, size_t length);
    // Writes the block fed since Begin as a one-block stream ("BZh9", the block, the end magic,
    // the combined CRC, padding) into `stream`, replacing its contents. False when the block
    // overflowed or memory ran out (then `stream` is empty). An empty block gives the empty
    // stream libbz2 writes. Begin is implied afterwards.
    bool Finish(std::vector<uint8_t>& stream);

    // The number of blocks given to libbz2 because they are periodic, and of those answered
    // from the remembered one without compressing again (for tests and measurement).
    uint64_t periodicBlocks() const { return periodicBlocks_; }
    uint64_t repeatedBlocks() const { return repeatedBlocks_; }
    const EncoderStageTimes& stageTimes() const { return times_; }

private:
    void FlushRun();
    bool EncodePeriodic(std::vector<uint8_t>& stream);

    std::vector<uint8_t> block_;  // the run-length stage's output
    size_t fill_ = 0;             // bytes of block_ in use
    bool overflow_ = false;
    uint32_t crc_ = 0xFFFFFFFFu;  // the running CRC register over the input (kCrcStart)
    uint32_t runByte_ = 256;      // the byte of the pending run; 256 before the first byte
    uint32_t runLength_ = 0;

    std::vector<uint8_t> rotated_;   // the block turned to its least rotation
    std::vector<int32_t> order_;     // suffix array
    std::vector<uint8_t> last_;      // the sorted block's last column, as symbol indices
    std::vector<uint16_t> symbols_;  // move-to-front and zero-run output

    std::vector<uint8_t> periodicBlock_;  // run-length form of the last periodic block
    std::vector<uint8_t> periodicStream_;
    CodecMemory memory_;
    uint64_t periodicBlocks_ = 0;
    uint64_t repeatedBlocks_ = 0;
    EncoderStageTimes times_;
};

// An encoder borrowed for one pass (or one worker of a pass) and given back when it goes, so
// its working memory serves the next file instead of being allocated, zeroed and faulted in
// again for every file of a batch and every filter of Auto's trial. It comes started (Begin).
// The pool keeps at most as many idle encoders as the machine has processors; thread-safe.
class PooledBlockEncoder {
public:
    PooledBlockEncoder();
    ~PooledBlockEncoder();
    PooledBlockEncoder(const PooledBlockEncoder&) = delete;
    PooledBlockEncoder& operator=(const PooledBlockEncoder&) = delete;

    BlockEncoder& operator*() { return *encoder_; }
    BlockEncoder* operator->() { return encoder_.get(); }

private:
    std::unique_ptr<BlockEncoder> encoder_;
};

}  // namespace kavrin
