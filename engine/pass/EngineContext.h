// SPDX-License-Identifier: MIT
// Chunked I/O around the bzip2 codec (libbz2 compresses; the engine's own decoder expands):
// the engine's one context per job runner.
//
// Everything the codec reads comes through one 196608-byte input chunk (`ChunkReader`) and
// everything it produces goes out through one 196608-byte output chunk (`ChunkWriter`). The
// chunk is also the unit of the delta filter, of progress, of the lamps and of stopping: the
// engine asks `IsRunning` at every chunk read and write, so a stop takes effect at the next
// chunk boundary. The chunk size keeps reads, writes and progress steps rare.
//
// Ownership: an `EngineContext` owns its two chunk buffers, allocated once by Create() and
// reused by every job it runs; it never allocates per job or per chunk (the codec's own
// working memory aside). The files belong to the caller, who opens and closes them.
//
// Threads: one job at a time per context, on the thread that calls the job procedure. Several
// contexts may run at once on different threads. With `threads` above 1, a job's main codec
// pass starts worker threads of its own (ParallelCompress.h, ParallelExpand.h) and ends them
// before it returns; the observer is still called from the job's thread only.
//
// Errors: the reader and the writer keep their first error. After a failed or short read, or a
// failed write, the input ends at once (so the codec finishes quickly), nothing more is read
// or written, and the job procedures report `Failed`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/EngineObserver.h"
#include "engine/ExpansionListener.h"
#include "engine/format/DeltaFilter.h"
#include "platform/File.h"

namespace kavrin {

inline constexpr uint32_t kChunkSize = 0x30000;  // 196608 = 12 x 16384: whole samples of 1..4 bytes

enum class Direction { Compress, Expand };

// Why a job failed, for messages that say more than "failed".
enum class EngineError {
    None,
    CodecMemory,      // the codec could not start
    CodecError,       // the codec reported an internal error
    ReadError,        // a read failed
    SourceChanged,    // the source changed while it was read (a short read, or new times)
    WriteError,       // a write failed (disk full, I/O error)
    SourceTooLarge,   // 4 GiB or more: the header stores a 32-bit size
    InvalidRequest,   // a mode above 5 or a type text above 255 bytes
    NotArchive,       // no "KVN1" magic
    HeaderTruncated,  // the file ends inside the header
    UnknownMode,      // the header's mode byte is none of 1 to 5: no writer stores that
    StreamTruncated,  // the input ended before the end-of-stream marker
    StreamDamaged,    // a block or stream CRC mismatch, or any other format error
    SizeShort,        // the payload restores fewer bytes than the header's size
    SizeLong,         // the payload holds more than the header's size
};

// A short English description of an error, for messages.
const char* DescribeEngineError(EngineError error);

// The most threads one job uses, whatever it is asked for.
inline constexpr uint32_t kMaxEngineThreads = 64;
// The thread count EngineContext::Create() gives a new context: the number of cores unless a
// front end has set another (kvn -T). Any thread may call these.
uint32_t DefaultEngineThreads();
// Sets the default; 0 goes back to the number of cores. Clamped to 1..kMaxEngineThreads.
void SetDefaultEngineThreads(uint32_t threads);

struct ChunkReader {
    platform::FileHandle source = platform::kInvalidFile;
    uint8_t* buffer = nullptr;
    uint32_t pos = 0;       // next byte of buffer to hand to the codec
    uint64_t consumed = 0;  // bytes handed to the codec in this pass
    uint64_t budget = 0;    // bytes the codec may take in this pass; the input ends there
    bool failed = false;    // a read failed or came short; kept for the whole job
};

struct ChunkWriter {
    platform::FileHandle destination = platform::kInvalidFile;
    uint8_t* buffer = nullptr;
    uint32_t fill = 0;      // bytes in buffer not yet written
    uint64_t produced = 0;  // bytes accepted from the codec in this pass
    uint64_t cap = 0;       // expansion only: the most bytes the pass accepts
    bool failed = false;    // a write failed; kept for the whole job
};

// What the last main pass did, for tests and benchmarks.
struct PassStats {
    uint32_t threadsUsed = 0;     // workers that ran; 0 when the pass ran on the job's thread
    uint32_t blocks = 0;          // blocks compressed or expanded by the workers
    uint32_t failedAttempts = 0;  // expansion: block decodes that did not end where tried
    bool sequentialTail = false;  // expansion: the stream was finished on the job's thread
};

class EngineContext {
public:
    // Allocates the two chunk buffers and sets `threads` to DefaultEngineThreads(). Returns
    // null when memory is short.
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
    int systemError = 0;  // errno of the read or write that failed, 0 for none
    // Threads a job's main codec pass may use (1 to kMaxEngineThreads). 1 runs the codec on
    // the job's thread alone; more compress or expand blocks side by side, with the same
    // payload, counters, progress steps and results (only a failed expansion may have read
    // further ahead than one thread). Set between jobs only.
    uint32_t threads = 1;
    PassStats passStats;
    // Told about each block and restored chunk of an expansion (kvn mount's index); optional.
    ExpansionListener* listener = nullptr;

