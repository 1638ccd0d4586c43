// SPDX-License-Identifier: MIT
#include "engine/pass/ParallelCompress.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/ByteBuffer.h"
#include "engine/codec/StreamBits.h"
#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockEncoder.h"
#include "engine/pass/WorkerThreads.h"

// The job's thread does what the one-thread pass does with its input: it takes the chunks in
// order through Refill (reading, delta filter, progress, lamps, the stop check) and counts
// `consumed` as it goes. It also replays libbz2's run-length stage (BlockBoundary.h) to know
// where libbz2 would end each block, and hands each block's input to a worker, whose
// BlockEncoder makes it the one-block stream libbz2 would write for it. A block is coded from
// its contents alone, so the job's thread can join the blocks bit by bit in input order, mix their
// CRCs into the stream CRC and end the stream, giving byte for byte the one-thread payload.

namespace kavrin {
namespace {

constexpr size_t kPieceSize = 64 * 1024;
// Input pieces per block in flight: a plain block's input (a little over 900 000 bytes) fits,
// so only blocks of long runs make the reading wait for their worker.
constexpr size_t kPiecesPerBlock = 16;

struct Piece {
    std::unique_ptr<uint8_t[]> bytes;
    size_t length = 0;
};

// One block's journey: input pieces in, a one-block stream out.
struct Segment {
    std::deque<Piece*> pending;  // input not yet given to the compressor
    bool closed = false;         // the job's thread adds no more input
    bool taken = false;          // a worker has it
    bool finished = false;       // the worker is done with it
    EngineError error = EngineError::None;
    ByteBuffer stream;  // the one-block stream the worker made
    OneBlock block;     // where its block lies in it
};

}  // namespace

class ParallelCompressor {
public:
    explicit ParallelCompressor(EngineContext& engine)
        : e_(engine),
          threads_(std::clamp<uint32_t>(engine.threads, 1, kMaxEngineThreads)),
          maxInFlight_(threads_ + 2),
          maxPieces_((threads_ + 2) * kPiecesPerBlock) {}
    ParallelCompressor(const ParallelCompressor&) = delete;
    ParallelCompressor& operator=(const ParallelCompressor&) = delete;

    std::optional<bool> Run();

private:
    // Workers.
    void Worker();
    Segment* FirstUntaken();
    void CompressSegment(Segment& segment, BlockEncoder* encoder, std::vector<uint8_t>& encoded);

    // The job's thread.
    void Pump();
    bool Feed(const uint8_t* bytes, size_t length);
    bool OpenSegment();
    bool TakePiece();
    void PushPiece();
    void CloseSegment();
    template <class Ready>
    bool WaitFor(Ready ready);
    bool WriteReady();
    bool WriteFront();
    bool Halted() const { return e_.Halted(); }
    void Fail(EngineError why) {
        e_.NoteError(why);
        codecFailed_ = true;
    }

    EngineContext& e_;
    const uint32_t threads_;
    const size_t maxInFlight_;
    const size_t maxPieces_;

    // Shared with the workers, under mutex_.
    std::mutex mutex_;
    std::condition_variable workersWake_;
    std::condition_variable jobWake_;
    std::deque<Segment*> inFlight_;  // oldest first; written out from the front
    std::vector<Piece*> sparePieces_;
    size_t piecesMade_ = 0;
    std::atomic<bool> abort_{false};

