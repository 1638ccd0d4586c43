// SPDX-License-Identifier: MIT
// The Auto trial: the filter that compresses the start of the file best is used for all of it.
// Threads: the job's thread.
#pragma once

#include "engine/pass/EngineContext.h"

namespace kavrin {

// Compresses the start of the source (kTrialLength bytes at most) with each of the five real
// modes and leaves the mode that gave the smallest output (ties to the wider mode) in
// engine.mode. Requires the source at position 0 and the counters at 0; leaves them so again,
// with the writer empty.
void RunAutoTrial(EngineContext& engine);

}  // namespace kavrin