    // Starts a job on two open files: counters, failure flags and error cleared.
    void BeginJob(Direction jobDirection, platform::FileHandle source,
                  platform::FileHandle destination, EngineObserver& jobObserver);
    // Sets pos, consumed, fill and produced to 0 (between passes).
    void ResetCounters();

    // Loads the next input chunk; `first` only for the first chunk of a compression pass.
    // When the job is no longer running, reads nothing and ends the input.
    void Refill(bool first);
    // The next input byte, or -1 at the end of the input. Refills as soon as the chunk is used up.
    int NextByte();
    // Accepts one output byte (dropped beyond the cap when expanding); flushes a full chunk.
    void PutByte(uint8_t byte);
    // Writes what the writer holds (nothing, and discards it, once the job has stopped).
    void Flush();

    // Runs the bzip2 compressor (block size 9) from the reader to the writer, dropping the
    // 4-byte stream header. False only when the codec cannot start.
    bool CompressStream();
    // Runs the engine's bzip2 decoder (PayloadDecoder.h) over the input, the first stream's
    // "BZh9" implied. True only when the end-of-stream marker was reached with every CRC right.
    bool ExpandStream();

    // A job's main pass: CompressStream() or ExpandStream() with one thread, the parallel
    // passes with more. Same results either way; only the time differs.
    bool CompressPass();
    bool ExpandPass();

private:
    friend class ParallelCompressor;
    friend class ParallelExpander;
    friend class PayloadDecoder;

    EngineContext() = default;

    // The input the codec may take now: the rest of the chunk, at most budget - consumed.
    uint32_t InputSpan() const;
    // Marks `taken` bytes of the current span as handed to the codec.
    void Advance(uint32_t taken);
    // Moves `length` bytes the codec wrote into the writer's buffer at fill.
    void AcceptOutput(uint32_t length);
    // The job stopped or a read or write failed: a pass ends at its next step.
    bool Halted() const { return stopped_ || reader.failed || writer.failed; }
    // Asks the observer whether the job is still wanted, for the waits and steps of a pass
    // that neither read nor write a chunk. False (and the job stopped) once it is not.
    bool StillRunning();
    // Copies `length` bytes into the writer, writing each chunk as it fills, until all are
    // taken or the job halts.
    void PutBytes(const uint8_t* bytes, size_t length);
    // Records `why` unless an earlier error is already recorded.
    void NoteError(EngineError why);
    // A read failed or came short: the input ends here, no stale byte reaches the codec.
    void FailRead(EngineError why);
    // A write failed: nothing more is written, and the input ends so the codec stops early.
    void FailWrite();

    // The observer said the job is no longer running (seen by Refill or Flush).
    bool stopped_ = false;
    std::unique_ptr<uint8_t[]> inputChunk_;
    std::unique_ptr<uint8_t[]> outputChunk_;
};

}  // namespace kavrin
