// SPDX-License-Identifier: MIT
// What an expansion pass can tell a caller that wants to find its way around the payload
// afterwards (the random-access index of `kvn mount`): where each block lies and what the
// restored file holds, as the pass goes.
//
// Set EngineContext::listener before a job; null (the default) costs nothing. Called on the
// job's thread only, in order. OnBlock is called by the parallel pass for every block it
// accepts, before that block's output reaches the writer; a stream or part of one that the
// pass finishes on one thread (its fall-back) reports no blocks. OnRestored sees every
// restored chunk after the delta filter, in file order, before it is written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

inline constexpr uint64_t kUnknownBlockOutput = ~0ull;

class ExpansionListener {
public:
    virtual ~ExpansionListener() = default;
    // A block of the payload's bits [startBit, endBit) (endBit: where the next block or end
    // magic begins), whose output starts at `restoredOffset` of the restored file and is
    // `outputLength` bytes long (kUnknownBlockOutput when it is not known).
    virtual void OnBlock(uint64_t startBit, uint64_t endBit, uint64_t restoredOffset,
                         uint64_t outputLength) = 0;
    // The next `length` restored bytes.
    virtual void OnRestored(const uint8_t* bytes, size_t length) = 0;
};

}  // namespace kavrin
