#include "cli/BatchJob.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/Display.h"
#include "cli/Verify.h"
#include "engine/JobProcedures.h"
#include "jobs/Naming.h"

namespace kavrin::cli {
namespace {

// Turns the engine's chunk steps into bytes of the batch's progress. The Auto trial's steps are
// taken back when it resets the display, so the bytes only ever count the main pass.
class BatchObserver : public EngineObserver {
public:
    BatchObserver(uint64_t size, std::atomic<uint64_t>& bytesDone, bool (*stillWanted)())
        : size_(size), bytesDone_(bytesDone), stillWanted_(stillWanted) {}

    bool IsRunning() override { return stillWanted_(); }
    void BeginProgress(uint32_t) override { Retract(); }
    void StepProgress() override { Count(std::min<uint64_t>(kChunkSize, size_ - counted_)); }
    void ResetProgress() override { Retract(); }
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool) override {}

    // The job is over: the whole file counts as done, whatever its outcome.
    void Finish() { Count(size_ - counted_); }

private:
    void Count(uint64_t bytes) {
        counted_ += bytes;
        bytesDone_.fetch_add(bytes);
    }
    void Retract() {
        bytesDone_.fetch_sub(counted_);
        counted_ = 0;
    }

    uint64_t size_;
    uint64_t counted_ = 0;
    std::atomic<uint64_t>& bytesDone_;
    bool (*stillWanted_)();
};

void Fail(ItemOutcome& outcome, const std::string& message) {
    outcome.result = ItemResult::Failed;
    outcome.action = "error";
    outcome.hasSizes = false;
    outcome.problem = true;
    outcome.messages.push_back(message);
}

void Cancel(ItemOutcome& outcome) {
    outcome.result = ItemResult::Canceled;
    outcome.action = "canceled";
    outcome.hasSizes = false;
}

std::string Reason() {
    return std::strerror(errno);
}

// Everything after a job that ended Done. Leaves the outcome Done, or Failed/Canceled with the
// temporary file deleted.
void Finalize(BatchItem& item, EngineContext& engine, const JobSettings& settings) {
    ItemOutcome& outcome = item.outcome;
    const std::string shown = Printable(item.shownPath);

    if (settings.verify && !item.expand) {
        // The archive is read back from the file system, as a later reader would see it.
        if (!platform::CloseFile(item.destination.file)) {
            AbandonDestination(item.destination);
            Fail(outcome, shown + ": write error: " + Reason());
            return;
        }
        VerifyReport report = VerifyArchive(engine, item.destination.temporaryPath, item.source,
                                            settings.stillWanted);
        if (report.result == VerifyResult::Cancelled) {
            AbandonDestination(item.destination);
            Cancel(outcome);
            return;
        }
        if (report.result != VerifyResult::Match) {
            AbandonDestination(item.destination);
            Fail(outcome, shown + ": " + DescribeVerify(report) + "; the archive was deleted");
            return;
        }
        outcome.verified = true;
        // Held open again for the stamp and the sync: after the stamp the file's own mode may
        // no longer let its owner open it.
        item.destination.file = platform::OpenForRead(item.destination.temporaryPath);
        if (item.destination.file == platform::kInvalidFile) {
            AbandonDestination(item.destination);
            Fail(outcome, "Can't finish file " + Printable(item.destinationPath) + ": " + Reason());
            return;
        }
    }

    // Last, so that nothing after it moves the times.
    if (!item.stamped || !platform::ApplyFileStamp(item.destination.file, item.stamp)) {
        outcome.messages.push_back(shown + ": warning: could not copy the time and mode (" +
                                   Reason() + ")");
    }

    // Only a result known to be on disk may let its source go.
    if (!CommitDestination(item.destination, item.disposition, settings.deleteSource)) {
        Fail(outcome, "Can't finish file " + Printable(item.destinationPath) + ": " + Reason());
        return;
    }

    if (settings.deleteSource) {
        // The name must still lead to the file that was read: a file put there meanwhile is
        // someone else's and stays.
        if (!platform::IsSameFile(item.source, item.path)) {
            outcome.problem = true;
            outcome.messages.push_back(shown +
                                       ": the source was replaced while it was read; not deleted");
        } else if (!platform::DeleteFile(item.path)) {
            outcome.problem = true;
            outcome.messages.push_back(shown + ": can't delete the source: " + Reason());
        } else {
            outcome.sourceDeleted = true;
        }
    }
}

}  // namespace

void RunPreparedItem(BatchItem& item, EngineContext& engine, const JobSettings& settings,
                     std::atomic<uint64_t>& bytesDone) {
    ItemOutcome& outcome = item.outcome;
    BatchObserver observer(item.size, bytesDone, settings.stillWanted);
    JobOutcome job = item.expand ? ExpandJob(engine, item.source, item.destination.file, observer)
                                 : CompressJob(engine, item.source, item.destination.file,
                                               settings.mode, item.typeText, observer);
    // The verification reuses the engine: keep this job's counters first.
    outcome.mode = job.mode;
    outcome.oldSize = engine.reader.consumed;
    outcome.newSize = engine.writer.produced;

    if (job.result == JobResult::Done) {
        outcome.result = ItemResult::Done;
        outcome.action = item.expand ? "expanded" : "compressed";
        outcome.hasSizes = true;
        Finalize(item, engine, settings);
    } else {
        AbandonDestination(item.destination);
        if (job.result == JobResult::Cancelled) {
            Cancel(outcome);
        } else {
            Fail(outcome, Printable(item.shownPath) + ": " + DescribeFailure(job));
        }
    }
    platform::CloseFile(item.source);
    observer.Finish();
}

}  // namespace kavrin::cli
