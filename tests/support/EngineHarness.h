// SPDX-License-Identifier: MIT
// Runs the engine's job procedures on bytes, through real files in a temporary folder.
#pragma once

#include <initializer_list>
#include <string>

#include "engine/Engine.h"
#include "tests/support/TestSupport.h"

namespace kavrin::test {

struct JobRun {
    JobOutcome outcome;
    uint64_t consumed = 0;
    uint64_t produced = 0;
    EngineError error = EngineError::None;
    PassStats stats;
    std::string output;  // what the destination holds afterwards
};

// Compresses `source` with `mode` and the type text `typeText`.
JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText,
                EngineObserver& observer);
JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText = "raw");

JobRun Expand(const std::string& archive, EngineObserver& observer);
JobRun Expand(const std::string& archive);

// The same with a given thread count (the plain forms use the context's default).
JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode,
                  EngineObserver& observer);
JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode);
JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode,
                  const std::string& typeText);
JobRun ExpandOn(uint32_t threads, const std::string& archive, EngineObserver& observer);
JobRun ExpandOn(uint32_t threads, const std::string& archive);

// The archive's payload: everything after its header.
std::string PayloadOf(const std::string& archive);

// The source as the compressor sees it: delta-filtered chunk by chunk with `mode`.
std::string Filtered(const std::string& source, DeltaMode mode);

// What the bzip2 program writes for `data` with `flags` (for example -9 -c).
std::string Bzip2(const std::string& data, const std::vector<std::string>& flags);

// Sound-like PCM samples (tools/SampleSound.h).
std::string Sound(uint32_t channels, uint32_t bits, double seconds, uint32_t seed = 1);
// `length` bytes in which no byte equals the one before: each puts exactly one byte into
// bzip2's run-length stage. All are 0x80 or above, so a run of any lower byte stands apart.
std::string RunFree(size_t length, uint32_t seed);

// The observer's events without the lamps: what a pass must show whatever its thread count.
std::vector<std::string> ProgressEvents(const RecordingObserver& observer);

// Compresses `source` with one thread and with each of `threadCounts`, and expects the same
// archive, counters and progress from all; with `checkBzip2`, also that the one-thread payload
// is what the bzip2 program makes of the filtered source.
void ExpectSamePayload(const std::string& source, DeltaMode mode,
                       std::initializer_list<uint32_t> threadCounts, bool checkBzip2);

// The threads this process has now.
int ThreadsInProcess();
// The same, once any helper thread a sanitizer starts with the first thread has started: the
// count to compare with after a job.
int ThreadsAtRest();
// The threads this process has after a job, compared with `atRest`: a thread that has been
// joined leaves the kernel's list a moment after the join returns, so while the count is above
// `atRest` it is taken again, for a bounded while. A thread still running stays counted.
int ThreadsAfterJob(int atRest);

// A job stopped after `stopAfter` IsRunning calls, with the destination's size at that moment,
// so a test can tell whether anything was written after the stop.
struct StoppedRun {
    JobOutcome outcome;
    std::string output;
    long long sizeAtStop = -1;
};
StoppedRun RunStopped(bool expand, const std::string& input, int stopAfter, uint32_t threads,
                      DeltaMode mode = DeltaMode::None);

}  // namespace kavrin::test
