// SPDX-License-Identifier: MIT
// The expansion pass on several threads, restoring exactly what the one-thread pass restores.
//
// The same bytes, verdicts, counters (`consumed` ends where the one-thread decoder stops) and
// progress steps as the one-thread pass; bytes after the stream are never read as data. How it
// finds the blocks, and when it hands the rest to the one-thread decoder, is told in the .cpp.
//
// Memory stays bounded: at most `threads + 2` blocks in flight, each kept in its compact form
// (at most 900 KB, whatever it restores to: a block of runs restores up to about 46 MB) with
// the payload bytes it came from, a window of `threads + 3` MiB, and a decoder per worker.
//
// Threads: called on the job's thread, which alone calls the observer and writes the output.
// The workers it starts have all ended when it returns.
#pragma once

#include <optional>

#include "engine/pass/EngineContext.h"

namespace kavrin {

// Runs engine's expansion pass with engine.threads threads. Same contract as ExpandStream
// (ExpandPass.h): the first chunk is loaded; true only when the payload ended with the header's
// size and every CRC right. Nothing (and nothing taken from the input) when the pass's window
// or a single worker could not be had.
std::optional<bool> ExpandInParallel(EngineContext& engine);

}  // namespace kavrin
