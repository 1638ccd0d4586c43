// SPDX-License-Identifier: MIT
// Inside the engine: one job runner's chunked I/O, which every codec pass reads and writes
// through. Outside the engine the context is opaque (engine/Engine.h).
//
// Everything the codec reads comes through one kChunkSize input chunk (`ChunkReader`) and
// everything it produces goes out through one kChunkSize output chunk (`ChunkWriter`) to the
// job's sink. The chunk is also the unit of the delta filter, of progress, of the lamps and of
// stopping: `Refill` and `Flush` ask the observer `IsRunning` at every chunk.
//
// Ownership: the context owns its two chunk buffers, allocated once by Create() and reused by
// every job; the source file, the sink, the observer and the listener belong to the caller.
//
// Threads: the job's thread only. A parallel pass's workers never touch the context.
//
// Errors: the reader and the writer keep their first error. After a failed or short read, or a
// failed write, the input ends at once (so the codec finishes quickly), nothing more is read or
// written, and the job ends Failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/Engine.h"
#include "engine/format/DeltaFilter.h"
#include "platform/File.h"

namespace kavrin {

enum class Direction { Compress, Expand };

struct ChunkReader {
    platform::FileHandle source = platform::kInvalidFile;
    uint8_t* buffer = nullptr;
    uint32_t pos = 0;       // next byte of buffer to hand to the codec
    uint64_t consumed = 0;  // bytes handed to the codec in this pass
    uint64_t budget = 0;    // bytes the codec may take in this pass; the input ends there
    bool failed = false;    // a read failed or came short; kept for the whole job
};

struct ChunkWriter {
    OutputSink* destination = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t fill = 0;      // bytes in buffer not yet written
    uint64_t produced = 0;  // bytes accepted from the codec in this pass
    uint64_t cap = 0;       // expansion only: the most bytes the pass accepts
    bool failed = false;    // a write failed; kept for the whole job
};

class EngineContext {
public:
    // Allocates the two chunk buffers and sets `threads` to DefaultEngineThreads(). Null when
    // memory is short.
    static std::unique_ptr<EngineContext> Create();

    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    Direction direction = Direction::Compress;
    DeltaMode mode = DeltaMode::None;
    ChunkReader reader;
    ChunkWriter writer;
    DeltaState delta;
    EngineObserver* observer = nullptr;
    EngineError error = EngineError::None;
    int systemError = 0;   // errno of the read or write that failed, 0 for none
    uint32_t threads = 1;  // 1 to kMaxEngineThreads
    PassStats passStats;
    ExpansionListener* listener = nullptr;  // optional

    // Starts a job: counters, failure flags and error cleared.
    void BeginJob(Direction jobDirection, platform::FileHandle source, OutputSink& destination,
                  EngineObserver& jobObserver, ExpansionListener* jobListener);
    // Sets pos, consumed, fill and produced to 0 (between passes).
    void ResetCounters();

    // Loads the next input chunk; `first` only for the first chunk of a compression pass.
    // When the job is no longer running, reads nothing and ends the input.
    void Refill(bool first);
    // Writes what the writer holds (nothing, and discards it, once the job has stopped).
    void Flush();

    // The input the codec may take now: the rest of the chunk, at most budget - consumed.
    uint32_t InputSpan() const;
    // Marks `taken` bytes of the current span as handed to the codec; refills a used-up chunk.
    void Advance(uint32_t taken);
    // Counts `length` bytes the codec wrote into the writer's buffer at fill; flushes it full.
    void AcceptOutput(uint32_t length);
    // Copies `length` bytes into the writer, writing each chunk as it fills, until all are taken
    // or the job halts.
    void PutBytes(const uint8_t* bytes, size_t length);
    // The job stopped or a read or write failed: a pass ends at its next step.
    bool Halted() const { return stopped_ || reader.failed || writer.failed; }
    // Asks the observer whether the job is still wanted, for the waits and steps of a pass that
    // neither read nor write a chunk. False (and the job stopped) once it is not.
    bool StillRunning();
    // Records `why` unless an earlier error is already recorded.
    void NoteError(EngineError why);
    // A read failed or came short: the input ends here, no stale byte reaches the codec.
    void FailRead(EngineError why);

private:
    EngineContext() = default;

    // A write failed: nothing more is written, and the input ends so the codec stops early.
    void FailWrite();

    // The observer said the job is no longer running (seen by Refill, Flush or StillRunning).
    bool stopped_ = false;
    std::unique_ptr<uint8_t[]> inputChunk_;
    std::unique_ptr<uint8_t[]> outputChunk_;
};

}  // namespace kavrin
