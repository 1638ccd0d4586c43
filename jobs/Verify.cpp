// SPDX-License-Identifier: MIT
#include "jobs/Verify.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "engine/pass/JobProcedures.h"

namespace kavrin {
namespace {

// Stops the decoder as soon as the comparison has its answer, or when the batch is stopped.
class VerifyObserver : public EngineObserver {
public:
    VerifyObserver(const std::atomic<bool>& settled, EngineObserver& job)
        : settled_(settled), job_(job) {}
    bool IsRunning() override { return !settled_.load() && job_.IsRunning(); }
    void BeginProgress(uint32_t) override {}
    void StepProgress() override {}
    void ResetProgress() override {}
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool) override {}

private:
    const std::atomic<bool>& settled_;
    EngineObserver& job_;
};

// What the comparing thread found.
struct Comparison {
    std::atomic<bool> settled{false};  // a difference or a read error is known
    VerifyResult result = VerifyResult::Match;
    uint64_t offset = 0;
};

// Reads the decoded bytes from `pipe` until it ends and compares them with `source`. After a
// difference it keeps draining the pipe, so the decoder can never block on a full pipe.
void Compare(platform::FileHandle pipe, platform::FileHandle source, Comparison& comparison,
             uint8_t* decoded, uint8_t* original) {
    uint64_t offset = 0;
    bool settled = false;
    auto settle = [&](VerifyResult result, uint64_t at) {
        comparison.result = result;
        comparison.offset = at;
        settled = true;
        comparison.settled.store(true);
    };
    for (;;) {
        int64_t got = platform::ReadFull(pipe, decoded, kChunkSize);
        if (got <= 0) break;  // the decoder closed its end (or the pipe failed: it stops too)
        if (settled) continue;
        const auto length = static_cast<size_t>(got);
        int64_t read = platform::ReadFull(source, original, length);
        if (read < 0) {
            settle(VerifyResult::SourceError, offset);
            continue;
        }
        size_t same = 0;
        const auto common = static_cast<size_t>(read);
        while (same < common && decoded[same] == original[same]) ++same;
        if (same < length) {
            settle(VerifyResult::Mismatch, offset + same);
            continue;
        }
        offset += length;
    }
    if (settled) return;
    // Everything decoded matched; the source must end here too.
    int64_t more = platform::ReadFull(source, original, 1);
    if (more < 0) {
        comparison.result = VerifyResult::SourceError;
    } else if (more > 0) {
        comparison.result = VerifyResult::Mismatch;
        comparison.offset = offset;
    }
}

}  // namespace

VerifyReport VerifyArchive(EngineContext& engine, const std::string& archivePath,
                           platform::FileHandle source, EngineObserver& job) {
    VerifyReport report;
    platform::FileHandle archive = platform::OpenForRead(archivePath);
    if (archive == platform::kInvalidFile) {
        report.engineError = EngineError::ReadError;
        return report;
    }
    if (!platform::SeekTo(source, 0)) {
        platform::CloseFile(archive);
        report.result = VerifyResult::SourceError;
        return report;
    }
    std::unique_ptr<uint8_t[]> decoded(new (std::nothrow) uint8_t[kChunkSize]);
    std::unique_ptr<uint8_t[]> original(new (std::nothrow) uint8_t[kChunkSize]);
    platform::FileHandle readEnd = platform::kInvalidFile, writeEnd = platform::kInvalidFile;
    if (!decoded || !original || !platform::MakePipe(&readEnd, &writeEnd)) {
        platform::CloseFile(archive);
        report.result = VerifyResult::NoResources;
        return report;
    }

    Comparison comparison;
    std::thread comparer;
    try {
        comparer = std::thread(Compare, readEnd, source, std::ref(comparison), decoded.get(),
                               original.get());
    } catch (const std::system_error&) {
        // Out of threads: reported as a value like every other failure.
        platform::CloseFile(readEnd);
        platform::CloseFile(writeEnd);
        platform::CloseFile(archive);
        report.result = VerifyResult::NoResources;
        return report;
    }

    VerifyObserver observer(comparison.settled, job);
    JobOutcome outcome = ExpandJob(engine, archive, writeEnd, observer);
    platform::CloseFile(writeEnd);  // the comparer sees the end of the decoded bytes
    comparer.join();
    platform::CloseFile(readEnd);
    platform::CloseFile(archive);

    if (comparison.settled.load()) {
        report.result = comparison.result;
        report.offset = comparison.offset;
    } else if (!job.IsRunning()) {
        report.result = VerifyResult::Cancelled;
    } else if (outcome.result != JobResult::Done) {
        report.result = VerifyResult::Undecodable;
        report.engineError = outcome.error;
    } else {
        report.result = comparison.result;
        report.offset = comparison.offset;
    }
    return report;
}

std::string DescribeVerify(const VerifyReport& report) {
    switch (report.result) {
        case VerifyResult::Match:
            return "verified";
        case VerifyResult::Mismatch:
            return "verification failed: the archive differs from the source at byte " +
                   std::to_string(report.offset);
        case VerifyResult::Undecodable:
            return std::string("verification failed: the archive does not decode (") +
                   DescribeEngineError(report.engineError) + ")";
        case VerifyResult::SourceError:
            return "verification failed: the source could not be read again";
        case VerifyResult::Cancelled:
            return "verification canceled";
        case VerifyResult::NoResources:
            return "verification failed: not enough memory or threads";
    }
    return "verification failed";
}

}  // namespace kavrin
