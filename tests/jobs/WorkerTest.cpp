// SPDX-License-Identifier: MIT
// The worker through the job record, as the window drives it: real files, a recording sink,
// Stop and close from the test thread.
#include "jobs/Worker.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "jobs/Leftovers.h"
#include "jobs/Naming.h"
#include "platform/FaultInjection.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using namespace std::chrono_literals;
using test::Exists;
using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Records what the worker shows; lets a test act from inside a job at its n-th progress step.
class RecordingSink : public WorkerSink {
public:
    void BeginProgress(uint32_t steps) override { Log("begin:" + std::to_string(steps)); }
    void StepProgress() override {
        int step;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back("step");
            step = ++steps_;
        }
        if (onStep) onStep(step);
    }
    void ResetProgress() override { Log("reset"); }
    void SetLamps(LampPhase phase) override {
        Log("lamps:" + std::to_string(static_cast<int>(phase)));
    }
    void SetAnalysisLamp(bool on) override { Log(on ? "analysis:1" : "analysis:0"); }
    void PostJobFinished(const JobEnd& end) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back("finished");
        finished_.push_back(end.outcome);
        finishedChanged_.notify_all();
    }

    // Waits for the next finish notification; nothing within `limit` gives nullopt.
    std::optional<JobOutcome> WaitFinished(std::chrono::milliseconds limit = 20s) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!finishedChanged_.wait_for(lock, limit, [&] { return !finished_.empty(); })) {
            return std::nullopt;
        }
        JobOutcome outcome = finished_.front();
        finished_.erase(finished_.begin());
        steps_ = 0;
        return outcome;
    }

    std::vector<std::string> TakeEvents() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(events_, {});
    }

    std::function<void(int step)> onStep;

private:
    void Log(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    std::vector<std::string> events_;
    std::vector<JobOutcome> finished_;
    int steps_ = 0;
};

// Answers the job pipeline as the window would: results into one folder, an existing one
// replaced.
class FolderHost : public PrepareHost {
public:
    std::string ResultFolder(const PreparedJob&) override { return folder; }
    Existing DecideExisting(const PreparedJob&) override { return Existing::Replace; }
    std::string folder;
};

// The window's side, reduced to what the worker sees: the record, the engine slot, the
// "Delete Source" option, the sink.
class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        binding_ = {&record_, &engine_, &deleteSource_, &sink_};
        ASSERT_TRUE(StartWorker(binding_, prompt_));
    }
    void TearDown() override {
        StopWorker(record_);
        platform::ClearFaults();
    }

    // Prepares a job through the pipeline, as the dispatcher does, with its result in
    // `folder`, and wakes the worker.
    void Dispatch(const std::string& source, const std::string& folder,
                  DeltaMode mode = DeltaMode::Auto, JobState stateAtSignal = JobState::Running) {
        host_.folder = folder + "/";
        ASSERT_EQ(preparer_.Prepare(source, JobKind::ByName, host_, &record_).status,
                  PrepareStatus::Ready);
        record_.deltaMode = static_cast<int32_t>(mode);
        record_.SetState(stateAtSignal);
        record_.jobEvent->Set();
    }

    JobOutcome Finished() {
        std::optional<JobOutcome> outcome = sink_.WaitFinished();
        EXPECT_TRUE(outcome.has_value()) << "no job-finished notification";
        return outcome.value_or(JobOutcome{});
    }

    void ExpectHandlesClosed() {
        EXPECT_EQ(record_.sourceFile, platform::kInvalidFile);
        EXPECT_EQ(record_.destinationFile.file, platform::kInvalidFile);
    }

    JobRecord record_;
    EngineContextPtr engine_;
    std::atomic<int32_t> deleteSource_{0};
    RecordingSink sink_;
    test::ScriptedPrompt prompt_;
    WorkerBinding binding_;
    FolderHost host_;
    JobPreparer preparer_{kLeftoverAgeSeconds};
    TempDir dir_;
};

std::string Sound(double seconds) {
    samples::SoundSpec spec;
    spec.seconds = seconds;
    return samples::MakeWav(spec);
}

