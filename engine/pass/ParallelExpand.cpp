// SPDX-License-Identifier: MIT
#include "engine/pass/ParallelExpand.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/ByteBuffer.h"
#include "engine/codec/StreamBits.h"
#include "engine/decode/CompactBlock.h"
#include "engine/pass/PayloadDecoder.h"
#include "engine/pass/WorkerThreads.h"

// The job's thread reads the payload's chunks in order through Refill (progress, lamps, the
// stop check) into a bounded window and looks for the 48-bit block and end magics at every
// bit offset. Each stretch between two magics is a candidate block, which a worker decodes
// straight from the payload's bits into its compact form (CompactBlock.h), CRC checked. A block
// is accepted only when it is sound and ends exactly where the next magic begins; the job's
// thread walks the chain of accepted blocks in order from the start of the payload, restores
// them into the output (delta filter and cap as usual), mixes their CRCs and checks the stream
// CRC at the end magic. `consumed` ends where the one-thread decoder stops, bytes after the
// stream are never read as data, and reading pauses at any end magic until the chain has
// passed it.
//
// A magic inside a block's data is a false candidate: its attempts fail and the block is tried
// again up to the next magic. Past a small budget of failed attempts (or anything else out of
// the ordinary: a damaged block, a payload that does not open with a magic, a stream that is
// cut short) the rest of the stream is decoded on the job's thread by the one-thread decoder,
// started at the chain's head with the stream CRC so far, so its final check, its error and its
// output are those of the one-thread pass.

namespace kavrin {
namespace {

constexpr size_t kMiB = 1024 * 1024;
// Failed block attempts a pass tolerates before the rest goes to the one-thread decoder. An
// honest stream has none; a magic that happens to lie inside block data costs two.
constexpr uint32_t kFailureBudget = 8;
// Magics found ahead of the chain. An honest stream has one per block in the window; a payload
// with more was made to look like one and goes to the one-thread decoder.
constexpr size_t kMaxCandidates = 1024;
// Bits of an end magic and the stream CRC after it.
constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;

struct Task {
    enum class State { Queued, Running, Done };
    uint64_t start = 0;  // payload bit of the block magic
    uint64_t end = 0;    // payload bit of the magic that is tried as the next one
    State state = State::Queued;
    bool ok = false;            // decoded, CRC right, ending exactly at `end`
    bool memoryFailed = false;  // the decoder had no memory
    ByteBuffer input;           // the payload bytes holding the block's bits
    CompactBlock block;         // the block decoded (its compact form)
};

}  // namespace

class ParallelExpander {
public:
    explicit ParallelExpander(EngineContext& engine)
        : e_(engine),
          threads_(std::clamp<uint32_t>(engine.threads, 1, kMaxEngineThreads)),
          maxTasks_(threads_ + 2),
          windowLimit_((threads_ + 3) * kMiB) {}
    ParallelExpander(const ParallelExpander&) = delete;
    ParallelExpander& operator=(const ParallelExpander&) = delete;

    std::optional<bool> Run();

private:
    // Workers.
    void Worker();
    static void Decode(Task& task, CompactBlockDecoder& decoder);

    // The job's thread: reading and finding magics.
    bool CanRead() const { return e_.reader.pos == kChunkSize && !Halted(); }
    uint64_t ReadEnd() const { return windowBase_ + window_.size(); }
    bool WindowHasRoom() const;
    void TakeChunk(bool scan);
    void ReadChunk(bool scan);
    void Scan();
    bool Paused() const;
    const MagicHit* CandidateAfter(uint64_t bit) const;

    // The job's thread: the chain of blocks.
    bool Chain();
    Task* TaskAt(uint64_t start);
    Task* NewTask(uint64_t start, uint64_t end);
    void Retire(Task* task);
    void RetireStale();
    bool AnyTaskPending();
    void ScheduleAhead();
    bool Emit(Task& task);
    bool FinishAtEnd();
    bool Fallback();
    // Decodes the rest of the payload on this thread with `decoder` (started) from payload
    // byte `position`.
    bool DecodeRest(PayloadDecoder& decoder, uint64_t position);
    // Waits until `task` is done.
    void WaitForTask(Task* task);
    void TopUpRefills();
    bool Halted() const { return e_.Halted(); }

    EngineContext& e_;
    const uint32_t threads_;
    const size_t maxTasks_;
    const size_t windowLimit_;

    // Shared with the workers, under mutex_ (abort_ is also read without it between calls).
    std::mutex mutex_;
    std::condition_variable workersWake_;
    std::condition_variable jobWake_;
    std::vector<Task*> tasks_;  // live tasks; only the job's thread adds or removes
    std::atomic<bool> abort_{false};

