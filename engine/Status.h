// SPDX-License-Identifier: MIT
// How an operation failed, in one value: what kind of failure it is (which tells a caller what
// it may do about it), the engine's reason where the engine failed, the system's errno where the
// system refused, and one English message. The engine, the job pipeline, kvn (its exit
// statuses), the window and kvn mount all read failures through it, so the question "is this the
// machine or the data?" is answered in one place (KindOf and IsMachineError below) and every
// message is written once.
//
// A plain value: copy it, keep it; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kavrin {

// What a caller may do about a failure.
enum class FailureKind : uint8_t {
    None = 0,  // no failure
    Damage,    // the data is wrong (a damaged or foreign archive): the same input fails again
    Refused,   // the request cannot be served as asked (not permitted, invalid)
    Machine,   // the machine lacked something (memory, descriptors, room, a network file
               // system's answer) or the file was changing: worth trying again
    Stopped,   // the job was stopped
};

// Why the engine failed a job.
enum class EngineError {
    None,
    CodecMemory,      // the codec could not start
    CodecError,       // the codec reported an internal error
    ReadError,        // a read failed
    SourceChanged,    // the source changed while it was read (a short read, or new times)
    WriteError,       // a write failed (disk full, I/O error)
    InvalidRequest,   // a mode above 5 or a type text above 255 bytes
    NotArchive,       // no "KVN1" or "KVN2" magic
    HeaderTruncated,  // the file ends inside the header
    UnknownMode,      // the header's mode byte is none of 1 to 5: no writer stores that
    StreamTruncated,  // the input ended before the end-of-stream marker
    StreamDamaged,    // a block or stream CRC mismatch, or any other format error
    SizeShort,        // the payload restores fewer bytes than the header's size
    SizeLong,         // the payload holds more than the header's size
    TrailingBytes,    // bytes follow the stream that restores the header's size
};

// Whether a failed system call's errno says the machine lacked something for now (memory,
// descriptors, room on a disk, an answer from a network file system, an I/O error) rather than
// that the request itself cannot be done. The one rule every front end follows.
bool IsMachineError(int systemError);

// A short English description of an engine error, without details.
const char* DescribeEngineError(EngineError error);

class Status {
public:
    // Success.
    Status() = default;

    // The engine failed for `error`; `systemError` is the errno of a failed read or write.
    static Status Engine(EngineError error, int systemError = 0);
    // The payload restores `restored` bytes where the header gives `headerSize`.
    static Status SizeShort(uint64_t restored, uint64_t headerSize);
    // The payload holds more than the `headerSize` bytes its header gives.
    static Status SizeLong(uint64_t headerSize);
    // `count` bytes follow the end of the payload's last stream.
    static Status TrailingBytes(uint64_t count);
    // The header's mode byte `mode` is none a writer stores.
    static Status UnknownMode(uint32_t mode);
    // A system call failed with `systemError` while doing `what` ("read error", "can't open the
    // archive"): a Machine or a Refused failure by IsMachineError, message "what: reason".
    static Status System(int systemError, const std::string& what);
    // Any other failure, with its own message.
    static Status Failure(FailureKind kind, const std::string& message, int systemError = 0);
    static Status Stop();

    bool ok() const { return kind_ == FailureKind::None; }
    FailureKind kind() const { return kind_; }
    bool IsDamage() const { return kind_ == FailureKind::Damage; }
    bool IsMachine() const { return kind_ == FailureKind::Machine; }
    // The engine's reason (None for failures outside the engine and for success).
    EngineError code() const { return code_; }
    // The errno behind the failure, or that says it (ENOMEM for the codec's memory, ESTALE for a
    // source that changed); 0 when there is none.
    int systemError() const { return systemError_; }
    // One English sentence without any file name: "damaged stream (CRC error or bad block)",
    // "write error: No space left on device". Empty for success.
    const std::string& message() const { return message_; }

private:
    Status(FailureKind kind, EngineError code, int systemError, std::string message);

    FailureKind kind_ = FailureKind::None;
    EngineError code_ = EngineError::None;
    int systemError_ = 0;
    std::string message_;
};

// The kind of an engine error; ReadError and WriteError follow their errno.
FailureKind KindOf(EngineError error, int systemError);

}  // namespace kavrin
