// SPDX-License-Identifier: MIT
// Builds an archive's random-access index (ArchiveIndex.h), checking the archive as `kvn test`
// does: every block CRC, each stream's combined CRC, the header's mode byte, the restored size,
// which must come to the header's size exactly, and the payload's end, which must be where the
// stream that restores that size ends.
//
// Two ways, one result:
// - A pass of the parallel expansion engine, which tells the builder where each block lies and
//   what the restored file holds (PassRecorder.h). What the pass does not report (a stretch it
//   finished on one thread, streams after the first when it stops there) is found by walking
//   the payload from the last block reported.
// - The walk alone (PayloadWalker.h), which suits archives that restore little.
// Blocks and streams are gathered into spans as they are placed (SpanCollector.h), so the
// memory a build takes does not grow with the number of blocks or streams.
//
// A failure is a Status (engine/Status.h): Damage for what the archive holds (to remember),
// Machine for what the machine lacked (to try again), Stopped when the observer stopped it.
//
// Runs on the calling thread (the engine pass starts and ends its own workers). The observer is
// asked IsRunning at every chunk and block: false stops the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Status.h"
#include "mount/ArchiveIndex.h"
#include "mount/BlockDecode.h"
#include "mount/PayloadWalker.h"

namespace kavrin {

struct BuildPlan {
    uint32_t threads = 2;       // for the engine pass (at least 2 are used)
    bool walkOnly = false;      // the walk alone, no engine pass
    uint64_t keepRestored = 0;  // the file's first bytes to keep in IndexBuild::restoredStart
    DecoderSource* decoders = nullptr;  // for the walk; null: a decoder of its own
};

struct IndexBuild {
    bool ok = false;
    Status status;  // why it failed
    ArchiveIndex index;
    PassStats stats;            // the engine pass's
    uint32_t walkedBlocks = 0;  // blocks placed by the walk rather than reported by the pass
    std::vector<uint8_t> restoredStart;  // the file's first restored bytes, when asked for
};

// Builds the index of the archive at `path`, which must still be `version` when the build
// starts and when it ends. The first `plan.keepRestored` restored bytes are kept in
// restoredStart (checked like the rest), so that a caller can keep the spans they hold instead
// of decoding them again.
IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      const BuildPlan& plan, EngineObserver& observer);

}  // namespace kavrin
