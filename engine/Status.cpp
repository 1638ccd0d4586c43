// SPDX-License-Identifier: MIT
#include "engine/Status.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace kavrin {

bool IsMachineError(int systemError) {
    switch (systemError) {
        case EIO:
        case ENOSPC:
        case EDQUOT:
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case EAGAIN:
        case EINTR:
        case EBUSY:
        case ETIMEDOUT:
        case ENOBUFS:
        case ESTALE:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ECONNRESET:
        case ECONNABORTED:
            return true;
        default:
            return false;
    }
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
        case EngineError::TrailingBytes:
            return "damaged archive: bytes follow its payload";
    }
    return "unknown error";
}

FailureKind KindOf(EngineError error, int systemError) {
    switch (error) {
        case EngineError::None:
            return FailureKind::None;
        case EngineError::CodecMemory:
        case EngineError::SourceChanged:
            return FailureKind::Machine;
        case EngineError::ReadError:
        case EngineError::WriteError:
            return IsMachineError(systemError) ? FailureKind::Machine : FailureKind::Refused;
        case EngineError::CodecError:
        case EngineError::InvalidRequest:
            return FailureKind::Refused;
        case EngineError::NotArchive:
        case EngineError::HeaderTruncated:
        case EngineError::UnknownMode:
        case EngineError::StreamTruncated:
        case EngineError::StreamDamaged:
        case EngineError::SizeShort:
        case EngineError::SizeLong:
        case EngineError::TrailingBytes:
            return FailureKind::Damage;
    }
    return FailureKind::Refused;
}

Status::Status(FailureKind kind, EngineError code, int systemError, std::string message)
    : kind_(kind), code_(code), systemError_(systemError), message_(std::move(message)) {}

Status Status::Engine(EngineError error, int systemError) {
    if (error == EngineError::None) return Status();
    std::string message = DescribeEngineError(error);
    const bool io = error == EngineError::ReadError || error == EngineError::WriteError;
    if (io && systemError != 0) message += std::string(": ") + std::strerror(systemError);
    // The errno that says the same to a caller that speaks in errno values (kvn mount).
    if (error == EngineError::CodecMemory) systemError = ENOMEM;
    if (error == EngineError::SourceChanged) systemError = ESTALE;
    if (!io && error != EngineError::CodecMemory && error != EngineError::SourceChanged) {
        systemError = 0;
    }
    return Status(KindOf(error, systemError), error, systemError, std::move(message));
}

Status Status::SizeShort(uint64_t restored, uint64_t headerSize) {
    return Status(FailureKind::Damage, EngineError::SizeShort, 0,
                  "damaged archive: it restores " + std::to_string(restored) +
                      " bytes, but its header gives " + std::to_string(headerSize));
}

Status Status::SizeLong(uint64_t headerSize) {
    return Status(FailureKind::Damage, EngineError::SizeLong, 0,
                  "damaged archive: it holds more than the " + std::to_string(headerSize) +
                      " bytes its header gives");
}

Status Status::TrailingBytes(uint64_t count) {
    return Status(FailureKind::Damage, EngineError::TrailingBytes, 0,
                  "damaged archive: " + std::to_string(count) +
                      (count == 1 ? " byte follows" : " bytes follow") + " its payload");
}

Status Status::UnknownMode(uint32_t mode) {
    return Status(
        FailureKind::Damage, EngineError::UnknownMode, 0,
        std::string(DescribeEngineError(EngineError::UnknownMode)) + " " + std::to_string(mode));
}

Status Status::System(int systemError, const std::string& what) {
    if (systemError == 0) systemError = EIO;
    return Status(IsMachineError(systemError) ? FailureKind::Machine : FailureKind::Refused,
                  EngineError::None, systemError, what + ": " + std::strerror(systemError));
}

Status Status::Failure(FailureKind kind, const std::string& message, int systemError) {
    return Status(kind, EngineError::None, systemError, message);
}

Status Status::Stop() {
    return Status(FailureKind::Stopped, EngineError::None, 0, "stopped");
}

}  // namespace kavrin
