// SPDX-License-Identifier: MIT
// The compression pass on several threads, writing exactly the payload of the one-thread pass.
//
// The same payload, counters and progress steps as the one-thread pass, byte for byte; how the
// blocks are cut, compressed apart and joined is told in the .cpp.
//
// Memory stays bounded whatever the input: at most `threads + 2` blocks are in flight, and a
// block's input reaches its worker in 64 KiB pieces from a fixed pool, so a block of silence
// (a whole block of runs covers about 46 MB of input) streams through instead of being held.
//
// Threads: called on the job's thread, which alone calls the observer and writes the output.
// The workers it starts have all ended when it returns.
#pragma once

#include <optional>

#include "engine/pass/EngineContext.h"

namespace kavrin {

// Runs engine's compression pass with engine.threads threads. Same contract as CompressStream
// (CompressPass.h): the first chunk is loaded; the payload goes through the writer; false only
// when the codec cannot start (engine.error says why). After a stop, a failed read or a failed
// write the workers are stopped early and nothing more is written. Nothing (and nothing taken
// from the input) when not a single worker could be started.
std::optional<bool> CompressInParallel(EngineContext& engine);

}  // namespace kavrin