    // The job's thread only.
    WorkerThreads workers_;
    std::vector<std::unique_ptr<Task>> allTasks_;
    std::vector<Task*> spareTasks_;
    ByteBuffer window_;                // payload bytes from windowBase_ on
    uint64_t windowBase_ = 0;          // payload byte index of window_[0]
    uint64_t scanFrom_ = 0;            // payload byte of the next magic start to look at
    uint32_t refills_ = 1;             // the job procedure loaded the first chunk
    std::deque<MagicHit> candidates_;  // at or after the head, in order (payload bits)
    std::vector<MagicHit> hits_;
    uint64_t head_ = 0;             // payload bit of the next block to write
    uint64_t headTriedUpTo_ = 0;    // the furthest end already tried for the head
    uint64_t nextSpeculative_ = 0;  // candidates from here on have no task yet
    uint32_t combinedCrc_ = 0;
    uint32_t failures_ = 0;
    uint64_t consumedEnd_ = 0;  // where the one-thread decoder would have stopped
    uint64_t keepFrom_ = 0;     // the first payload byte the window must keep
};

std::optional<bool> ExpandInParallel(EngineContext& engine) {
    ParallelExpander expander(engine);
    return expander.Run();
}

std::optional<bool> ParallelExpander::Run() {
    if (!window_.Reserve(windowLimit_ + kChunkSize)) return std::nullopt;
    const size_t workers = workers_.Start(threads_, [this] { Worker(); });
    if (workers == 0) return std::nullopt;
    e_.passStats.threadsUsed = static_cast<uint32_t>(workers);
    TakeChunk(true);
    const bool ok = Chain();
    workers_.StopAndJoin(mutex_, abort_, workersWake_);
    if (!Halted()) {
        TopUpRefills();
        e_.reader.consumed = consumedEnd_;
    }
    return ok;
}

void ParallelExpander::Worker() {
    CompactBlockDecoder decoder;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Task* task = nullptr;
        workersWake_.wait(lock, [&] {
            if (abort_) return true;
            // The earliest block first: a retry of the chain's head goes before guesses ahead.
            for (Task* candidate : tasks_) {
                if (candidate->state == Task::State::Queued &&
                    (task == nullptr || candidate->start < task->start)) {
                    task = candidate;
                }
            }
            return task != nullptr;
        });
        if (abort_) return;
        task->state = Task::State::Running;
        lock.unlock();
        Decode(*task, decoder);
        lock.lock();
        task->state = Task::State::Done;
        jobWake_.notify_one();
    }
}

void ParallelExpander::Decode(Task& task, CompactBlockDecoder& decoder) {
    // The input holds the block's bits from bit start % 8 of its first byte.
    const uint64_t from = task.start % 8;
    const uint64_t to = from + (task.end - task.start);
    const BlockVerdict verdict = decoder.Decode(task.input.data(), from, to, &task.block);
    task.memoryFailed = verdict == BlockVerdict::NoMemory;
    // Sound only when the block ends exactly where the next magic was found.
    task.ok = verdict == BlockVerdict::Ok && task.block.endBit == to;
}

bool ParallelExpander::WindowHasRoom() const {
    return ReadEnd() - keepFrom_ + kChunkSize <= windowLimit_;
}

// Takes the chunk Refill has just loaded into the window.
void ParallelExpander::TakeChunk(bool scan) {
    const uint32_t span = e_.InputSpan();
    if (span > 0) {
        if (window_.room() < span && keepFrom_ > windowBase_) {
            // Drop what is no longer needed; blocks in flight have their own copies.
            const uint64_t keepFrom = std::min<uint64_t>(keepFrom_, ReadEnd());
            window_.DropFront(keepFrom - windowBase_);
            windowBase_ = keepFrom;
        }
        if (window_.room() < span && !window_.Reserve(window_.size() + span)) {
            e_.NoteError(EngineError::CodecMemory);
            e_.FailRead(EngineError::CodecMemory);
            return;
        }
        window_.Append(e_.reader.buffer + e_.reader.pos, span);
    }
    // `consumed` counts the bytes read while the pass runs; it is set to where the stream
    // ends when the pass is over.
    e_.reader.pos += span;
    e_.reader.consumed += span;
    if (scan) Scan();
}

void ParallelExpander::ReadChunk(bool scan) {
    e_.Refill(false);
    ++refills_;
    TakeChunk(scan);
}

void ParallelExpander::Scan() {
    // While more input may come, the last six start bytes wait: their magic may not be whole.
    const uint64_t to = CanRead() ? (ReadEnd() >= 6 ? ReadEnd() - 6 : 0) : ReadEnd();
    if (to <= scanFrom_) return;
    hits_.clear();
    FindMagics(window_.data(), window_.size(), scanFrom_ - windowBase_, to - windowBase_, &hits_);
    for (const MagicHit& hit : hits_) {
        candidates_.push_back({hit.bit + 8 * windowBase_, hit.kind});
    }
    scanFrom_ = to;
}

