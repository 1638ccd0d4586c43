// SPDX-License-Identifier: MIT
#include "engine/pass/CodecStream.h"

#include <bzlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "engine/pass/ParallelCompress.h"
#include "engine/pass/ParallelExpand.h"
#include "engine/pass/PayloadDecoder.h"
#include "platform/Processors.h"

namespace kavrin {
namespace {

constexpr int kBlockSize100k = 9;

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

const char* DescribeEngineError(EngineError error) {
    switch (error) {
        case EngineError::None:
            return "no error";
        case EngineError::CodecMemory:
            return "not enough memory for the codec";
        case EngineError::CodecError:
            return "internal codec error";
        case EngineError::ReadError:
            return "read error";
        case EngineError::SourceChanged:
            return "the source changed while it was read";
        case EngineError::WriteError:
            return "write error";
        case EngineError::SourceTooLarge:
            return "file too large (archives hold files below 4 GiB)";
        case EngineError::InvalidRequest:
            return "invalid mode or type text";
        case EngineError::NotArchive:
            return "bad file format (not a Kavrin archive)";
        case EngineError::HeaderTruncated:
            return "truncated header";
        case EngineError::UnknownMode:
            return "damaged archive: unknown filter mode";
        case EngineError::StreamTruncated:
            return "truncated stream";
        case EngineError::StreamDamaged:
            return "damaged stream (CRC error or bad block)";
        case EngineError::SizeShort:
            return "damaged archive: it restores fewer bytes than its header gives";
        case EngineError::SizeLong:
            return "damaged archive: it holds more bytes than its header gives";
    }
    return "unknown error";
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

void EngineContext::BeginJob(Direction jobDirection, platform::FileHandle source,
                             platform::FileHandle destination, EngineObserver& jobObserver) {
    direction = jobDirection;
    reader.source = source;
    writer.destination = destination;
    observer = &jobObserver;
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

int EngineContext::NextByte() {
    if (InputSpan() == 0) return -1;
    int byte = reader.buffer[reader.pos];
    Advance(1);
    return byte;
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

void EngineContext::PutByte(uint8_t byte) {
    if (direction == Direction::Expand && writer.produced >= writer.cap) return;
    writer.buffer[writer.fill] = byte;
    AcceptOutput(1);
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
    if (!writer.failed && !platform::WriteFull(writer.destination, writer.buffer, writer.fill)) {
        FailWrite();
    }
    observer->SetLamps(LampPhase::Coding);
    writer.fill = 0;
}

bool EngineContext::CompressStream() {
    bz_stream stream{};
    if (BZ2_bzCompressInit(&stream, kBlockSize100k, 0, 0) != BZ_OK) {
        NoteError(EngineError::CodecMemory);
        return false;
    }
    // The first four output bytes are the stream header "BZh9", which archives leave out.
    char streamHeader[4];
    uint32_t headerLeft = sizeof streamHeader;
    auto run = [&](int action) {
        char* out = headerLeft > 0 ? streamHeader + (sizeof streamHeader - headerLeft)
                                   : reinterpret_cast<char*>(writer.buffer) + writer.fill;
        uint32_t room = headerLeft > 0 ? headerLeft : kChunkSize - writer.fill;
        stream.next_out = out;
        stream.avail_out = room;
        int result = BZ2_bzCompress(&stream, action);
        uint32_t written = room - stream.avail_out;
        if (headerLeft > 0) {
            headerLeft -= written;
        } else {
            AcceptOutput(written);
        }
        return result;
    };

    bool ok = true;
    // Every span goes in with BZ_RUN and the stream is finished with no input in the call: the
    // output then does not depend on how the input was cut into spans.
    for (uint32_t span = InputSpan(); ok && span > 0; span = InputSpan()) {
        stream.next_in = reinterpret_cast<char*>(reader.buffer) + reader.pos;
        stream.avail_in = span;
        while (stream.avail_in > 0) {
            if (run(BZ_RUN) != BZ_RUN_OK) {
                ok = false;
                break;
            }
        }
        Advance(span - stream.avail_in);
    }
    stream.avail_in = 0;
    while (ok) {
        int result = run(BZ_FINISH);
        if (result == BZ_STREAM_END) break;
        if (result != BZ_FINISH_OK) ok = false;
    }
    BZ2_bzCompressEnd(&stream);
    if (!ok) NoteError(EngineError::CodecError);
    return ok;
}

bool EngineContext::CompressPass() {
    return threads > 1 ? CompressInParallel(*this) : CompressStream();
}

bool EngineContext::ExpandPass() {
    return threads > 1 ? ExpandInParallel(*this) : ExpandStream();
}

bool EngineContext::ExpandStream() {
    PayloadDecoder decoder(*this);
    decoder.Start(false);
    size_t taken = 0;
    PayloadDecoder::Step step = PayloadDecoder::Step::NeedInput;
    while (step == PayloadDecoder::Step::NeedInput) {
        const uint32_t span = InputSpan();
        if (span == 0) {
            step = decoder.EndOfInput();
            break;
        }
        step = decoder.Decode(reader.buffer + reader.pos, span, &taken);
        Advance(static_cast<uint32_t>(taken));
    }
    return step == PayloadDecoder::Step::Finished;
}

}  // namespace kavrin
