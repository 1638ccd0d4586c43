// Decoding an archive's payload on one thread, with the header's size as the rule.
//
// A payload is one bzip2 stream or several in a row: the first without its "BZh9" header,
// every later one starting on a byte boundary with its own "BZh1".."BZh9", as parallel bzip2
// tools write them. Decoding goes on with the next stream as long as the output is below the
// header's size; a payload whose output stops short of that size fails (SizeShort), and one
// that would restore more fails the moment its first extra byte comes out (SizeLong), so
// nothing is ever decoded only to be dropped. What follows the stream that reaches the size is
// never read as data.
//
// Output goes through the context's writer (delta filter, progress lamps, the stop check at
// every output chunk). The caller hands the input in pieces and counts what was taken.
//
// Threads: the job's thread of the context, one decoder at a time.
#pragma once

#include <bzlib.h>

#include <cstddef>
#include <cstdint>

#include "engine/CodecMemory.h"
#include "engine/CodecStream.h"

namespace kavrin {

class PayloadDecoder {
public:
    // `memory` (may be null for the library's own allocator) must outlive the decoder.
    PayloadDecoder(EngineContext& engine, CodecMemory* memory);
    ~PayloadDecoder();
    PayloadDecoder(const PayloadDecoder&) = delete;
    PayloadDecoder& operator=(const PayloadDecoder&) = delete;

    // Starts a decoder. `skip` restored bytes are dropped first (a lead block's own output).
    // With `laterStream`, the input is expected to open a further stream of the payload: if it
    // does not, the payload restored too little (SizeShort). False when the codec cannot start.
    bool Start(size_t skip, bool laterStream);

    enum class Step {
        NeedInput,  // every byte given was taken; give more, or call EndOfInput
        Finished,   // the payload ended with the header's size and every CRC right
        Failed,     // engine.error says why, or the job stopped
    };
    // Decodes from `input`; `*taken` is how many of its bytes the codec took.
    Step Decode(const uint8_t* input, size_t length, size_t* taken);
    // No more input will come: the payload is cut short. Always Failed.
    Step EndOfInput();

private:
    bool Restart();
    // The stream ended below the header's size: the next stream must follow.
    Step StreamEnded();

    EngineContext& e_;
    CodecMemory* memory_;
    bz_stream stream_{};
    bool active_ = false;
    size_t skip_ = 0;
    bool laterStream_ = false;    // the current stream is not the payload's first
    bool streamTouched_ = false;  // the current stream has taken input
};

}  // namespace kavrin
