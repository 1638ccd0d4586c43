// SPDX-License-Identifier: MIT
#include "engine/pass/JobProcedures.h"

#include <cerrno>
#include <cstring>

#include "engine/format/ArchiveFormat.h"

namespace kavrin {
namespace {

JobOutcome Outcome(const EngineContext& engine, JobResult result, DeltaMode mode) {
    JobOutcome outcome;
    outcome.result = result;
    outcome.error = result == JobResult::Failed ? engine.error : EngineError::None;
    outcome.systemError = result == JobResult::Failed ? engine.systemError : 0;
    outcome.mode = mode;
    outcome.bytesRead = engine.reader.consumed;
    outcome.bytesWritten = engine.writer.produced;
    outcome.headerSize = engine.direction == Direction::Expand ? engine.writer.cap : 0;
    return outcome;
}

bool IoFailed(const EngineContext& engine) {
    return engine.reader.failed || engine.writer.failed;
}

}  // namespace

std::string DescribeFailure(const JobOutcome& outcome) {
    switch (outcome.error) {
        case EngineError::SizeShort:
            return "damaged archive: it restores " + std::to_string(outcome.bytesWritten) +
                   " bytes, but its header gives " + std::to_string(outcome.headerSize);
        case EngineError::SizeLong:
            return "damaged archive: it holds more than the " + std::to_string(outcome.headerSize) +
                   " bytes its header gives";
        case EngineError::UnknownMode:
            return std::string(DescribeEngineError(outcome.error)) + " " +
                   std::to_string(static_cast<uint32_t>(outcome.mode));
        case EngineError::ReadError:
        case EngineError::WriteError:
            if (outcome.systemError != 0) {
                return std::string(DescribeEngineError(outcome.error)) + ": " +
                       std::strerror(outcome.systemError);
            }
            return DescribeEngineError(outcome.error);
        default:
            return DescribeEngineError(outcome.error);
    }
}

JobOutcome CompressJob(EngineContext& engine, platform::FileHandle source,
                       platform::FileHandle destination, DeltaMode mode,
                       const std::string& typeText, EngineObserver& observer) {
    engine.BeginJob(Direction::Compress, source, destination, observer);
    engine.mode = mode;
    if (static_cast<uint32_t>(mode) > 5 || typeText.size() > kMaxTypeText) {
        engine.error = EngineError::InvalidRequest;
        return Outcome(engine, JobResult::Failed, mode);
    }
    // A size the header cannot hold is refused before anything is written: a length stored
    // modulo 2^32 would restore a truncated file.
    uint64_t length = 0;
    if (!platform::GetFileSize(source, &length)) {
        engine.error = EngineError::ReadError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, mode);
    }
    if (length > kMaxSourceSize) {
        engine.error = EngineError::SourceTooLarge;
        return Outcome(engine, JobResult::Failed, mode);
    }

    if (mode == DeltaMode::Auto) RunAutoTrial(engine);

    if (!platform::GetFileSize(source, &length) || length > kMaxSourceSize) {
        engine.error =
            length > kMaxSourceSize ? EngineError::SourceTooLarge : EngineError::ReadError;
        engine.systemError = length > kMaxSourceSize ? 0 : errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    const auto sourceSize = static_cast<uint32_t>(length);
    engine.reader.budget = sourceSize;

    if (!WriteArchiveHeader(destination, typeText,
                            static_cast<uint8_t>(static_cast<uint32_t>(engine.mode)), sourceSize)) {
        engine.writer.failed = true;
        engine.error = EngineError::WriteError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    observer.BeginProgress(sourceSize / kChunkSize + 1);
    engine.Refill(true);
    bool ok = engine.CompressPass();
    engine.Flush();

    if (!ok || IoFailed(engine)) return Outcome(engine, JobResult::Failed, engine.mode);
    if (!observer.IsRunning()) return Outcome(engine, JobResult::Cancelled, engine.mode);
    return Outcome(engine, JobResult::Done, engine.mode);
}

JobOutcome ExpandJob(EngineContext& engine, platform::FileHandle source,
                     platform::FileHandle destination, EngineObserver& observer) {
    engine.BeginJob(Direction::Expand, source, destination, observer);
    engine.mode = DeltaMode::None;
    uint64_t length = 0;
    if (!platform::GetFileSize(source, &length)) {
        engine.error = EngineError::ReadError;
        engine.systemError = errno;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }

    ArchiveHeader header;
    switch (ReadArchiveHeader(source, &header)) {
        case HeaderStatus::Ok:
            break;
        case HeaderStatus::NotArchive:
            engine.error = EngineError::NotArchive;
            return Outcome(engine, JobResult::Failed, engine.mode);
        case HeaderStatus::Truncated:
            engine.error = EngineError::HeaderTruncated;
            return Outcome(engine, JobResult::Failed, engine.mode);
        case HeaderStatus::ReadError:
            engine.error = EngineError::ReadError;
            engine.systemError = errno;
            return Outcome(engine, JobResult::Failed, engine.mode);
    }
    engine.mode = static_cast<DeltaMode>(header.deltaMode);
    // No writer stores another mode: such a byte is damage, and restoring the filtered bytes
    // as if they were the file would be a wrong answer.
    if (!IsStoredDeltaMode(header.deltaMode)) {
        engine.error = EngineError::UnknownMode;
        return Outcome(engine, JobResult::Failed, engine.mode);
    }
    engine.writer.cap = header.sourceSize;
    engine.reader.budget = length > header.headerLength ? length - header.headerLength : 0;

    observer.BeginProgress(static_cast<uint32_t>(engine.reader.budget / kChunkSize + 1));
    engine.delta.decodeFirst = true;
    engine.Refill(false);
    bool ok = engine.ExpandPass();
    engine.Flush();

    // A stop cuts the input off, so a stopped expansion also fails to decode: it is Cancelled.
    if (!observer.IsRunning()) return Outcome(engine, JobResult::Cancelled, engine.mode);
    if (!ok || IoFailed(engine)) return Outcome(engine, JobResult::Failed, engine.mode);
    return Outcome(engine, JobResult::Done, engine.mode);
}

}  // namespace kavrin
