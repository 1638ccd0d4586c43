// SPDX-License-Identifier: MIT
// The hand-off between the window and its worker thread.
//
// The window prepares a job (jobs/JobPipeline.h: the record is the prepared job), sets `state`
// to Running and signals `jobEvent`; the worker runs it and reports back with a posted "job
// finished" notification. The one rule that makes this safe without locks: the window writes the
// record only while the worker waits (before it signals the event, and after it has received
// the job-finished notification), and while a job runs it writes nothing but `state`. The worker
// writes only the prepared job's files, closing them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "jobs/AutoResetEvent.h"
#include "jobs/JobPipeline.h"
#include "jobs/RowTag.h"

namespace kavrin {

enum class JobState : int32_t {
    Idle = 0,      // no job wanted; a job in progress stops at its next chunk
    Running = 1,   // a job is wanted or in progress
    Shutdown = 2,  // the worker is to end; a job in progress stops at its next chunk
};

// The prepared job's fields (sourceFile, destinationFile, deltaMode, expand, typeText,
// sourcePath, destinationPath) and what the window adds to hand it over.
struct JobRecord : PreparedJob {
    // The only field the window writes while a job runs (Stop, close).
    std::atomic<int32_t> state{static_cast<int32_t>(JobState::Idle)};
    std::thread workerThread;                  // joinable while the worker lives
    std::unique_ptr<AutoResetEvent> jobEvent;  // wakes the worker; null until created
    uint32_t activeTag = kNoActiveTag;         // the queue row in progress, with InProgressBit

    JobState State() const { return static_cast<JobState>(state.load()); }
    void SetState(JobState value) { state.store(static_cast<int32_t>(value)); }
};

}  // namespace kavrin
