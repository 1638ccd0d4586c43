// SPDX-License-Identifier: MIT
// The body of one job: `CompressJob` turns an open source into an archive in an open, empty
// destination; `ExpandJob` turns an open archive back into the file it was made from.
//
// The procedures open, close and delete nothing and show no messages: they write the header,
// run one codec pass over the context's chunk I/O and compute the result. The caller owns
// both files and decides what to keep. Run on the thread that owns the context.
#pragma once

#include <cstdint>
#include <string>

#include "engine/pass/CodecStream.h"

namespace kavrin {

// The outcome of one job; the numbers are stable (they travel in the "job finished" event).
enum class JobResult : uint32_t { Done = 0, Cancelled = 1, Failed = 2 };

// What one job did: all a front end needs to report it, so that none reads the engine's
// fields.
struct JobOutcome {
    JobResult result = JobResult::Failed;
    EngineError error = EngineError::None;  // why a Failed job failed
    int systemError = 0;                    // the errno of a failed read or write
    // Compression: the mode applied (Auto resolved to 1..5). Expansion: the header's mode byte.
    DeltaMode mode = DeltaMode::None;
    uint64_t bytesRead = 0;     // the main pass's input: the source, or the payload up to its end
    uint64_t bytesWritten = 0;  // its output: the payload, or the restored bytes
    uint64_t headerSize = 0;    // expansion: the size the header gives
};

// A short English reason for a Failed job, for messages: the error's description, with the
// system's reason for a failed read or write ("write error: No space left on device") and the
// sizes where the payload and the header disagree.
std::string DescribeFailure(const JobOutcome& outcome);

// The Auto trial's input: only the first 131072 bytes (two thirds of a chunk) take part.
inline constexpr uint32_t kTrialLength = 0x20000;

// Compresses the source (at position 0) into the destination (empty, at position 0) with
// `mode` 0..5; `typeText` (at most 255 bytes) goes into the header. Failed without writing
// anything for a source above kMaxSourceSize, a mode above 5 or a longer type text. A Done
// job read the source length and wrote the payload length.
JobOutcome CompressJob(EngineContext& engine, platform::FileHandle source,
                       platform::FileHandle destination, DeltaMode mode,
                       const std::string& typeText, EngineObserver& observer);

// Expands the archive (at position 0) into the destination. Failed, with nothing written and
// no progress range set, when the magic is wrong, the file ends inside the header or the
// header's mode byte is not 1 to 5 (UnknownMode, the byte in outcome.mode); Failed
// (SizeShort, SizeLong) when the payload does not restore exactly the header's size. A Done
// job read the payload up to the end of its last stream and wrote the restored length.
JobOutcome ExpandJob(EngineContext& engine, platform::FileHandle source,
                     platform::FileHandle destination, EngineObserver& observer);

// Compresses the start of the source with each of the five real modes and leaves the mode
// that gave the smallest output (ties to the wider mode) in engine.mode. Requires the source
// at position 0 and the counters at 0; leaves them so again, with the writer empty.
void RunAutoTrial(EngineContext& engine);

}  // namespace kavrin
