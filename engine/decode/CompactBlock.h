// SPDX-License-Identifier: MIT
// One bzip2 block decoded to its compact form: the engine's block decoder, for its passes and
// for kvn mount's block reads.
//
// The compact form is a block's bytes after the inverse transform (randomisation of old bzip2
// versions undone), before the final run-length stage: at most 900 000 bytes, however much the
// block restores to (a block of silence restores 46 MB). Kept that way, a block costs its
// compact size, and any range of its restored bytes comes out with work in proportion to that
// range plus the distance from the nearest checkpoint.
//
// Contract:
// - CompactBlockDecoder::Decode takes a block's bits, from its 48-bit block magic, and runs
//   every stage but the last: the header, the Huffman-coded symbols, move-to-front and the
//   inverse transform. It checks every rule the bzip2 library checks (BlockSymbols.h) and the
//   block CRC, which it takes from the compact form without restoring the bytes (BlockRuns.h).
//   Ok means the block restores exactly `restoredLength` bytes whose CRC is the stored one:
//   any range of them may then be handed out without restoring the rest. `endBit` tells where
//   the block's bits end; a caller that knows where the next magic starts compares the two
//   (a block that ends elsewhere is not the block it was looking for).
// - Any range of a sound block's bytes comes out of its compact form through BlockRuns.h
//   (SeekRuns, then ExpandRuns): a fresh RunCursor{} stands at the block's start. A cursor
//   belongs to the block it was made on; it is a plain value (copy it, keep it).
// - Blocks that are not Ok are never expanded. BadCrc blocks still carry `restoredLength`: what
//   the library would restore before it reports the damage (the engine uses it to give the
//   library's verdict, a payload longer than its header, where that comes first).
//
// Memory: a decoder holds 4 bytes per block byte (3.6 MB at level 9) and small tables, reused
// from block to block; a CompactBlock holds its compact bytes. Threads: one decoder per thread;
// a decoded CompactBlock may be read (expanded) from any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/codec/ByteBuffer.h"
#include "engine/decode/BlockRuns.h"
#include "engine/decode/BlockSymbols.h"
#include "engine/decode/BlockTransform.h"

namespace kavrin {

struct CompactBlock {
    ByteBuffer bytes;             // the compact form (and the library's follower byte after it)
    uint32_t length = 0;          // compact bytes, 1 to 900 000
    uint32_t storedCrc = 0;       // the block CRC from the block's header
    uint64_t restoredLength = 0;  // what the block restores to
    uint64_t endBit = 0;  // the bit after the block's last one (where the next magic starts)

    const uint8_t* compact() const { return bytes.data(); }
};

enum class BlockVerdict {
    Ok,         // decoded; every rule and the CRC hold
    BadCrc,     // decoded, but its CRC is wrong, or it ends in a run's head (damaged)
    Damaged,    // a rule of the format is broken (or the bits hold the end magic): nothing kept
    Truncated,  // the bits end inside the block
    NoMemory,   // the decoder's memory could not be had
};

class CompactBlockDecoder {
public:
    CompactBlockDecoder();
    CompactBlockDecoder(const CompactBlockDecoder&) = delete;
    CompactBlockDecoder& operator=(const CompactBlockDecoder&) = delete;

    // Decodes the block whose magic starts at bit `startBit` of `data` from the bits below
    // `endBit` (bytes from startBit / 8 below (endBit + 7) / 8 are read), for a stream of block
    // size `level` (9 for Kavrin's payloads). block->endBit is in the same numbering as
    // startBit. Ok, BadCrc: block is filled; otherwise its content is unspecified.
    BlockVerdict Decode(const uint8_t* data, uint64_t startBit, uint64_t endBit,
                        CompactBlock* block, uint32_t level = 9);

    // For a stream read in pieces (the engine's one-thread pass): the symbol reader whose
    // BlockReady Finish completes into `block` (endBit is left to the caller).
    BlockSymbolReader& reader() { return reader_; }
    BlockVerdict Finish(CompactBlock* block);

private:
    bool Reserve();

    BlockSymbolReader reader_;
    InverseTransform transform_;
};

}  // namespace kavrin