// Reading stops at an end magic until the chain reaches it or passes it, so that nothing
// after the stream is read that the one-thread decoder would not have read.
bool ParallelExpander::Paused() const {
    for (const MagicHit& candidate : candidates_) {
        if (candidate.kind == MagicKind::End) return true;
    }
    return false;
}

const MagicHit* ParallelExpander::CandidateAfter(uint64_t bit) const {
    for (const MagicHit& candidate : candidates_) {
        if (candidate.bit > bit) return &candidate;
    }
    return nullptr;
}

Task* ParallelExpander::TaskAt(uint64_t start) {
    for (Task* task : tasks_) {
        if (task->start == start) return task;
    }
    return nullptr;
}

Task* ParallelExpander::NewTask(uint64_t start, uint64_t end) {
    Task* task = nullptr;
    if (!spareTasks_.empty()) {
        task = spareTasks_.back();
        spareTasks_.pop_back();
    } else {
        std::unique_ptr<Task> made(new (std::nothrow) Task);
        if (!made) {
            e_.NoteError(EngineError::CodecMemory);
            return nullptr;
        }
        task = made.get();
        allTasks_.push_back(std::move(made));
    }
    task->start = start;
    task->end = end;
    task->state = Task::State::Queued;
    // The bytes that hold the block's bits; blocks in flight keep their own copy.
    const uint64_t first = start / 8;
    const uint64_t last = (end + 7) / 8;
    task->input.Clear();
    if (!task->input.Append(window_.data() + (first - windowBase_), last - first)) {
        spareTasks_.push_back(task);
        e_.NoteError(EngineError::CodecMemory);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(task);
    }
    workersWake_.notify_all();
    return task;
}

void ParallelExpander::Retire(Task* task) {
    // Every failed attempt counts, guesses ahead included: that is what bounds the work a
    // payload full of false magics can cause.
    if (task->state == Task::State::Done && !task->ok && !task->memoryFailed) {
        ++failures_;
        ++e_.passStats.failedAttempts;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.erase(std::find(tasks_.begin(), tasks_.end(), task));
    }
    spareTasks_.push_back(task);
}

// Drops the tasks that started inside blocks already written: their magic was a false one.
void ParallelExpander::RetireStale() {
    std::vector<Task*> stale;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Task* task : tasks_) {
            if (task->start < head_ && task->state != Task::State::Running) stale.push_back(task);
        }
    }
    for (Task* task : stale) Retire(task);
}

bool ParallelExpander::AnyTaskPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Task* task : tasks_) {
        if (task->state != Task::State::Done) return true;
    }
    return false;
}

// Guesses ahead: every block magic with a known next magic gets a task, a few at a time.
void ParallelExpander::ScheduleAhead() {
    for (size_t i = 0; i + 1 < candidates_.size(); ++i) {
        const MagicHit& candidate = candidates_[i];
        // Past an end magic lies what follows the stream, unless the chain shows otherwise.
        if (candidate.kind == MagicKind::End) return;
        if (candidate.bit < nextSpeculative_) continue;
        if (tasks_.size() >= maxTasks_) return;
        if (NewTask(candidate.bit, candidates_[i + 1].bit) == nullptr) return;
        nextSpeculative_ = candidate.bit + 1;
    }
}

bool ParallelExpander::Chain() {
    for (;;) {
        if (Halted() || e_.error == EngineError::CodecMemory) return false;
        RetireStale();
        while (!candidates_.empty() && candidates_.front().bit < head_) candidates_.pop_front();
        if (failures_ > kFailureBudget || candidates_.size() > kMaxCandidates) return Fallback();

        // The head must hold a magic; only the payload's first bit can fail to, and then the
        // one-thread decoder gives its verdict.
        if (candidates_.empty() || candidates_.front().bit != head_) {
            if (head_ == 0 && scanFrom_ == 0 && CanRead()) {
                ReadChunk(true);
                continue;
            }
            return Fallback();
        }
        if (candidates_.front().kind == MagicKind::End) return FinishAtEnd();

        Task* task = TaskAt(head_);
        bool done = false;
        if (task != nullptr) {
            std::lock_guard<std::mutex> lock(mutex_);
            done = task->state == Task::State::Done;
        }
        if (done) {
            if (task->memoryFailed) {
                e_.NoteError(EngineError::CodecMemory);
                return false;
            }
            if (task->ok) {
                if (!Emit(*task)) return false;
                head_ = task->end;
                headTriedUpTo_ = head_;
                keepFrom_ = head_ / 8;
                Retire(task);
                continue;
            }
            // The next magic was not this block's end: try the one after it.
            headTriedUpTo_ = std::max(headTriedUpTo_, task->end);
            Retire(task);
            continue;
        }
        if (task == nullptr) {
            const MagicHit* next = CandidateAfter(std::max(head_, headTriedUpTo_));
            if (next != nullptr) {
                if (NewTask(head_, next->bit) == nullptr) return false;
                headTriedUpTo_ = next->bit;
                nextSpeculative_ = std::max(nextSpeculative_, head_ + 1);
                continue;
            }
            if (CanRead() && WindowHasRoom()) {
                ReadChunk(true);
                continue;
            }
            return Fallback();  // no end for the head's block within reach
        }

        ScheduleAhead();
        if (CanRead() && WindowHasRoom() && !Paused()) {
            ReadChunk(true);
            continue;
        }
        // A block decodes in a moment, whatever it restores to: the stop is seen when it is
        // written.
        WaitForTask(task);
    }
}

