// Builds an archive's random-access index (ArchiveIndex.h) in one pass of the parallel
// expansion engine: the pass checks every block CRC, each stream's combined CRC and the
// restored size as `kvn test` does, and tells the builder where each block lies and what the
// restored file holds (engine/ExpansionListener.h).
//
// What the parallel pass does not report (a stretch it finished on one thread, streams after
// the first when it stops there) is found by walking the payload block by block on the calling
// thread from the last block reported: each block is decoded on its own, checked against its
// CRC and placed, each stream's combined CRC is checked, and the restored size must come to
// the header's size exactly. Anything the engine or the walk refuses fails the build, with the
// reason.
//
// Runs on the calling thread (the pass starts and ends its own workers). The observer is asked
// IsRunning at every chunk and block: false stops the build, which then fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/CodecStream.h"
#include "mount/ArchiveIndex.h"

namespace kavrin {

struct IndexBuild {
    bool ok = false;
    std::string why;  // what failed, for a message
    ArchiveIndex index;
    PassStats stats;            // the engine pass's
    uint32_t walkedBlocks = 0;  // blocks placed by the walk rather than reported by the pass
    std::vector<uint8_t> restoredStart;  // the file's first restored bytes, when asked for
};

// Builds the index of the archive at `path`, which must still be `version` when the build
// starts and when it ends. `threads` (at least 2 are used) for the engine pass. The first
// `keepRestored` restored bytes are kept in restoredStart (checked like the rest), so that a
// caller can keep the blocks they hold instead of decoding them again.
IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      uint32_t threads, EngineObserver& observer, uint64_t keepRestored = 0);

}  // namespace kavrin