TEST_F(WorkerTest, RunsAWholeJobAndCleansUpBeforeReporting) {
    const std::string wav = Sound(1.5);
    WriteFile(dir_ / "take.wav", wav);
    Dispatch(dir_ / "take.wav", dir_.path());
    JobOutcome outcome = Finished();
    EXPECT_EQ(outcome.result, JobResult::Done);
    // Auto is resolved: the notification carries the mode written into the header.
    EXPECT_GE(static_cast<int>(outcome.mode), 1);
    EXPECT_LE(static_cast<int>(outcome.mode), 5);
    ExpectHandlesClosed();
    // The lamps go off and the bar back to 0 before the notification, after the job's own calls.
    std::vector<std::string> events = sink_.TakeEvents();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
              (std::vector<std::string>{"lamps:0", "reset", "finished"}));
    EXPECT_EQ(events.front(), "analysis:1");
    // The sizes travel with the notification.
    EXPECT_EQ(outcome.bytesRead, wav.size());
    EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"take.kvn", "take.wav"}));

    // And back, through the same record.
    record_.SetState(JobState::Idle);
    Dispatch(dir_ / "take.kvn", dir_ / "out");
    outcome = Finished();
    EXPECT_EQ(outcome.result, JobResult::Done);
    ExpectHandlesClosed();
    EXPECT_EQ(outcome.bytesWritten, wav.size());
    EXPECT_TRUE(ReadFile(dir_ / "out/take.wav") == wav);
}

TEST_F(WorkerTest, DeleteSourceIsReadWhenTheJobEnds) {
    const std::string wav = Sound(3);
    WriteFile(dir_ / "a.wav", wav);
    // Switched on while the job runs: it applies to this job.
    sink_.onStep = [&](int step) {
        if (step == 2) deleteSource_ = 1;
    };
    Dispatch(dir_ / "a.wav", dir_.path(), DeltaMode::Bits16);
    EXPECT_EQ(Finished().result, JobResult::Done);
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"a.kvn"});

    // An expansion with the option on leaves only the restored file.
    sink_.onStep = nullptr;
    record_.SetState(JobState::Idle);
    Dispatch(dir_ / "a.kvn", dir_.path());
    EXPECT_EQ(Finished().result, JobResult::Done);
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"a.wav"});
    EXPECT_TRUE(ReadFile(dir_ / "a.wav") == wav);

    // Switched off during the job: the source stays.
    sink_.onStep = [&](int step) {
        if (step == 2) deleteSource_ = 0;
    };
    deleteSource_ = 1;
    record_.SetState(JobState::Idle);
    Dispatch(dir_ / "a.wav", dir_.path(), DeltaMode::Bits16);
    EXPECT_EQ(Finished().result, JobResult::Done);
    EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"a.kvn", "a.wav"}));
}

TEST_F(WorkerTest, StopCancelsTheJobAndKeepsTheSource) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(8 * kChunkSize, 3));
    WriteFile(dir_ / "long.kvn", "an older result the user agreed to replace");
    deleteSource_ = 1;
    // Stop from the window's side while the job is a few chunks in.
    sink_.onStep = [&](int step) {
        if (step == 3) record_.SetState(JobState::Idle);
    };
    Dispatch(dir_ / "long.raw", dir_.path(), DeltaMode::None);
    JobOutcome outcome = Finished();
    EXPECT_EQ(outcome.result, JobResult::Cancelled);
    ExpectHandlesClosed();
    EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"long.kvn", "long.raw"}));
    EXPECT_EQ(ReadFile(dir_ / "long.kvn"), "an older result the user agreed to replace");
}

