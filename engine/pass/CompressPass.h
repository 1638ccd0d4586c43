// SPDX-License-Identifier: MIT
// A compression job's main pass: the filtered source, from the context's reader, to the bzip2
// payload in its writer (a stream at block size 9 without its 4-byte "BZh9" header).
//
// Threads: the job's thread; the parallel pass starts and ends its own workers.
#pragma once

#include "engine/pass/EngineContext.h"

namespace kavrin {

// The whole input as one stream on the job's thread, each block coded by a BlockEncoder as
// libbz2 would code it. Requires the first chunk
// loaded (Refill(true)). False only when the codec cannot start or fails (engine.error says
// why); a failed read or write ends the input early and shows in the reader and writer.
bool CompressStream(EngineContext& engine);

// CompressStream with one thread, the parallel pass (ParallelCompress.h) with more: the same
// payload either way, only the time differs.
bool CompressPass(EngineContext& engine);

}  // namespace kavrin
