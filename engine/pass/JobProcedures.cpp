// SPDX-License-Identifier: MIT
// The body of one job: the header, one codec pass over the context's chunk I/O, and the
// outcome.
#include <cerrno>

#include "engine/Engine.h"
#include "engine/format/ArchiveFormat.h"
#include "engine/pass/AutoMode.h"
#include "engine/pass/CompressPass.h"
#include "engine/pass/EngineContext.h"
#include "engine/pass/ExpandPass.h"

namespace kavrin {
namespace {

// The failure the context recorded, with what its message needs to say.
Status FailureOf(const EngineContext& engine, DeltaMode mode) {
    switch (engine.error) {
        case EngineError::SizeShort:
            return Status::SizeShort(engine.writer.produced, engine.writer.cap);
        case EngineError::SizeLong:
            return Status::SizeLong(engine.writer.cap);
        case EngineError::UnknownMode:
            return Status::UnknownMode(static_cast<uint32_t>(mode));
        case EngineError::TrailingBytes:
            return Status::TrailingBytes(engine.reader.budget - engine.reader.consumed);
        default:
            return Status::Engine(engine.error, engine.systemError);
    }
}

JobOutcome Outcome(const EngineContext& engine, JobResult result, DeltaMode mode) {
    JobOutcome outcome;
    outcome.result = result;
    if (result == JobResult::Failed) outcome.status = FailureOf(engine, mode);
    if (result == JobResult::Cancelled) outcome.status = Status::Stop();
    outcome.mode = mode;
    outcome.bytesRead = engine.reader.consumed;
    outcome.bytesWritten = engine.writer.produced;
    outcome.headerSize = engine.direction == Direction::Expand ? engine.writer.cap : 0;
    return outcome;
}

// Writes the archive header through the job's sink. False when the write failed.
bool WriteArchiveHeader(OutputSink& destination, const std::string& typeText, uint8_t deltaMode,
                        uint64_t sourceSize) {
    const std::string header = EncodeArchiveHeader(typeText, deltaMode, sourceSize);
    return destination.Write(reinterpret_cast<const uint8_t*>(header.data()), header.size());
}

bool IoFailed(const EngineContext& engine) {
    return engine.reader.failed || engine.writer.failed;
}

}  // namespace

JobOutcome CompressJob(EngineContext& engine, platform::FileHandle source, OutputSink& destination,
                       DeltaMode mode, const std::string& typeText, EngineObserver& observer) {
    engine.BeginJob(Direction::Compress, source, destination, observer, nullptr);
    engine.mode = mode;
    if (static_cast<uint32_t>(mode) > 5 || typeText.size() > kMaxTypeText) {
        engine.error = EngineError::InvalidRequest;
        return Outcome(engine, JobResult::Failed, mode);
    }
    // The header holds any size a file can have: the size is read for the Auto trial's
    // length and again after it, for the header.
    uint64_t length = 0;
    if (!platform::GetFileSize(source, &length)) {
        engine.error = EngineError::ReadError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, mode);
    }

    if (mode == DeltaMode::Auto) RunAutoTrial(engine);

    if (!platform::GetFileSize(source, &length)) {
        engine.error = EngineError::ReadError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    const uint64_t sourceSize = length;
    engine.reader.budget = sourceSize;

    if (!WriteArchiveHeader(destination, typeText,
                            static_cast<uint8_t>(static_cast<uint32_t>(engine.mode)), sourceSize)) {
        engine.writer.failed = true;
        engine.error = EngineError::WriteError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    observer.BeginProgress(static_cast<uint32_t>(sourceSize / kChunkSize + 1));
    engine.Refill(true);
    bool ok = CompressPass(engine);
    engine.Flush();

    if (!ok || IoFailed(engine)) return Outcome(engine, JobResult::Failed, engine.mode);
    if (!observer.IsRunning()) return Outcome(engine, JobResult::Cancelled, engine.mode);
    return Outcome(engine, JobResult::Done, engine.mode);
}

JobOutcome ExpandJob(EngineContext& engine, platform::FileHandle source, OutputSink& destination,
                     EngineObserver& observer, ExpansionListener* listener) {
    engine.BeginJob(Direction::Expand, source, destination, observer, listener);
    engine.mode = DeltaMode::None;
    uint64_t length = 0;
    if (!platform::GetFileSize(source, &length)) {
        engine.error = EngineError::ReadError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }

    ArchiveHeader header;
    const HeaderStatus read = ReadArchiveHeader(source, &header);
    const Status verdict = CheckArchiveHeader(read, header, errno);
    if (read == HeaderStatus::Ok) engine.mode = static_cast<DeltaMode>(header.deltaMode);
    if (!verdict.ok()) {
        engine.error = verdict.code();
        engine.systemError = verdict.systemError();
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    engine.writer.cap = header.sourceSize;
    engine.reader.budget = length > header.headerLength ? length - header.headerLength : 0;

    observer.BeginProgress(static_cast<uint32_t>(engine.reader.budget / kChunkSize + 1));
    engine.delta.decodeFirst = true;
    engine.Refill(false);
    bool ok = ExpandPass(engine);
    engine.Flush();

    // A stop cuts the input off, so a stopped expansion also fails to decode: it is Cancelled.
    if (!observer.IsRunning()) return Outcome(engine, JobResult::Cancelled, engine.mode);
    if (!ok || IoFailed(engine)) return Outcome(engine, JobResult::Failed, engine.mode);
    // The archive ends where the stream that restores its size ends: anything after it (another
    // file's archive appended, a stream the size does not cover) is damage, not padding.
    if (engine.reader.consumed < engine.reader.budget) {
        engine.error = EngineError::TrailingBytes;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    return Outcome(engine, JobResult::Done, engine.mode);
}

}  // namespace kavrin
