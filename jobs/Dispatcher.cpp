// SPDX-License-Identifier: MIT
#include "jobs/Dispatcher.h"

#include "jobs/Naming.h"

namespace kavrin {
namespace {

// Shows the wait cursor for as long as a job is being prepared.
class WaitCursor {
public:
    explicit WaitCursor(DispatchHost& host) : host_(host) { host_.SetWaitCursor(true); }
    ~WaitCursor() { host_.SetWaitCursor(false); }

private:
    DispatchHost& host_;
};

}  // namespace

Dispatcher::Dispatcher(JobRecord& record, DispatchHost& host, Prompt& prompt,
                       int64_t leftoverAgeSeconds)
    : record_(record), host_(host), prompt_(prompt), preparer_(leftoverAgeSeconds) {}

void Dispatcher::OnStart() {
    if (m_bRunning) return;
    m_bRunning = true;
    host_.UpdateRunButtons();
    OnJobFinished({}, false);
}

void Dispatcher::OnStop() {
    if (!m_bRunning) return;
    StopProcessing();
}

void Dispatcher::StopProcessing() {
    m_bRunning = false;
    host_.UpdateRunButtons();
    record_.SetState(JobState::Idle);
}

int Dispatcher::FindActiveRow() {
    return host_.FindRowByData(record_.activeTag);
}

void Dispatcher::OnJobFinished(const JobEnd& end, bool fromWorker) {
    if (record_.State() == JobState::Shutdown) return;
    if (!fromWorker) {
        // A start request. While a stopped job has not reported yet, the record still belongs
        // to the worker: its outcome starts the next job instead.
        if (jobInFlight_) return;
        DispatchNext();
        return;
    }
    jobInFlight_ = false;

    const JobOutcome& outcome = end.outcome;
    const int row = FindActiveRow();
    switch (outcome.result) {
        case JobResult::Done:
            if (row >= 0) {
                host_.AddReportRow(row, record_.expand ? "expanded" : "compressed", outcome.mode,
                                   outcome.bytesRead, outcome.bytesWritten);
                // The result is there; a source that was to go and could not is worth a word.
                if (end.source == JobEnd::Source::DeleteFailed ||
                    end.source == JobEnd::Source::Changed) {
                    prompt_.ShowError("Can't delete source file\n" + record_.sourcePath);
                }
                host_.RemoveQueueRow(row);
            }
            break;
        case JobResult::Cancelled:
            if (row >= 0) {
                host_.AddReportRow(row, "canceled", DeltaMode::Auto, kNoSize, kNoSize);
                // The row stays in the queue at its place, as a plain row again.
                record_.activeTag &= ~InProgressBit;
                host_.SetRowData(row, record_.activeTag);
                host_.RedrawQueue();
                host_.UpdateDeleteButton();
            }
            // Normally processing is off now; Start pressed again meanwhile goes on from here.
            if (!m_bRunning) return;
            break;
        case JobResult::Failed:
            if (row >= 0) {
                host_.AddReportRow(row, "error", DeltaMode::Auto, kNoSize, kNoSize);
                prompt_.ShowError("Cat't perform operation");
                host_.RemoveQueueRow(row);
            }
            break;
        default:
            return;
    }
    DispatchNext();
}

void Dispatcher::DispatchNext() {
    while (m_bRunning) {
        record_.SetState(JobState::Idle);
        record_.activeTag = kNoActiveTag;
        const int row = host_.QueueRowCount() - 1;
        if (row < 0) {
            host_.RestoreIfMinimised();
            break;
        }
        if (PrepareJob(row)) {
            record_.deltaMode = static_cast<int32_t>(host_.Options().optimize);
            record_.activeTag = host_.RowData(row) | InProgressBit;
            host_.SetRowData(row, record_.activeTag);
            host_.RedrawQueue();
            jobInFlight_ = true;
            record_.SetState(JobState::Running);
            record_.jobEvent->Set();
            host_.UpdateDeleteButton();
            return;
        }
        host_.AddReportRow(row, "ERROR", DeltaMode::Auto, kNoSize, kNoSize);
        if (!m_bRunning) break;  // the preparation stopped processing: the row stays
        host_.RemoveQueueRow(row);
    }
    host_.UpdateDeleteButton();
}

bool Dispatcher::PrepareJob(int row) {
    WaitCursor wait(host_);
    rowFolder_ = host_.RowFolder(row);
    const PrepareResult result = preparer_.Prepare(JoinPath(rowFolder_, host_.RowFile(row)),
                                                   JobKind::ByName, *this, &record_);
    if (result.status == PrepareStatus::Ready) return true;
    Tell(result);
    return false;
}

std::string Dispatcher::ResultFolder(const PreparedJob&) {
    const DispatchOptions options = host_.Options();
    std::string folder = DestinationFolder(options.sameDir, rowFolder_, options.destDir);
    if (folder.empty()) {
        prompt_.ShowError("Illegal destination directory");
        host_.FocusDestinationEdit();
        StopProcessing();
    }
    return folder;
}

PrepareHost::Existing Dispatcher::DecideExisting(const PreparedJob& job) {
    // Every existing destination is asked about, one that cannot be opened too: the result
    // replaces it by a rename, which its locks and permissions do not prevent.
    // An archive that holds another file says which: answering Yes loses that file.
    const std::string holds =
        job.existingHolds.empty() ? "" : "It holds another file: " + job.existingHolds + "\n";
    switch (prompt_.AskYesNoCancel("File already exists\n" + job.destinationPath + "\n" + holds +
                                   "Overwrite?")) {
        case Prompt::Answer::Yes:
            return Existing::Replace;
        case Prompt::Answer::No:
            return Existing::Keep;
        case Prompt::Answer::Cancel:
            break;
    }
    StopProcessing();
    return Existing::Cancel;
}

void Dispatcher::Tell(const PrepareResult& result) {
    switch (result.status) {
        case PrepareStatus::SourceUnopenable:
            prompt_.ShowError("Can't open source file");
            return;
        case PrepareStatus::HeaderUnreadable:
        case PrepareStatus::NotArchive:
        case PrepareStatus::HeaderTruncated:
        case PrepareStatus::UnsafeTypeText:
            prompt_.ShowError("Bad file format");
            return;
        case PrepareStatus::TypeTextTooLong:
        case PrepareStatus::ResultTaken:
        case PrepareStatus::ResultIsInput:
        case PrepareStatus::ResultIsFolder:
        case PrepareStatus::ResultIsSource:
        case PrepareStatus::Refused:
        case PrepareStatus::CreateFailed:
            prompt_.ShowError("Can't create file\n" + record_.destinationPath);
            return;
        case PrepareStatus::Ready:
        case PrepareStatus::NoResultFolder:  // the message came with the folder
        case PrepareStatus::Skipped:
        case PrepareStatus::Cancelled:
            return;
    }
}

}  // namespace kavrin