TEST_F(WorkerTest, IdleWakeupsAndShutdown) {
    // Signalled while Idle, then closed: the worker wakes, does nothing, sees Shutdown and
    // ends. Once it is joined, whatever it did is done: it reported nothing. The join also
    // hands the record back to this thread before it is written again.
    record_.jobEvent->Set();
    StopWorker(record_);
    EXPECT_FALSE(record_.workerThread.joinable());
    EXPECT_FALSE(sink_.WaitFinished(0ms).has_value());
    EXPECT_TRUE(sink_.TakeEvents().empty());
    record_.SetState(JobState::Idle);
    ASSERT_TRUE(StartWorker(binding_, prompt_));

    // Closing during a job: it stops at its next chunk, reports nothing, and leaves no partial
    // result; the source stays even with Delete Source on.
    WriteFile(dir_ / "long.raw", samples::MakeNoise(8 * kChunkSize, 4));
    deleteSource_ = 1;
    std::atomic<bool> closing{false};
    sink_.onStep = [&](int step) {
        if (step == 2) closing = true;
        // Hold the job here until the test's close has set Shutdown, so the close really
        // lands in the middle of the job.
        while (closing && record_.State() != JobState::Shutdown) std::this_thread::yield();
    };
    Dispatch(dir_ / "long.raw", dir_.path(), DeltaMode::None);
    while (!closing) std::this_thread::yield();
    StopWorker(record_);
    EXPECT_FALSE(record_.workerThread.joinable());
    EXPECT_FALSE(sink_.WaitFinished(0ms).has_value());  // joined: nothing more can come
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"long.raw"});
}

TEST_F(WorkerTest, AJobStoppedBeforeTheWorkerWokeIsCancelledNotLost) {
    // Stop lands between the dispatcher's signal and the worker's wake-up: the worker finds a
    // prepared job and the state Idle. The job must still end, or its files stay open, its
    // temporary file stays behind and its row is never given back.
    WriteFile(dir_ / "a.wav", Sound(0.5));
    Dispatch(dir_ / "a.wav", dir_.path(), DeltaMode::Auto, JobState::Idle);
    std::optional<JobOutcome> outcome = sink_.WaitFinished();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->result, JobResult::Cancelled);
    ExpectHandlesClosed();
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"a.wav"});

    // Closed in the same gap: the files are closed and nothing is left behind either.
    Dispatch(dir_ / "a.wav", dir_.path(), DeltaMode::Auto, JobState::Shutdown);
    StopWorker(record_);
    EXPECT_FALSE(sink_.WaitFinished(0ms).has_value());  // joined: nothing more can come
    ExpectHandlesClosed();
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"a.wav"});
}

TEST_F(WorkerTest, AFailingDestinationFailsTheJobAndKeepsTheSource) {
    const std::string wav = Sound(2);
    WriteFile(dir_ / "take.wav", wav);
    deleteSource_ = 1;
    using platform::FaultOp;
    struct Case {
        const char* name;
        FaultOp op;
        int nth;
        int error;
    } cases[] = {
        {"disk full on the first chunk", FaultOp::Write, 2, ENOSPC},
        {"disk full on the header", FaultOp::Write, 1, ENOSPC},
        {"sync before the source is deleted", FaultOp::Sync, 1, EIO},
        {"rename over the final name", FaultOp::Rename, 1, EIO},
    };
    for (const Case& c : cases) {
        record_.SetState(JobState::Idle);
        platform::InjectFault(c.op, c.nth, c.error);
        Dispatch(dir_ / "take.wav", dir_.path(), DeltaMode::Bits32);
        EXPECT_EQ(Finished().result, JobResult::Failed) << c.name;
        platform::ClearFaults();
        ExpectHandlesClosed();
        EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"take.wav"}) << c.name;
        EXPECT_TRUE(ReadFile(dir_ / "take.wav") == wav) << c.name;
    }
}

TEST(WorkerStartTest, ReportsNoMemoryAndStopsCleanly) {
    JobRecord record;
    EngineContextPtr engine;
    std::atomic<int32_t> deleteSource{0};
    RecordingSink sink;
    test::ScriptedPrompt prompt;
    WorkerBinding binding{&record, &engine, &deleteSource, &sink};
    EXPECT_FALSE(StartWorker(binding, prompt, [] { return EngineContextPtr(); }));
    EXPECT_EQ(prompt.shown, std::vector<std::string>{"No memory"});
    StopWorker(record);
    EXPECT_FALSE(record.workerThread.joinable());
    EXPECT_EQ(record.jobEvent, nullptr);

    JobRecord never;
    StopWorker(never);  // nothing was created: nothing to do
}

}  // namespace
}  // namespace kavrin
