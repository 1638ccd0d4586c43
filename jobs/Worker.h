// SPDX-License-Identifier: MIT
// The worker thread: runs the archive jobs the window hands it through the JobRecord, one at a
// time, for the whole life of the window.
//
// It reports to the window only through a WorkerSink, which the window implements with calls
// queued to its own thread: the worker never waits for the window, so closing the window can
// never deadlock. Tests implement the sink directly.
//
// Threads: WorkerThreadProc runs on the worker; StartWorker and StopWorker on the window's
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "jobs/JobRecord.h"
#include "jobs/Prompt.h"

namespace kavrin {

// What the worker shows and tells: the job progress bar, the three lamps, and the end of a job.
// Every call comes from the worker thread and must not block on the window.
class WorkerSink {
public:
    virtual ~WorkerSink() = default;
    virtual void BeginProgress(uint32_t steps) = 0;
    virtual void StepProgress() = 0;
    virtual void ResetProgress() = 0;
    virtual void SetLamps(LampPhase phase) = 0;
    virtual void SetAnalysisLamp(bool on) = 0;
    // The "job finished" notification with how the job ended: posted after every job not ended
    // by Shutdown, after the lamp and progress calls that preceded it.
    virtual void PostJobFinished(const JobEnd& end) = 0;
};

// What the worker reaches of the window.
struct WorkerBinding {
    JobRecord* record = nullptr;
    // The engine with its chunk buffers; allocated by StartWorker after the thread exists, and
    // read by the worker only when a job arrives.
    EngineContextPtr* engine = nullptr;
    // The window's "Delete Source" option, read once at the end of each Done job (and never
    // honoured once the window is closing: nobody would hear of it).
    const std::atomic<int32_t>* deleteSource = nullptr;
    WorkerSink* sink = nullptr;
};

// The thread routine: waits on the job event, runs each job through the job pipeline (which
// also finishes it: commit, source deletion), reports, and ends with exit code 0 when it finds
// the state Shutdown.
int WorkerThreadProc(WorkerBinding binding);

// The window's start of the worker: creates the job event and the thread, then allocates the
// engine's chunk buffers with `createEngine`. On failure shows "Can't create work thread" or
// "No memory" through `prompt` and returns false; the caller then closes the window (StopWorker
// copes with whatever was created).
bool StartWorker(const WorkerBinding& binding, Prompt& prompt,
                 const std::function<EngineContextPtr()>& createEngine = CreateEngineContext);

// The window's end of the worker: sets the state to Shutdown, wakes the worker, waits until it
// has ended and releases the event. A job in progress stops at its next chunk; its unfinished
// result is removed, never the source. Safe when the thread or the event was never created.
void StopWorker(JobRecord& record);

}  // namespace kavrin
