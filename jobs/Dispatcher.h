// SPDX-License-Identifier: MIT
// The window-side half of job control: Start and Stop, preparing the job of the bottom queue
// row, and taking each job's outcome into the report.
//
// The dispatcher never sees a widget. It reaches the queue, the report and the window through
// DispatchHost, which the window implements over its lists and controls, and asks the user
// through the Prompt. So its whole control flow is tested without a window. What a job does to
// files is the job pipeline's (jobs/JobPipeline.h); the dispatcher only answers its questions
// with the window's options and the user's answers, and says what went wrong in the window's
// words.
//
// Thread: the window's thread only. It writes the JobRecord only while the worker waits: before
// it signals the job event, and after it has handled the job's "finished" notification.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/FormatSize.h"
#include "jobs/JobPipeline.h"
#include "jobs/JobRecord.h"
#include "jobs/Leftovers.h"
#include "jobs/Prompt.h"

namespace kavrin {

// The window's options, read when a job is prepared: a change applies from the next job on.
struct DispatchOptions {
    bool sameDir = true;  // "To Same Directory"
    std::string destDir;  // the defined destination folder
    DeltaMode optimize = DeltaMode::Auto;
};

// What the dispatcher needs of the window. Rows are indexes into the queue as it is now.
class DispatchHost {
public:
    virtual ~DispatchHost() = default;
    virtual int QueueRowCount() = 0;
    // A row's File and Path texts: the exact bytes of its name and folder.
    virtual std::string RowFile(int row) = 0;
    virtual std::string RowFolder(int row) = 0;
    virtual uint32_t RowData(int row) = 0;
    virtual void SetRowData(int row, uint32_t data) = 0;
    // The row whose item data equals `data`, or -1.
    virtual int FindRowByData(uint32_t data) = 0;
    virtual void RemoveQueueRow(int row) = 0;
    virtual void UpdateDeleteButton() = 0;
    virtual void RedrawQueue() = 0;
    // Writes a report row for queue row `row`; kNoSize sizes leave the last columns empty.
    virtual void AddReportRow(int row, const std::string& action, DeltaMode mode, uint64_t oldSize,
                              uint64_t newSize) = 0;
    virtual void UpdateRunButtons() = 0;
    virtual DispatchOptions Options() = 0;
    virtual void FocusDestinationEdit() = 0;
    virtual void RestoreIfMinimised() = 0;
    virtual void SetWaitCursor(bool on) = 0;
};

class Dispatcher : private PrepareHost {
public:
    // `leftoverAgeSeconds`: temporary files of killed runs older than this are cleared from a
    // result folder before the window first writes into it.
    Dispatcher(JobRecord& record, DispatchHost& host, Prompt& prompt,
               int64_t leftoverAgeSeconds = kLeftoverAgeSeconds);

    // Processing on (`m_bRunning`): set by Start, cleared by Stop and by a preparation that stops
    // processing, not cleared when the queue runs empty.
    bool Running() const { return m_bRunning; }

    void OnStart();
    void OnStop();
    // How a job ended, posted by the worker: `fromWorker` true. The start request of Start and
    // of a row added while processing is on: OnJobFinished({}, false). Carrying the sender
    // tells a Done job from a start request even when Stop came in between.
    void OnJobFinished(const JobEnd& end, bool fromWorker);
    // Prepares the job of queue row `row`: true when both files are open and the record filled.
    bool PrepareJob(int row);
    // The queue row whose job runs, or -1.
    int FindActiveRow();

    // True from the moment a job is handed to the worker until its outcome has been taken.
    bool JobInFlight() const { return jobInFlight_; }

private:
    void DispatchNext();
    void StopProcessing();
    // The window's message for a preparation that gave no job.
    void Tell(const PrepareResult& result);

    // PrepareHost: the window's destination options and its overwrite question.
    std::string ResultFolder(const PreparedJob& job) override;
    Existing DecideExisting(const PreparedJob& job) override;

    bool m_bRunning = false;
    bool jobInFlight_ = false;
    JobRecord& record_;
    DispatchHost& host_;
    Prompt& prompt_;
    JobPreparer preparer_;
    std::string rowFolder_;  // the Path text of the row being prepared
};

}  // namespace kavrin
