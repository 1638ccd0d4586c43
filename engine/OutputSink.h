// SPDX-License-Identifier: MIT
// Where a job's output goes: a file, memory, or nowhere. The engine hands every output chunk to
// its sink in order, once; a sink that fails keeps the job's first error (the engine stops
// writing after it). `kvn test` and the mount's index build restore into a DiscardSink, the
// verification of a new archive into a sink that compares, a program that wants the bytes into
// a MemorySink.
//
// Threads: a sink is written by the job's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/File.h"

namespace kavrin {

class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Takes all `length` bytes. False when they could not be taken, with errno telling why.
    virtual bool Write(const uint8_t* bytes, size_t length) = 0;
};

// Writes to an open file the caller owns, at its current position.
class FileSink final : public OutputSink {
public:
    explicit FileSink(platform::FileHandle file) : file_(file) {}
    bool Write(const uint8_t* bytes, size_t length) override {
        return platform::WriteFull(file_, bytes, length);
    }

private:
    platform::FileHandle file_;
};

// Takes everything and keeps nothing.
class DiscardSink final : public OutputSink {
public:
    bool Write(const uint8_t*, size_t) override { return true; }
};

// Keeps everything in memory, up to `limit` bytes: more fails with EFBIG, memory that cannot be
// had with ENOMEM.
class MemorySink final : public OutputSink {
public:
    explicit MemorySink(size_t limit = SIZE_MAX) : limit_(limit) {}
    bool Write(const uint8_t* bytes, size_t length) override;
    const std::string& bytes() const { return bytes_; }

private:
    size_t limit_;
    std::string bytes_;
};

}  // namespace kavrin
