// SPDX-License-Identifier: MIT
// The engine's face: everything jobs/, cli/, the window and kvn mount need to turn a file into
// an archive and back. `CompressJob` turns an open source into an archive; `ExpandJob` turns an
// open archive back into the file it was made from. The archive format is in
// format/ArchiveFormat.h and doc/archive_format.md.
//
// Contract:
// - An `EngineContext` runs one job at a time, on the thread that calls the job procedure; it
//   keeps its chunk buffers from job to job and allocates nothing per chunk. Several contexts
//   may run at once on different threads. With more than one thread set, a job's codec pass
//   starts worker threads of its own and ends them before it returns; the observer is called
//   from the job's thread only.
// - The procedures open, close and delete nothing and show no messages: they read the source
//   from its start, write through the sink, and say how the job went in a `JobOutcome`. The
//   caller owns both ends and decides what to keep.
// - Progress runs in input chunks of kChunkSize bytes; the job asks IsRunning at every chunk,
//   so a stop takes effect at the next one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/EngineObserver.h"
#include "engine/ExpansionListener.h"
#include "engine/OutputSink.h"
#include "engine/Status.h"
#include "engine/format/DeltaFilter.h"
#include "platform/File.h"

namespace kavrin {

// The unit of reading, writing, the delta filter, progress and stopping.
inline constexpr uint32_t kChunkSize = 0x30000;  // 196608 = 12 x 16384: whole samples of 1..4 bytes

// The Auto trial's input: only the first 131072 bytes (two thirds of a chunk) take part.
inline constexpr uint32_t kTrialLength = 0x20000;

// The most threads one job uses, whatever it is asked for.
inline constexpr uint32_t kMaxEngineThreads = 64;
// The thread count a new context starts with: the usable cores unless a front end has set
// another (kvn -T). Any thread may call these.
uint32_t DefaultEngineThreads();
// Sets the default; 0 goes back to the usable cores. Clamped to 1..kMaxEngineThreads.
void SetDefaultEngineThreads(uint32_t threads);

// One job runner's state; opaque outside the engine.
class EngineContext;
struct EngineContextDeleter {
    void operator()(EngineContext* context) const;
};
using EngineContextPtr = std::unique_ptr<EngineContext, EngineContextDeleter>;

// A new context with DefaultEngineThreads(). Null when memory is short.
EngineContextPtr CreateEngineContext();
// Threads a job's main codec pass may use, clamped to 1..kMaxEngineThreads. 1 runs the codec on
// the job's thread alone; more compress or expand blocks side by side with the same payload,
// counters, progress steps and results. Between jobs only.
void SetEngineThreads(EngineContext& engine, uint32_t threads);
uint32_t EngineThreads(const EngineContext& engine);

// What the last main pass did, for tests and benchmarks.
struct PassStats {
    uint32_t threadsUsed = 0;     // workers that ran; 0 when the pass ran on the job's thread
    uint32_t blocks = 0;          // blocks compressed or expanded by the workers
    uint32_t failedAttempts = 0;  // expansion: block decodes that did not end where tried
    bool sequentialTail = false;  // expansion: the stream was finished on the job's thread
};
PassStats LastPassStats(const EngineContext& engine);

// The outcome of one job; the numbers are stable (they travel in the "job finished" event).
enum class JobResult : uint32_t { Done = 0, Cancelled = 1, Failed = 2 };

// What one job did: all a front end needs to report it.
struct JobOutcome {
    JobResult result = JobResult::Failed;
    Status status;  // why a Failed job failed; ok otherwise
    // Compression: the mode applied (Auto resolved to 1..5). Expansion: the header's mode byte.
    DeltaMode mode = DeltaMode::None;
    uint64_t bytesRead = 0;     // the main pass's input: the source, or the payload up to its end
    uint64_t bytesWritten = 0;  // its output: the payload, or the restored bytes
    uint64_t headerSize = 0;    // expansion: the size the header gives
};

// Compresses the source (at position 0) into `destination` with `mode` 0..5; `typeText` (at
// most 255 bytes) goes into the header. Failed without writing anything for a mode above 5 or a
// longer type text; a source of 4 GiB or more gets the wide "KVN2" header. A Done job read the
// source length and wrote the header and the payload.
JobOutcome CompressJob(EngineContext& engine, platform::FileHandle source, OutputSink& destination,
                       DeltaMode mode, const std::string& typeText, EngineObserver& observer);

// Expands the archive (at position 0) into `destination`. Failed, with nothing written and no
// progress range set, when the magic is wrong, the file ends inside the header or the header's
// mode byte is not 1 to 5 (the byte in outcome.mode); Failed (SizeShort, SizeLong) when the
// payload does not restore exactly the header's size. A Done job read the payload up to the end
// of its last stream and wrote the restored length. `listener`, when given, is told where each
// block lies and what is restored (kvn mount's index; ExpansionListener.h).
JobOutcome ExpandJob(EngineContext& engine, platform::FileHandle source, OutputSink& destination,
                     EngineObserver& observer, ExpansionListener* listener = nullptr);

}  // namespace kavrin
