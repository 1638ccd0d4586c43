#include "jobs/Worker.h"

#include <system_error>

namespace kavrin {
namespace {

// The engine's observer during a job: the record's state decides whether the job runs, and
// everything shown goes to the sink.
class WorkerObserver : public EngineObserver {
public:
    WorkerObserver(const JobRecord& record, WorkerSink& sink) : record_(record), sink_(sink) {}
    bool IsRunning() override { return record_.State() == JobState::Running; }
    void BeginProgress(uint32_t steps) override { sink_.BeginProgress(steps); }
    void StepProgress() override { sink_.StepProgress(); }
    void ResetProgress() override { sink_.ResetProgress(); }
    void SetLamps(LampPhase phase) override { sink_.SetLamps(phase); }
    void SetAnalysisLamp(bool on) override { sink_.SetAnalysisLamp(on); }

private:
    const JobRecord& record_;
    WorkerSink& sink_;
};

// Runs the job in the record and closes both files. Returns the outcome; a Done result is
// already under its final name (made durable first when the source is to be deleted).
JobOutcome RunJob(const WorkerBinding& binding) {
    JobRecord& record = *binding.record;
    EngineContext& engine = **binding.engine;
    WorkerObserver observer(record, *binding.sink);
    JobOutcome outcome =
        record.expand
            ? ExpandJob(engine, record.sourceFile, record.destinationFile.file, observer)
            : CompressJob(engine, record.sourceFile, record.destinationFile.file,
                          static_cast<DeltaMode>(record.deltaMode), record.typeText, observer);
    platform::CloseFile(record.sourceFile);

    if (record.State() == JobState::Shutdown) {
        // The window is closing and will report nothing. A finished result is kept (the source
        // stays too); an unfinished one must not be left to look like a result.
        if (outcome.result == JobResult::Done) {
            if (!CommitDestination(record.destinationFile, Disposition::CreateAlways, false)) {
                outcome.result = JobResult::Failed;
            }
        } else {
            AbandonDestination(record.destinationFile);
        }
        return outcome;
    }

    binding.sink->SetLamps(LampPhase::Off);
    binding.sink->ResetProgress();
    if (outcome.result != JobResult::Done) {
        AbandonDestination(record.destinationFile);
        return outcome;
    }
    // Read once, now: a change of the option during the job applies to this job. The result
    // must be on disk before its source may go.
    const bool deleteSource = binding.deleteSource->load() != 0;
    if (!CommitDestination(record.destinationFile, Disposition::CreateAlways, deleteSource)) {
        outcome.result = JobResult::Failed;
        return outcome;
    }
    if (deleteSource) platform::DeleteFile(record.sourcePath);
    return outcome;
}

// Closes a prepared job's files without running it and removes its unfinished result.
void DropPreparedJob(JobRecord& record) {
    platform::CloseFile(record.sourceFile);
    AbandonDestination(record.destinationFile);
}

}  // namespace

int WorkerThreadProc(WorkerBinding binding) {
    JobRecord& record = *binding.record;
    for (;;) {
        record.jobEvent->Wait();
        const JobState state = record.State();
        // A job was prepared when its source is open. Stop or close can come between the
        // dispatcher's signal and this wake-up; such a job still ends here, as Cancelled, so
        // that its files are closed, its unfinished result removed and its row given back.
        const bool prepared = record.sourceFile != platform::kInvalidFile;
        if (state == JobState::Shutdown) {
            if (prepared) DropPreparedJob(record);
            return 0;
        }
        if (!prepared) continue;  // a wake-up with no job prepared does nothing

        JobOutcome outcome;
        if (state == JobState::Running) {
            outcome = RunJob(binding);
        } else {
            DropPreparedJob(record);
            binding.sink->SetLamps(LampPhase::Off);
            binding.sink->ResetProgress();
            outcome.result = JobResult::Cancelled;
            outcome.mode = static_cast<DeltaMode>(record.deltaMode);
        }
        // Closing the window: no message; the close handler's signal ends the thread next.
        if (record.State() == JobState::Shutdown) continue;
        binding.sink->PostJobFinished(outcome.result, outcome.mode);
    }
}

bool StartWorker(const WorkerBinding& binding, Prompt& prompt,
                 const std::function<std::unique_ptr<EngineContext>()>& createEngine) {
    JobRecord& record = *binding.record;
    record.jobEvent = std::make_unique<AutoResetEvent>();
    try {
        record.workerThread = std::thread(WorkerThreadProc, binding);
    } catch (const std::system_error&) {
        prompt.ShowError("Can't create work thread");
        return false;
    }
    *binding.engine = createEngine();
    if (!*binding.engine) {
        prompt.ShowError("No memory");
        return false;
    }
    return true;
}

void StopWorker(JobRecord& record) {
    if (record.workerThread.joinable()) {
        record.SetState(JobState::Shutdown);
        record.jobEvent->Set();
        record.workerThread.join();
    }
    record.jobEvent.reset();
}

}  // namespace kavrin
