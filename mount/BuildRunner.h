// SPDX-License-Identifier: MIT
// Getting an archive version's index: from the index table, from the index folder (used only
// when the archive's header agrees with it), or built (IndexBuilder.h), and built again once
// when a span fails through a kept index.
//
// Scheduling: an archive that restores little is walked at once on the opener's thread; a larger
// one gets the engine's parallel pass when no other pass runs and its working memory fits the
// cache's bound, and is walked otherwise, so no open waits for another archive's build (only,
// when memory is short, for room). Opens of an archive being indexed wait for its build; a
// build that no opener waits for any more (each was interrupted) stops, and the next open
// builds it again.
//
// Any thread. Holds no lock of its own (one engine pass at a time is an atomic flag); takes
// the table's, the states', the cache's and the log's mutexes through them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/EngineObserver.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/DecoderPool.h"
#include "mount/FaultLog.h"
#include "mount/IndexBuilder.h"
#include "mount/IndexStore.h"
#include "mount/IndexTable.h"
#include "mount/OpenArchive.h"
#include "mount/SpanReader.h"

namespace kavrin {

struct BuildRooms {
    IndexStore& store;
    IndexTable& table;
    SpanCache& cache;
    DecoderPool& decoders;
    SpanReader& reader;
    FaultLog& log;
    const std::atomic<bool>& stopping;  // the library stops: builds end, none starts
};

class BuildRunner {
public:
    BuildRunner(BuildRooms rooms, uint32_t threads) : rooms_(rooms), threads_(threads) {}

    struct Outcome {
        std::shared_ptr<ArchiveState> state;  // null when there is no index
        Status failure;                       // why not
    };
    // The state of `version` (of the archive at `path`, whose header is `header`) with its
    // index, loaded or built now (`*built`, when not null), or its build waited for. `wanted`
    // (may be empty) and `observer` (may be null) are asked now and then whether the caller
    // still waits.
    Outcome IndexFor(const std::string& path, const platform::FileVersion& version,
                     const ArchiveHeader& header, EngineObserver* observer,
                     const std::function<bool()>& wanted, bool* built);
    // Builds the index of `archive` again after a span failed through `failed`, once per
    // version and only for an index from the folder. True when there is a new index to read with.
    bool RebuildOnce(OpenArchive& archive, const std::shared_ptr<const ArchiveIndex>& failed);

private:
    Outcome IndexOnce(const std::string& path, const platform::FileVersion& version,
                      const ArchiveHeader& header, EngineObserver* observer,
                      const std::function<bool()>& wanted, bool* built);
    // Waits for another open's build of `state`.
    Outcome Await(const std::shared_ptr<ArchiveState>& state, const std::function<bool()>& wanted);
    // Builds `state`'s index anew (from the folder first unless `rebuild`) and installs it, or
    // fails the state.
    void Build(const std::string& path, const platform::FileVersion& version,
               const ArchiveHeader& header, ArchiveState& state, EngineObserver* observer,
               const std::function<bool()>& wanted, bool rebuild, bool* built);
    // Installs the folder's index of `version` when the header agrees with it.
    bool UseKept(const platform::FileVersion& version, const ArchiveHeader& header,
                 ArchiveState& state);
    // How to build: the walk, or the engine's pass (then the pass is taken); `*working` is the
    // build's working memory.
    BuildPlan Plan(const platform::FileVersion& version, const ArchiveHeader& header,
                   uint64_t* working);
    // Installs a build's index, keeps the spans it restored and saves it in the folder.
    void Adopt(const platform::FileVersion& version, ArchiveState& state, IndexBuild& build);

    BuildRooms rooms_;
    const uint32_t threads_;
    std::atomic<bool> engineBusy_{false};  // one engine pass at a time; other builds walk
};

}  // namespace kavrin
