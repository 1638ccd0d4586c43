// SPDX-License-Identifier: MIT
#include "jobs/Verify.h"

#include <cerrno>
#include <memory>
#include <new>

namespace kavrin {
namespace {

// Compares each restored chunk with the source at the same place. At the first difference, or
// when the source cannot be read, it takes no more: the engine stops writing at once.
class CompareSink final : public OutputSink {
public:
    CompareSink(platform::FileHandle source, uint8_t* original)
        : source_(source), original_(original) {}

    bool Write(const uint8_t* bytes, size_t length) override {
        const int64_t read = platform::ReadFull(source_, original_, length);
        if (read < 0) return Settle(VerifyResult::SourceError, offset_);
        const auto common = static_cast<size_t>(read);
        size_t same = 0;
        while (same < common && bytes[same] == original_[same]) ++same;
        if (same < length) return Settle(VerifyResult::Mismatch, offset_ + same);
        offset_ += length;
        return true;
    }

    // Everything restored matched: the source must end here too.
    void CheckEnd() {
        if (settled_) return;
        uint8_t more = 0;
        const int64_t read = platform::ReadFull(source_, &more, 1);
        if (read < 0) Settle(VerifyResult::SourceError, offset_);
        if (read > 0) Settle(VerifyResult::Mismatch, offset_);
    }

    bool settled() const { return settled_; }
    VerifyResult result() const { return result_; }
    uint64_t offset() const { return differsAt_; }

private:
    bool Settle(VerifyResult result, uint64_t at) {
        settled_ = true;
        result_ = result;
        differsAt_ = at;
        errno = 0;
        return false;
    }

    platform::FileHandle source_;
    uint8_t* original_;
    uint64_t offset_ = 0;
    bool settled_ = false;
    VerifyResult result_ = VerifyResult::Match;
    uint64_t differsAt_ = 0;
};

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
    std::unique_ptr<uint8_t[]> original(new (std::nothrow) uint8_t[kChunkSize]);
    if (!original) {
        platform::CloseFile(archive);
        report.result = VerifyResult::NoResources;
        return report;
    }

    // The job's observer decides whether the job goes on; the verification shows no progress.
    class QuietObserver final : public EngineObserver {
    public:
        explicit QuietObserver(EngineObserver& job) : job_(job) {}
        bool IsRunning() override { return job_.IsRunning(); }
        void BeginProgress(uint32_t) override {}
        void StepProgress() override {}
        void ResetProgress() override {}
        void SetLamps(LampPhase) override {}
        void SetAnalysisLamp(bool) override {}

    private:
        EngineObserver& job_;
    } observer(job);

    CompareSink compare(source, original.get());
    const JobOutcome outcome = ExpandJob(engine, archive, compare, observer);
    platform::CloseFile(archive);

    if (compare.settled()) {
        report.result = compare.result();
        report.offset = compare.offset();
    } else if (!job.IsRunning()) {
        report.result = VerifyResult::Cancelled;
    } else if (outcome.result != JobResult::Done) {
        report.result = VerifyResult::Undecodable;
        report.engineError = outcome.status.code();
    } else {
        compare.CheckEnd();
        report.result = compare.result();
        report.offset = compare.offset();
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
            return "verification failed: not enough memory";
    }
    return "verification failed";
}

}  // namespace kavrin