void ParallelExpander::WaitForTask(Task* task) {
    std::unique_lock<std::mutex> lock(mutex_);
    jobWake_.wait(lock, [&] { return task->state == Task::State::Done; });
}

bool ParallelExpander::Emit(Task& task) {
    // Between blocks as at every chunk: a stop is seen even where blocks restore little.
    if (!e_.StillRunning()) return false;
    ++e_.passStats.blocks;
    if (e_.listener) {  // kvn mount's index
        e_.listener->OnBlock(task.start, task.end, e_.writer.produced, task.block.restoredLength);
    }
    // As one thread: the output up to the header's size, then SizeLong if there is more.
    if (!PayloadDecoder::Restore(e_, task.block)) return false;
    combinedCrc_ = CombineBlockCrc(combinedCrc_, task.block.storedCrc);
    return !Halted();
}

// The head holds the end magic: the stream CRC follows it.
bool ParallelExpander::FinishAtEnd() {
    const uint64_t crcEnd = head_ + kTrailerBits;
    while (8 * ReadEnd() < crcEnd && CanRead()) ReadChunk(false);
    if (8 * ReadEnd() < crcEnd) {
        consumedEnd_ = ReadEnd();
        if (!Halted()) e_.NoteError(EngineError::StreamTruncated);
        return false;
    }
    consumedEnd_ = (crcEnd + 7) / 8;
    const auto stored = static_cast<uint32_t>(
        ReadBits(window_.data(), head_ + kMagicBits - 8 * windowBase_, kCrcBits));
    if (stored != combinedCrc_) {
        e_.NoteError(EngineError::StreamDamaged);
        return false;
    }
    if (e_.writer.produced >= e_.writer.cap) return true;
    // Short of the header's size: the payload goes on with a further stream, which the
    // workers leave to this thread. Rare, and only in payloads other tools made.
    workers_.StopAndJoin(mutex_, abort_, workersWake_);
    e_.passStats.sequentialTail = true;
    PayloadDecoder decoder(e_);
    decoder.Start(true);
    return DecodeRest(decoder, consumedEnd_);
}

// Decodes the rest of the stream on this thread, from the head on, exactly as the one-thread
// decoder does from there: same output, same end, same verdict.
bool ParallelExpander::Fallback() {
    workers_.StopAndJoin(mutex_, abort_, workersWake_);
    e_.passStats.sequentialTail = true;
    PayloadDecoder decoder(e_);
    decoder.StartAt(static_cast<unsigned>(head_ % 8), combinedCrc_);
    return DecodeRest(decoder, head_ / 8);
}

bool ParallelExpander::DecodeRest(PayloadDecoder& decoder, uint64_t position) {
    size_t taken = 0;
    PayloadDecoder::Step step = PayloadDecoder::Step::NeedInput;
    while (step == PayloadDecoder::Step::NeedInput) {
        keepFrom_ = position;  // the decoder never looks back
        if (position == ReadEnd() && CanRead()) ReadChunk(false);
        if (Halted()) {
            step = PayloadDecoder::Step::Failed;
            break;
        }
        if (position == ReadEnd()) {
            step = decoder.EndOfInput();
            break;
        }
        step =
            decoder.Decode(window_.data() + (position - windowBase_), ReadEnd() - position, &taken);
        position += taken;
    }
    consumedEnd_ = position;
    return step == PayloadDecoder::Step::Finished;
}

// The one-thread decoder loads the next chunk as soon as it has taken the last byte of one,
// even at the end of its stream: so many chunks it would have read by the end.
void ParallelExpander::TopUpRefills() {
    const uint64_t wanted = 1 + consumedEnd_ / kChunkSize;
    while (refills_ < wanted && CanRead()) {
        e_.Refill(false);
        ++refills_;
        const uint32_t span = e_.InputSpan();
        e_.reader.pos += span;
        e_.reader.consumed += span;
    }
}

}  // namespace kavrin
