// The hand-off between the window and its worker thread.
//
// The window prepares a job (opens the source, creates the destination, fills the record),
// sets `state` to Running and signals `jobEvent`; the worker runs it and reports back with a
// posted "job finished" event. The one rule that makes this safe without locks: the window
// writes the record only while the worker waits (before it signals the event, and after it
// has received the job-finished event), and while a job runs it writes nothing but `state`.
// The worker writes only the two file handles, back to the invalid value after closing them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "jobs/AutoResetEvent.h"
#include "jobs/Destination.h"
#include "platform/File.h"

namespace kavrin {

enum class JobState : int32_t {
    Idle = 0,      // no job wanted; a job in progress stops at its next chunk
    Running = 1,   // a job is wanted or in progress
    Shutdown = 2,  // the worker is to end; a job in progress stops at its next chunk
};

// The event type of the worker's "job finished" notification, posted to the window.
inline constexpr int WM_JOB_FINISHED = 1124;

// Bit 31 of a queue row's item data marks the row whose job runs; read as a signed 32-bit
// value, that row's item data is negative and every other row's is not.
inline constexpr uint32_t InProgressBit = 0x80000000u;
// `activeTag` while no row is in progress.
inline constexpr uint32_t kNoActiveTag = 0x7FFFFFFFu;

struct JobRecord {
    // The only field the window writes while a job runs (Stop, close).
    std::atomic<int32_t> state{static_cast<int32_t>(JobState::Idle)};
    std::thread workerThread;                  // joinable while the worker lives
    std::unique_ptr<AutoResetEvent> jobEvent;  // wakes the worker; null until created
    platform::FileHandle sourceFile = platform::kInvalidFile;
    DestinationFile destinationFile;  // open under its temporary name until the job ends
    uint32_t activeTag = kNoActiveTag;
    int32_t deltaMode = 0;  // the DeltaMode requested for a compression, 0 to 5
    int32_t expand = 0;     // 0 compress, 1 expand
    std::string typeText;   // compression: the source's extension; expansion: the stored one
    std::string sourcePath;
    std::string destinationPath;  // the final name, as messages and the report show it

    JobState State() const { return static_cast<JobState>(state.load()); }
    void SetState(JobState value) { state.store(static_cast<int32_t>(value)); }
};

}  // namespace kavrin
