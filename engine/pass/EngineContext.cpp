// SPDX-License-Identifier: MIT
#include "engine/pass/EngineContext.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/Processors.h"

namespace kavrin {
namespace {

std::atomic<uint32_t> g_defaultThreads{0};  // 0: the number of cores

uint32_t ClampThreads(uint32_t threads) {
    return std::clamp<uint32_t>(threads, 1, kMaxEngineThreads);
}

}  // namespace

uint32_t DefaultEngineThreads() {
    uint32_t threads = g_defaultThreads.load(std::memory_order_relaxed);
    if (threads == 0) threads = platform::UsableProcessors();
    return ClampThreads(threads);
}

void SetDefaultEngineThreads(uint32_t threads) {
    g_defaultThreads.store(threads == 0 ? 0 : ClampThreads(threads), std::memory_order_relaxed);
}

std::unique_ptr<EngineContext> EngineContext::Create() {
    std::unique_ptr<EngineContext> context(new (std::nothrow) EngineContext);
    if (!context) return nullptr;
    context->inputChunk_.reset(new (std::nothrow) uint8_t[kChunkSize]);
    context->outputChunk_.reset(new (std::nothrow) uint8_t[kChunkSize]);
    if (!context->inputChunk_ || !context->outputChunk_) return nullptr;
    context->reader.buffer = context->inputChunk_.get();
    context->writer.buffer = context->outputChunk_.get();
    context->threads = DefaultEngineThreads();
    return context;
}

void EngineContextDeleter::operator()(EngineContext* context) const {
    delete context;
}

EngineContextPtr CreateEngineContext() {
    return EngineContextPtr(EngineContext::Create().release());
}

void SetEngineThreads(EngineContext& engine, uint32_t threads) {
    engine.threads = ClampThreads(threads);
}

uint32_t EngineThreads(const EngineContext& engine) {
    return engine.threads;
}

PassStats LastPassStats(const EngineContext& engine) {
    return engine.passStats;
}

void EngineContext::BeginJob(Direction jobDirection, platform::FileHandle source,
                             OutputSink& destination, EngineObserver& jobObserver,
                             ExpansionListener* jobListener) {
    direction = jobDirection;
    reader.source = source;
    writer.destination = &destination;
    observer = &jobObserver;
    listener = jobListener;
    ResetCounters();
    reader.budget = 0;
    reader.failed = false;
    writer.cap = 0;
    writer.failed = false;
    delta.decodeFirst = false;
    error = EngineError::None;
    systemError = 0;
    stopped_ = false;
    passStats = PassStats{};
}

void EngineContext::ResetCounters() {
    reader.pos = 0;
    reader.consumed = 0;
    writer.fill = 0;
    writer.produced = 0;
}

void EngineContext::NoteError(EngineError why) {
    if (error == EngineError::None) error = why;
}

void EngineContext::FailRead(EngineError why) {
    if (why == EngineError::ReadError && error == EngineError::None) systemError = errno;
    NoteError(why);
    reader.failed = true;
    reader.budget = reader.consumed;
}

void EngineContext::FailWrite() {
    if (error == EngineError::None) systemError = errno;
    NoteError(EngineError::WriteError);
    writer.failed = true;
    reader.budget = reader.consumed;
}

bool EngineContext::StillRunning() {
    if (!stopped_ && !observer->IsRunning()) stopped_ = true;
    return !stopped_;
}

void EngineContext::Refill(bool first) {
    if (!observer->IsRunning()) {
        stopped_ = true;
        reader.budget = 0;
        reader.pos = 0;
        return;
    }
    observer->SetLamps(LampPhase::Transfer);
    // Read exactly what the budget still allows of this chunk: a file that ends sooner has
    // changed under us, and the codec must never see the previous chunk's bytes instead.
    uint64_t need = reader.budget > reader.consumed
                        ? std::min<uint64_t>(kChunkSize, reader.budget - reader.consumed)
                        : 0;
    int64_t got = need > 0 ? platform::ReadFull(reader.source, reader.buffer, need) : 0;
    reader.pos = 0;
    if (got < 0) {
        FailRead(EngineError::ReadError);
    } else if (static_cast<uint64_t>(got) < need) {
        FailRead(EngineError::SourceChanged);
    } else if (direction == Direction::Compress) {
        DeltaEncode(mode, reader.buffer, static_cast<size_t>(got), first, delta);
    }
    observer->SetLamps(LampPhase::Coding);
    observer->StepProgress();
}

uint32_t EngineContext::InputSpan() const {
    if (reader.consumed >= reader.budget) return 0;
    return static_cast<uint32_t>(
        std::min<uint64_t>(kChunkSize - reader.pos, reader.budget - reader.consumed));
}

void EngineContext::Advance(uint32_t taken) {
    reader.pos += taken;
    reader.consumed += taken;
    // The next chunk is loaded as soon as this one is used up, even when the budget has just
    // been reached (that refill then reads nothing).
    if (reader.pos == kChunkSize) Refill(false);
}

void EngineContext::AcceptOutput(uint32_t length) {
    writer.fill += length;
    writer.produced += length;
    if (writer.fill == kChunkSize) Flush();
}

void EngineContext::PutBytes(const uint8_t* bytes, size_t length) {
    while (length > 0 && !Halted()) {
        const size_t take = std::min<size_t>(length, kChunkSize - writer.fill);
        std::memcpy(writer.buffer + writer.fill, bytes, take);
        AcceptOutput(static_cast<uint32_t>(take));
        bytes += take;
        length -= take;
    }
}

void EngineContext::Flush() {
    if (writer.fill == 0) return;
    if (!observer->IsRunning()) {
        stopped_ = true;
        writer.fill = 0;
        return;
    }
    observer->SetLamps(LampPhase::Transfer);
    if (direction == Direction::Expand) DeltaDecode(mode, writer.buffer, writer.fill, delta);
    if (direction == Direction::Expand && listener) {
        listener->OnRestored(writer.buffer, writer.fill);  // kvn mount's index
    }
    if (!writer.failed && !writer.destination->Write(writer.buffer, writer.fill)) {
        FailWrite();
    }
    observer->SetLamps(LampPhase::Coding);
    writer.fill = 0;
}

}  // namespace kavrin
