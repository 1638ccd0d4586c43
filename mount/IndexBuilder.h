// SPDX-License-Identifier: MIT
// Builds an archive's random-access index (ArchiveIndex.h), checking the archive as `kvn test`
// does: every block CRC, each stream's combined CRC, the header's mode byte and the restored
// size, which must come to the header's size exactly.
//
// Two ways, one result:
// - A pass of the parallel expansion engine, which tells the builder where each block lies and
//   what the restored file holds (engine/ExpansionListener.h). What the pass does not report (a
//   stretch it finished on one thread, streams after the first when it stops there) is found by
//   walking the payload from the last block reported.
// - The walk alone: block by block on the calling thread, each block decoded on its own and
//   placed, each stream's CRC checked. It needs a decoder only while it decodes a block and a
//   window of the payload, so it suits archives that restore little, whatever they hold.
// Blocks and streams are gathered into spans as they are placed, so the memory a build takes
// does not grow with the number of blocks or streams.
//
// A failure says whether it is damage in the archive (to remember) or something the machine
// lacked (descriptors, memory, a read that failed: to try again), with its errno.
//
// Runs on the calling thread (the engine pass starts and ends its own workers). The observer is
// asked IsRunning at every chunk and block: false stops the build, which then fails "stopped".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "mount/ArchiveIndex.h"
#include "mount/BlockDecode.h"

namespace kavrin {

// Where a walk gets a decoder for each block it decodes, and gives it back.
class DecoderSource {
public:
    virtual ~DecoderSource() = default;
    virtual BlockDecoder* Take() = 0;
    virtual void Give(BlockDecoder* decoder) = 0;
};

struct BuildPlan {
    uint32_t threads = 2;       // for the engine pass (at least 2 are used)
    bool walkOnly = false;      // the walk alone, no engine pass
    uint64_t keepRestored = 0;  // the file's first bytes to keep in IndexBuild::restoredStart
    DecoderSource* decoders = nullptr;  // for the walk; null: a decoder of its own
};

struct IndexBuild {
    bool ok = false;
    bool stopped = false;  // the observer stopped it: nothing to remember
    int systemError = 0;   // nonzero: the machine failed (errno), not the archive
    std::string why;       // what failed, for a message
    ArchiveIndex index;
    PassStats stats;            // the engine pass's
    uint32_t walkedBlocks = 0;  // blocks placed by the walk rather than reported by the pass
    std::vector<uint8_t> restoredStart;  // the file's first restored bytes, when asked for
};

// The payload bytes a walk holds at once, at most.
inline constexpr uint64_t kWalkWindow = 2 << 20;

// Builds the index of the archive at `path`, which must still be `version` when the build
// starts and when it ends. The first `plan.keepRestored` restored bytes are kept in
// restoredStart (checked like the rest), so that a caller can keep the spans they hold instead
// of decoding them again.
IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      const BuildPlan& plan, EngineObserver& observer);

}  // namespace kavrin
