#include "jobs/Dispatcher.h"

#include "engine/ArchiveFormat.h"
#include "jobs/Naming.h"

namespace kavrin {
namespace {

constexpr uint64_t kLargestSource = 0xFFFFFFFFull;

// Shows the wait cursor for as long as a job is being prepared.
class WaitCursor {
public:
    explicit WaitCursor(DispatchHost& host) : host_(host) { host_.SetWaitCursor(true); }
    ~WaitCursor() { host_.SetWaitCursor(false); }

private:
    DispatchHost& host_;
};

}  // namespace

Dispatcher::Dispatcher(JobRecord& record, const std::unique_ptr<EngineContext>& engine,
                       DispatchHost& host, Prompt& prompt)
    : record_(record), engine_(engine), host_(host), prompt_(prompt) {}

void Dispatcher::OnStart() {
    if (m_bRunning) return;
    m_bRunning = true;
    host_.UpdateRunButtons();
    OnJobFinished(JobResult::Done, DeltaMode::Auto, false);
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

void Dispatcher::OnJobFinished(JobResult result, DeltaMode mode, bool fromWorker) {
    if (record_.State() == JobState::Shutdown) return;
    if (!fromWorker) {
        // A start request. While a stopped job has not reported yet, the record still belongs
        // to the worker: its outcome starts the next job instead.
        if (jobInFlight_) return;
        DispatchNext();
        return;
    }
    jobInFlight_ = false;

    const int row = FindActiveRow();
    switch (result) {
        case JobResult::Done:
            if (row >= 0) {
                host_.AddReportRow(row, record_.expand ? "expanded" : "compressed", mode,
                                   engine_->reader.consumed, engine_->writer.produced);
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

void Dispatcher::CloseSource() {
    platform::CloseFile(record_.sourceFile);
}

bool Dispatcher::PrepareJob(int row) {
    WaitCursor wait(host_);
    record_.typeText.clear();
    const std::string folder = host_.RowFolder(row);
    const std::string name = host_.RowFile(row);
    record_.sourcePath = JoinPath(folder, name);

    record_.sourceFile = platform::OpenForRead(record_.sourcePath);
    if (record_.sourceFile == platform::kInvalidFile) {
        prompt_.ShowError("Can't open source file");
        return false;
    }

    // The direction follows the end of the full path: take.2.kvn is expanded here although the
    // queue lists it as a plain file.
    if (IsArchivePath(record_.sourcePath)) {
        ArchiveHeader header;
        HeaderStatus status = ReadArchiveHeader(record_.sourceFile, &header, HeaderField::TypeText);
        std::string restored;
        // A header that ends early, or a stored type that would name a file outside the folder,
        // is no usable archive either.
        if (status != HeaderStatus::Ok || !NameForExpansion(name, header.typeText, &restored) ||
            !platform::SeekTo(record_.sourceFile, 0)) {
            CloseSource();
            prompt_.ShowError("Bad file format");
            return false;
        }
        record_.typeText = header.typeText;
        record_.expand = 1;
    } else {
        uint64_t size = 0;
        if (platform::GetFileSize(record_.sourceFile, &size) && size > kLargestSource) {
            CloseSource();
            prompt_.ShowError("Can't compress this file:\n" + record_.sourcePath +
                              "\n\nReason: File too large (4 GiB or more).");
            return false;
        }
        record_.expand = 0;
    }

    const DispatchOptions options = host_.Options();
    const std::string destinationFolder =
        DestinationFolder(options.sameDir, folder, options.destDir);
    if (destinationFolder.empty()) {
        prompt_.ShowError("Illegal destination directory");
        host_.FocusDestinationEdit();
        CloseSource();
        StopProcessing();
        return false;
    }

    std::string destinationName;
    bool named = record_.expand ? NameForExpansion(name, record_.typeText, &destinationName)
                                : NameForCompression(name, &destinationName, &record_.typeText);
    record_.destinationPath = destinationFolder + destinationName;
    if (!named) {
        CloseSource();
        prompt_.ShowError("Can't create file\n" + record_.destinationPath);
        return false;
    }

    // A destination that exists but cannot be opened (the source itself, which this job holds
    // locked, or a folder) counts as absent; creating it then fails.
    platform::FileHandle existing = platform::OpenForRead(record_.destinationPath);
    if (existing != platform::kInvalidFile) {
        platform::CloseFile(existing);
        Prompt::Answer answer = prompt_.AskYesNoCancel("File already exists\n" +
                                                       record_.destinationPath + "\nOverwrite?");
        if (answer != Prompt::Answer::Yes) {
            CloseSource();
            if (answer != Prompt::Answer::No) StopProcessing();
            return false;
        }
    }

    if (!CreateDestinationFile(record_.destinationPath, Disposition::CreateAlways,
                               record_.sourceFile, &record_.destinationFile)) {
        CloseSource();
        prompt_.ShowError("Can't create file\n" + record_.destinationPath);
        return false;
    }
    return true;
}

}  // namespace kavrin
