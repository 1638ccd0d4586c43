// SPDX-License-Identifier: MIT
// Decoding an archive's payload on one thread, with the header's size as the rule.
//
// A payload is one bzip2 stream or several in a row: the first without its "BZh9" header,
// every later one starting on a byte boundary with its own "BZh1".."BZh9", as parallel bzip2
// tools write them. Decoding goes on with the next stream as long as the output is below the
// header's size; a payload whose output stops short of that size fails (SizeShort), and one
// that would restore more fails the moment its first extra byte would come out (SizeLong), so
// nothing is ever decoded only to be dropped. What follows the stream that reaches the size is
// never read as data.
//
// Blocks are decoded by the engine's own decoder (StreamDecoder.h), with the bzip2 library's
// verdicts: a block's bytes reach the writer only once its CRC is known to be right. A block
// whose CRC is wrong fails as the library fails on it: SizeLong when the bytes the library
// would have put out before its check go past the header's size, StreamDamaged otherwise.
//
// Output goes through the context's writer (delta filter, progress lamps, the stop check at
// every output chunk). The caller hands the input in pieces and counts what was taken: the
// bytes the library would have taken, whatever the pieces.
//
// Threads: the job's thread of the context, one decoder at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/decode/StreamDecoder.h"
#include "engine/pass/EngineContext.h"

namespace kavrin {

class PayloadDecoder {
public:
    explicit PayloadDecoder(EngineContext& engine);
    PayloadDecoder(const PayloadDecoder&) = delete;
    PayloadDecoder& operator=(const PayloadDecoder&) = delete;

    // Starts at the payload's start (its first stream's header left out, as archives store
    // it), or with `laterStream` at a further stream of the payload: if the input does not open
    // one, the payload restored too little (SizeShort).
    void Start(bool laterStream);
    // Starts inside the payload's first stream, at a block or end magic `bitOffset` (0 to 7)
    // bits into the first byte given, after blocks whose CRCs combine to `streamCrc`.
    void StartAt(unsigned bitOffset, uint32_t streamCrc);

    enum class Step {
        NeedInput,  // every byte given was taken; give more, or call EndOfInput
        Finished,   // the payload ended with the header's size and every CRC right
        Failed,     // engine.error says why, or the job stopped
    };
    // Decodes from `input`; `*taken` is how many of its bytes the payload used.
    Step Decode(const uint8_t* input, size_t length, size_t* taken);
    // No more input will come: the payload is cut short. Always Failed.
    Step EndOfInput();

    // Restores a sound block into the engine's writer, up to the header's size: false when
    // the job stops, or when the block holds more (SizeLong noted).
    static bool Restore(EngineContext& engine, const CompactBlock& block);

private:
    EngineContext& e_;
    StreamDecoder stream_;
    bool laterStream_ = false;    // the current stream is not the payload's first
    bool streamTouched_ = false;  // the current stream has been given input
};

}  // namespace kavrin
