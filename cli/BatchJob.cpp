// SPDX-License-Identifier: MIT
#include "cli/BatchJob.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "cli/Translate.h"
#include "jobs/JobPipeline.h"

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

void Fail(ItemOutcome& outcome, const Said& message) {
    outcome.result = ItemResult::Failed;
    outcome.action = "error";
    outcome.hasSizes = false;
    outcome.problem = true;
    outcome.messages.push_back(message);
}

std::string Reason(int error) {
    return std::strerror(error);
}

// Puts how the job ended into the item's report line and messages.
void Report(BatchItem& item, const JobEnd& end) {
    ItemOutcome& outcome = item.outcome;
    const std::string shown = Printable(item.shownPath);
    outcome.mode = end.outcome.mode;
    outcome.oldSize = end.outcome.bytesRead;
    outcome.newSize = end.outcome.bytesWritten;
    outcome.verified = end.verified;
    // A stream that could not be written is broken for whatever would follow it too.
    outcome.outputLost =
        IsStreamed(item.job) && (end.outcome.status.code() == EngineError::WriteError ||
                                 end.problem == JobEnd::Problem::Commit);
    // A reader that has taken what it wanted (head, a shell's pipeline) closes its end: the
    // writer ends quietly, as every filter does.
    outcome.pipeClosed = outcome.outputLost &&
                         (end.status.systemError() == EPIPE ||
                          end.outcome.status.systemError() == EPIPE || end.commitError == EPIPE);
    if (end.stampFailed) {
        outcome.messages.push_back(Say([&] {
            return Format(Tr("%s: warning: could not copy the time and mode (%s)"),
                          {shown, Reason(end.stampError)});
        }));
    }
    switch (end.outcome.result) {
        case JobResult::Done:
            outcome.result = ItemResult::Done;
            outcome.action = item.job.expand ? "expanded" : "compressed";
            outcome.hasSizes = true;
            break;
        case JobResult::Cancelled:
            outcome.result = ItemResult::Canceled;
            outcome.action = "canceled";
            outcome.hasSizes = false;
            return;
        case JobResult::Failed:
            outcome.transient = end.status.IsMachine();
            if (outcome.pipeClosed) {
                outcome.result = ItemResult::Failed;
                outcome.action = "error";
                outcome.hasSizes = false;
                outcome.problem = true;
                return;
            }
            switch (end.problem) {
                case JobEnd::Problem::Verify:
                    Fail(outcome, Say([&] {
                             return Format(Tr("%s: %s; the archive was deleted"),
                                           {shown, end.status.message()});
                         }));
                    break;
                case JobEnd::Problem::Commit:
                    Fail(outcome, Say([&] {
                             return Format(
                                 Tr("Can't finish file %s: %s"),
                                 {Printable(item.job.destinationPath), Reason(end.commitError)});
                         }));
                    break;
                case JobEnd::Problem::SourceChanged:
                    Fail(outcome, Say([&] {
                             return Format(Tr("%s: %s; nothing was kept"),
                                           {shown, end.status.message()});
                         }));
                    break;
                default:
                    Fail(outcome, Say([&] {
                             return Format(Tr("%s: %s"), {shown, end.status.message()});
                         }));
                    break;
            }
            return;
    }
    switch (end.source) {
        case JobEnd::Source::Kept:
            break;
        case JobEnd::Source::Deleted:
            outcome.sourceDeleted = true;
            break;
        case JobEnd::Source::Changed:
            // The name must still lead to the file that was read, unchanged: anything else is
            // someone else's and stays.
            outcome.problem = true;
            outcome.transient = true;
            outcome.messages.push_back(Say([&] {
                return Format(
                    Tr("%s: the source changed or was replaced while it was read; not deleted"),
                    {shown});
            }));
            break;
        case JobEnd::Source::DeleteFailed:
            outcome.problem = true;
            outcome.transient = IsMachineError(end.deleteError);
            outcome.messages.push_back(Say([&] {
                return Format(Tr("%s: can't delete the source: %s"),
                              {shown, Reason(end.deleteError)});
            }));
            break;
    }
}

}  // namespace

void RunPreparedItem(BatchItem& item, EngineContext& engine, const JobSettings& settings,
                     std::atomic<uint64_t>& bytesDone) {
    BatchObserver observer(item.size, bytesDone, settings.stillWanted);
    item.job.deltaMode = static_cast<int32_t>(settings.mode);
    FinishOptions options;
    options.keepStamp = true;
    options.verify = settings.verify;
    const bool deleteSource = settings.deleteSource;
    options.deleteSource = [deleteSource] { return deleteSource; };
    const JobEnd end = RunJob(item.job, engine, observer, options);
    Report(item, end);
    observer.Finish();
}

}  // namespace kavrin::cli
