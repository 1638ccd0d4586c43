// SPDX-License-Identifier: MIT
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

// Runs and finishes the job in the record; both files are closed afterwards. A Done result is
// under its final name.
JobEnd RunRecordedJob(const WorkerBinding& binding) {
    JobRecord& record = *binding.record;
    WorkerObserver observer(record, *binding.sink);
    FinishOptions options;
    // A window that is closing reports nothing: a finished result is kept, its source too.
    options.deleteSource = [&binding, &record] {
        return binding.deleteSource->load() != 0 && record.State() != JobState::Shutdown;
    };
    JobEnd end = RunJob(record, **binding.engine, observer, options);
    if (record.State() != JobState::Shutdown) {
        binding.sink->SetLamps(LampPhase::Off);
        binding.sink->ResetProgress();
    }
    return end;
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
            if (prepared) DropJob(record);
            return 0;
        }
        if (!prepared) continue;  // a wake-up with no job prepared does nothing

        JobEnd end;
        if (state == JobState::Running) {
            end = RunRecordedJob(binding);
        } else {
            DropJob(record);
            binding.sink->SetLamps(LampPhase::Off);
            binding.sink->ResetProgress();
            end.outcome.result = JobResult::Cancelled;
            end.outcome.mode = static_cast<DeltaMode>(record.deltaMode);
        }
        // Closing the window: no message; the close handler's signal ends the thread next.
        if (record.State() == JobState::Shutdown) continue;
        binding.sink->PostJobFinished(end);
    }
}

bool StartWorker(const WorkerBinding& binding, Prompt& prompt,
                 const std::function<EngineContextPtr()>& createEngine) {
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
