// SPDX-License-Identifier: MIT
// Checking an archive just written against the file it was made from: the engine decodes the
// archive into a sink that compares each restored chunk with the same stretch of the source, and
// stops at the first difference. Neither file is ever held whole in memory.
//
// Runs on the calling thread (the job's); the engine context must not be busy with another job.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Engine.h"
#include "platform/File.h"

namespace kavrin {

enum class VerifyResult {
    Match,        // the archive restores the source byte for byte
    Mismatch,     // it decodes, but to other bytes (or another length)
    Undecodable,  // it does not decode: damaged, truncated, or it could not be read
    SourceError,  // the source could not be read back
    Cancelled,    // the batch was interrupted
    NoResources,  // no memory for the comparison
};

struct VerifyReport {
    VerifyResult result = VerifyResult::Undecodable;
    uint64_t offset = 0;                          // Mismatch: the first byte that differs
    EngineError engineError = EngineError::None;  // Undecodable: why
};

// Decodes the archive at `archivePath` and compares it with `source` from its first byte (the
// source is read from there again). The job's observer is asked at every chunk whether the job
// is still wanted; nothing else of it is called.
VerifyReport VerifyArchive(EngineContext& engine, const std::string& archivePath,
                           platform::FileHandle source, EngineObserver& job);

// A short English text for a result, for messages.
std::string DescribeVerify(const VerifyReport& report);

}  // namespace kavrin
