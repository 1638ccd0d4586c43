// SPDX-License-Identifier: MIT
// Running one prepared file of a `kvn` batch on a worker thread, through the job pipeline
// (jobs/JobPipeline.h): the engine's job, then for a done job the optional verification, the
// source's times and mode on the result, the commit under the final name, and the optional
// deletion of the source. Whatever happens, the source is closed and no temporary file is left
// behind. Also turns how the job ended into the item's report line and messages.
//
// Called on a batch worker thread that owns `engine`; it alone touches `item` meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

#include "cli/BatchItem.h"
#include "engine/Engine.h"

namespace kavrin::cli {

struct JobSettings {
    DeltaMode mode = DeltaMode::Auto;  // for compressions
    bool verify = false;               // decode each new archive and compare it with its source
    bool deleteSource = false;         // remove the source after a durable, verified result
    bool (*stillWanted)() = nullptr;   // false once the batch is interrupted
};

// Runs `item` and fills in item.outcome. `bytesDone` grows with the input the job has read, and
// by the item's whole walked size once it ends, for the batch's progress line.
void RunPreparedItem(BatchItem& item, EngineContext& engine, const JobSettings& settings,
                     std::atomic<uint64_t>& bytesDone);

}  // namespace kavrin::cli