    // The job's thread only.
    WorkerThreads workers_;
    std::vector<std::unique_ptr<Segment>> segments_;
    std::vector<Segment*> spareSegments_;
    std::vector<std::unique_ptr<Piece>> pieces_;
    Segment* current_ = nullptr;  // the block being read
    Piece* piece_ = nullptr;      // the piece being filled
    BlockBoundaryScanner scanner_;
    BitAppender appender_;
    ByteBuffer staging_;
    uint32_t combinedCrc_ = 0;
    bool codecFailed_ = false;
};

std::optional<bool> CompressInParallel(EngineContext& engine) {
    ParallelCompressor compressor(engine);
    return compressor.Run();
}

std::optional<bool> ParallelCompressor::Run() {
    const size_t workers = workers_.Start(threads_, [this] { Worker(); });
    if (workers == 0) return std::nullopt;
    e_.passStats.threadsUsed = static_cast<uint32_t>(workers);
    Pump();
    workers_.StopAndJoin(mutex_, abort_, workersWake_);
    return !codecFailed_;
}

Segment* ParallelCompressor::FirstUntaken() {
    for (Segment* segment : inFlight_) {
        if (!segment->taken) return segment;
    }
    return nullptr;
}

void ParallelCompressor::Worker() {
    // Without an encoder (no memory for one) every block this worker takes fails as memory.
    std::optional<PooledBlockEncoder> pooled;
    try {
        pooled.emplace();
    } catch (const std::bad_alloc&) {
    }
    BlockEncoder* encoder = pooled ? &**pooled : nullptr;
    std::vector<uint8_t> encoded;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Segment* segment = nullptr;
        workersWake_.wait(lock, [&] { return abort_ || (segment = FirstUntaken()) != nullptr; });
        if (abort_) return;
        segment->taken = true;
        lock.unlock();
        CompressSegment(*segment, encoder, encoded);
        lock.lock();
        segment->finished = true;
        jobWake_.notify_one();
    }
}

void ParallelCompressor::CompressSegment(Segment& segment, BlockEncoder* encoder,
                                         std::vector<uint8_t>& encoded) {
    segment.stream.Clear();
    if (encoder != nullptr) encoder->Begin();
    bool ok = encoder != nullptr;
    for (;;) {
        Piece* piece = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workersWake_.wait(lock,
                              [&] { return abort_ || !segment.pending.empty() || segment.closed; });
            if (abort_) return;
            if (segment.pending.empty()) break;  // closed, and every piece given
            piece = segment.pending.front();
            segment.pending.pop_front();
        }
        if (ok) {
            try {
                encoder->Feed(piece->bytes.get(), piece->length);
            } catch (const std::bad_alloc&) {
                ok = false;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sparePieces_.push_back(piece);
        }
        jobWake_.notify_one();
    }
    EngineError error = EngineError::None;
    try {
        if (!ok || !encoder->Finish(encoded))
            error = ok ? EngineError::CodecError : EngineError::CodecMemory;
    } catch (const std::bad_alloc&) {
        error = EngineError::CodecMemory;
    }
    if (error == EngineError::None && !segment.stream.Reserve(encoded.size())) {
        error = EngineError::CodecMemory;
    }
    if (error == EngineError::None) {
        std::memcpy(segment.stream.data(), encoded.data(), encoded.size());
        segment.stream.Commit(encoded.size());
        if (!ParseOneBlockStream(segment.stream.data(), segment.stream.size(), &segment.block)) {
            error = EngineError::CodecError;
        }
    }
    segment.error = error;
}

void ParallelCompressor::Pump() {
    for (uint32_t span = e_.InputSpan(); span > 0; span = e_.InputSpan()) {
        const uint8_t* bytes = e_.reader.buffer + e_.reader.pos;
        size_t fed = 0;
        size_t scanned = 0;
        while (scanned < span) {
            const size_t start = scanned + scanner_.Scan(bytes + scanned, span - scanned);
            if (start == span) break;
            // A new block starts at `start`: what comes before it completes the current one.
            if (!Feed(bytes + fed, start - fed)) return;
            CloseSegment();
            fed = start;
            scanned = start + 1;
        }
        if (!Feed(bytes + fed, span - fed)) return;
        e_.Advance(span);  // the next chunk: read, filtered, one progress step, the stop check
        if (Halted() || !WriteReady()) return;
    }
    if (Halted()) return;
    if (current_ != nullptr) CloseSegment();
    if (!WaitFor([&] { return inFlight_.empty(); })) return;

    uint8_t end[16];
    size_t length = appender_.AppendValue(kEndMagic, kMagicBits, end);
    length += appender_.AppendValue(combinedCrc_, kCrcBits, end + length);
    length += appender_.Finish(end + length);
    e_.PutBytes(end, length);
}

