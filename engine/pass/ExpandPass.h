// SPDX-License-Identifier: MIT
// An expansion job's main pass: the payload, from the context's reader, restored into its
// writer (the delta filter undone there), checked against the header's size (PayloadDecoder.h).
//
// Threads: the job's thread; the parallel pass starts and ends its own workers.
#pragma once

#include "engine/pass/EngineContext.h"

namespace kavrin {

// The whole payload through the engine's decoder on the job's thread. Requires the first chunk
// loaded. True only when the payload ended with the header's size and every CRC right.
bool ExpandStream(EngineContext& engine);

// ExpandStream with one thread, the parallel pass (ParallelExpand.h) with more: the same bytes
// and verdicts either way, only the time differs.
bool ExpandPass(EngineContext& engine);

}  // namespace kavrin
