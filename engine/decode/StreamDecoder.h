// SPDX-License-Identifier: MIT
// One bzip2 stream decoded block by block from input given in pieces of any size: the engine's
// own decoder in place of the bzip2 library's, with the library's verdicts.
//
// Each block comes out in its compact form (CompactBlock.h), CRC checked, for the caller to
// restore into its output; the stream CRC is checked at the end marker. The decoder reads
// exactly the bits the library reads and counts the bytes it uses as the library counts the
// bytes it takes (every byte that holds a bit it needed), so a caller learns where a stream
// ended, or where it broke, to the byte: the same answer whatever the pieces were.
//
// The input is read where it lies: only the few bytes a piece ends with that the next step
// still needs are kept, joined to the head of the next piece.
//
// Memory: a block decoder (CompactBlock.h) and the block. Threads: one decoder per thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/codec/ByteBuffer.h"
#include "engine/decode/CompactBlock.h"

namespace kavrin {

class StreamDecoder {
public:
    StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Starts a stream that opens with its header "BZh1".."BZh9".
    void StartStream();
    // Starts in the middle of a level-9 stream, at a block or end magic `bitOffset` (0 to 7)
    // bits into the first byte given, after blocks whose CRCs combine to `streamCrc`.
    void StartAt(unsigned bitOffset, uint32_t streamCrc);

    // Hands over the next `length` bytes of input, all of them taken. They must stay as they
    // are until Next() says NeedInput (the decoder keeps what it still needs of them then) or
    // the stream stops. False when memory is short (nothing taken).
    bool Give(const uint8_t* bytes, size_t length);

    enum class Event {
        NeedInput,  // every byte given is used up: give more (or the stream is cut short)
        Block,      // block() holds the next block, CRC right; its CRC is in streamCrc()
        End,        // the end marker came and the stream CRC is right
        BadHeader,  // the input does not open with "BZh1".."BZh9"
        Damaged,    // a broken rule, or the stream CRC is wrong
        BadCrc,     // block() holds a decoded block whose CRC is wrong (its restoredLength is
                    // what the library would restore before it notices)
        NoMemory,
    };
    // Decodes the next block (or the end) from the input given so far.
    Event Next();

    CompactBlock& block() { return block_; }
    // The stream CRC of the blocks delivered so far.
    uint32_t streamCrc() const { return streamCrc_; }
    // The bytes of input the stream has used, counted from the first byte given: after End,
    // its length; after Damaged, BadHeader or BadCrc, the bytes holding the bits the library
    // had read when it found the fault; otherwise all given so far.
    uint64_t bytesUsed() const;

private:
    // Bytes of a new piece read through the join, after what the last piece left.
    static constexpr size_t kJoinHead = 256;

    CompactBlockDecoder decoder_;
    CompactBlock block_;
    const uint8_t* piece_ = nullptr;  // the input given last
    size_t pieceLength_ = 0;
    uint64_t pieceStart_ = 0;  // stream byte of piece_[0]
    ByteBuffer join_;          // the bytes left of earlier pieces, then the head of piece_
    size_t left_ = 0;          // of them, the bytes left of earlier pieces
    bool inJoin_ = false;      // reading join_ rather than piece_
    uint64_t viewStart_ = 0;   // stream byte of the first byte read now
    uint64_t bit_ = 0;         // the next bit to read, counted from that byte
    uint64_t given_ = 0;       // bytes given in all
    uint64_t stopBit_ = 0;     // after End or a fault: the bit the stream stopped at
    bool stopped_ = false;
    uint32_t streamCrc_ = 0;
};

}  // namespace kavrin