bool ParallelCompressor::Feed(const uint8_t* bytes, size_t length) {
    while (length > 0) {
        if (current_ == nullptr && !OpenSegment()) return false;
        if (piece_ == nullptr && !TakePiece()) return false;
        const size_t take = std::min(length, kPieceSize - piece_->length);
        std::memcpy(piece_->bytes.get() + piece_->length, bytes, take);
        piece_->length += take;
        bytes += take;
        length -= take;
        if (piece_->length == kPieceSize) PushPiece();
    }
    return true;
}

bool ParallelCompressor::OpenSegment() {
    if (!WaitFor([&] { return inFlight_.size() < maxInFlight_; })) return false;
    Segment* segment = nullptr;
    if (!spareSegments_.empty()) {
        segment = spareSegments_.back();
        spareSegments_.pop_back();
    } else {
        std::unique_ptr<Segment> made(new (std::nothrow) Segment);
        if (!made) {
            Fail(EngineError::CodecMemory);
            return false;
        }
        segment = made.get();
        segments_.push_back(std::move(made));
    }
    segment->pending.clear();
    segment->closed = segment->taken = segment->finished = false;
    segment->error = EngineError::None;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight_.push_back(segment);
    }
    workersWake_.notify_all();
    current_ = segment;
    return true;
}

bool ParallelCompressor::TakePiece() {
    if (!WaitFor([&] { return !sparePieces_.empty() || piecesMade_ < maxPieces_; })) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sparePieces_.empty()) {
            piece_ = sparePieces_.back();
            sparePieces_.pop_back();
            piece_->length = 0;
            return true;
        }
        ++piecesMade_;
    }
    std::unique_ptr<Piece> made(new (std::nothrow) Piece);
    if (made) made->bytes.reset(new (std::nothrow) uint8_t[kPieceSize]);
    if (!made || !made->bytes) {
        Fail(EngineError::CodecMemory);
        return false;
    }
    piece_ = made.get();
    pieces_.push_back(std::move(made));
    return true;
}

void ParallelCompressor::PushPiece() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_->pending.push_back(piece_);
    }
    workersWake_.notify_all();
    piece_ = nullptr;
}

void ParallelCompressor::CloseSegment() {
    if (current_ == nullptr) return;
    if (piece_ != nullptr) PushPiece();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_->closed = true;
    }
    workersWake_.notify_all();
    current_ = nullptr;
}

// Waits until `ready` (checked under the lock) holds, writing out finished blocks meanwhile:
// writing the oldest block is what frees room for the next. False when the pass must end.
template <class Ready>
bool ParallelCompressor::WaitFor(Ready ready) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (ready()) return true;
        if (!inFlight_.empty() && inFlight_.front()->finished) {
            lock.unlock();
            if (!WriteFront()) return false;
            lock.lock();
            continue;
        }
        jobWake_.wait(lock);
    }
}

bool ParallelCompressor::WriteReady() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (inFlight_.empty() || !inFlight_.front()->finished) return true;
        }
        if (!WriteFront()) return false;
    }
}

bool ParallelCompressor::WriteFront() {
    // Between blocks as at every chunk: a stop is seen however little a block writes.
    if (!e_.StillRunning()) return false;
    Segment* segment = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        segment = inFlight_.front();
        inFlight_.pop_front();
    }
    spareSegments_.push_back(segment);
    if (segment->error != EngineError::None) {
        Fail(segment->error);
        return false;
    }
    const OneBlock& block = segment->block;
    if (!staging_.Reserve(block.blockBits / 8 + 2)) {
        Fail(EngineError::CodecMemory);
        return false;
    }
    // The block's bits follow the previous block's directly, wherever in a byte those ended.
    const size_t length =
        appender_.Append(segment->stream.data(), kHeaderBits, block.blockBits, staging_.data());
    combinedCrc_ = CombineBlockCrc(combinedCrc_, block.blockCrc);
    ++e_.passStats.blocks;
    e_.PutBytes(staging_.data(), length);
    return !Halted();
}

}  // namespace kavrin
