// Starting a decoder in the middle of a stream, exactly where a decoder that began at the start
// would be.
//
// libbz2 decodes a stream only from its start, and at the end checks the stream CRC against the
// combination of every block's CRC. To go on from a block in the middle, a fresh decoder first
// gets a lead: "BZh9" and one tiny block whose block CRC equals the stream CRC of the blocks
// before, so the decoder's combination goes on from there. The tiny block's few restored bytes
// are dropped. The lead's length in bits leaves the same offset within its last byte as the
// block it leads into, so the rest of the stream follows it byte for byte.
//
// Pure apart from the codec's memory; any thread, one `memory` per thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/ByteBuffer.h"
#include "engine/CodecMemory.h"

namespace kavrin {

struct DecoderLead {
    ByteBuffer bytes;          // the lead's bits, the last byte completed with zero bits
    uint64_t bits = 0;         // its length in bits: bits % 8 is the offset asked for
    size_t restoredBytes = 0;  // what the tiny block restores to, to be dropped
};

// Makes the lead for a stream whose blocks so far combine to `streamCrc` and whose next block
// starts `bitOffset` (0 to 7) bits into a byte. False when the codec cannot start or memory is
// short.
bool MakeDecoderLead(uint32_t streamCrc, unsigned bitOffset, CodecMemory& memory,
                     DecoderLead* lead);

}  // namespace kavrin
