// SPDX-License-Identifier: MIT
#include "jobs/JobPipeline.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <utility>

#include "engine/format/ArchiveFormat.h"
#include "jobs/Leftovers.h"
#include "jobs/Naming.h"
#include "platform/SharedFile.h"

namespace kavrin {
namespace {

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// The name of the file that the archive at `path` restores, when that is not `sourceName`: an
// existing archive of another file (Kick.aiff's Kick.kvn, when Kick.wav is compressed) is
// never replaced silently. Empty for anything else, a file that is no readable archive too.
std::string OtherFileHeld(const std::string& path, const std::string& sourceName) {
    platform::FileHandle file = platform::OpenShared(path);
    if (file == platform::kInvalidFile) return "";
    uint8_t bytes[kMaxHeaderBytes];
    const int64_t got = platform::ReadAt(file, bytes, sizeof bytes, 0);
    platform::CloseFile(file);
    ArchiveHeader header;
    const bool read = got >= 0 && ParseArchiveHeader(bytes, static_cast<size_t>(got), &header,
                                                     HeaderField::TypeText) == HeaderStatus::Ok;
    std::string name, folder, held;
    SplitPath(path, &name, &folder);
    if (!read || !NameForExpansion(name, header.typeText, &held) || held == sourceName) return "";
    return held;
}

}  // namespace

JobPreparer::JobPreparer(int64_t leftoverAgeSeconds) : leftoverAgeSeconds_(leftoverAgeSeconds) {}

bool JobPreparer::AddInput(const std::string& path) {
    batch_ = true;
    platform::FileStatus status;
    if (!platform::StatusOfPath(path, &status)) return true;  // refused later, when opened
    return inputs_.insert({status.device, status.inode}).second;
}

JobPreparer::ResultKey JobPreparer::KeyOf(const std::string& path) {
    // Walk up to the nearest folder that exists: its identity stands for every spelling of it,
    // links included, and the names below it are compared as they are.
    std::string rest;
    std::string folder = path;
    for (;;) {
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos) return {0, 0, path};
        rest = folder.substr(slash) + rest;
        folder.resize(slash);
        platform::FileStatus status;
        if (platform::StatusOfPath(folder.empty() ? "/" : folder, &status) && status.isFolder) {
            return {status.device, status.inode, rest};
        }
        if (folder.empty()) return {0, 0, path};
    }
}

PrepareResult JobPreparer::Refuse(PreparedJob* job, PrepareStatus status, int error) {
    platform::CloseFile(job->sourceFile);
    return {status, error};
}

PrepareResult JobPreparer::Prepare(const std::string& sourcePath, JobKind kind, PrepareHost& host,
                                   PreparedJob* job) {
    PrepareResult opened = OpenSource(sourcePath, kind, job);
    if (opened.status != PrepareStatus::Ready) return opened;
    return NameResult(host, job);
}

PrepareResult JobPreparer::PrepareStream(const std::string& sourcePath, JobKind kind,
                                         const std::string* typeText, platform::FileHandle out,
                                         PreparedJob* job) {
    job->destinationFile = DestinationFile{};
    PrepareResult opened = OpenSource(sourcePath, kind, job);
    if (opened.status != PrepareStatus::Ready) return opened;
    if (!job->expand) {
        std::string name, folder, archiveName;
        SplitPath(sourcePath, &name, &folder);
        std::string fromName;
        const bool named = NameForCompression(name, &archiveName, &fromName);
        if (typeText != nullptr) {
            if (typeText->size() > kMaxTypeText) return Refuse(job, PrepareStatus::TypeTextTooLong);
            job->typeText = *typeText;
        } else if (!named) {
            return Refuse(job, PrepareStatus::TypeTextTooLong);
        } else {
            job->typeText = fromName;
        }
    }
    job->destinationFile.file = platform::Duplicate(out);
    if (job->destinationFile.file == platform::kInvalidFile) {
        return Refuse(job, PrepareStatus::CreateFailed, errno);
    }
    return {PrepareStatus::Ready, 0};
}

PrepareResult JobPreparer::OpenSource(const std::string& sourcePath, JobKind kind,
                                      PreparedJob* job) {
    job->typeText.clear();
    job->sourcePath = sourcePath;
    job->destinationPath.clear();
    job->disposition = Disposition::CreateNew;
    job->sourceFile = platform::OpenForRead(sourcePath);
    if (job->sourceFile == platform::kInvalidFile) {
        return {PrepareStatus::SourceUnopenable, errno};
    }
    if (!platform::StatusOf(job->sourceFile, &job->sourceStatus)) {
        return Refuse(job, PrepareStatus::SourceUnopenable, errno);
    }
    // Taken now, before reading moves the access time.
    job->stamped = platform::ReadFileStamp(job->sourceFile, &job->sourceStamp);

    // By name, a name ending in ".kvn" is an archive; its magic is checked below.
    job->expand = kind == JobKind::Expand || (kind == JobKind::ByName && IsArchivePath(sourcePath));
    std::string name, folder;
    SplitPath(sourcePath, &name, &folder);
    if (job->expand) {
        ArchiveHeader header;
        switch (ReadArchiveHeader(job->sourceFile, &header, HeaderField::TypeText)) {
            case HeaderStatus::Ok:
                break;
            case HeaderStatus::NotArchive:
                return Refuse(job, PrepareStatus::NotArchive);
            case HeaderStatus::Truncated:
                return Refuse(job, PrepareStatus::HeaderTruncated);
            case HeaderStatus::ReadError:
                return Refuse(job, PrepareStatus::HeaderUnreadable, errno);
        }
        std::string restored;
        // A stored type that would name a file outside the folder is no usable archive.
        if (!NameForExpansion(name, header.typeText, &restored)) {
            return Refuse(job, PrepareStatus::UnsafeTypeText);
        }
        if (!platform::SeekTo(job->sourceFile, 0)) {
            return Refuse(job, PrepareStatus::HeaderUnreadable, errno);
        }
        job->typeText = header.typeText;
    }
    return {PrepareStatus::Ready, 0};
}

PrepareResult JobPreparer::NameResult(PrepareHost& host, PreparedJob* job) {
    const std::string folder = host.ResultFolder(*job);
    if (folder.empty()) return Refuse(job, PrepareStatus::NoResultFolder);
    std::string name, sourceFolder;
    SplitPath(job->sourcePath, &name, &sourceFolder);
    std::string resultName;
    const bool named = job->expand ? NameForExpansion(name, job->typeText, &resultName)
                                   : NameForCompression(name, &resultName, &job->typeText);
    if (!named) {
        // Only a compression gets here: the extension does not fit a header.
        job->destinationPath =
            folder + name.substr(0, FindExtension(name)) + '.' + std::string(kArchiveExtension);
        return Refuse(job, PrepareStatus::TypeTextTooLong);
    }
    job->destinationPath = folder + resultName;

    if (batch_ && claimedResults_.count(KeyOf(job->destinationPath)) != 0) {
        return Refuse(job, PrepareStatus::ResultTaken);
    }
    PrepareResult existing = ResolveExisting(host, job);
    if (existing.status != PrepareStatus::Ready) return existing;

    // Leftovers of killed runs go before a result is written into the folder the first time.
    const std::string folderPath = WithoutTrailingSlash(folder);
    if (cleanedFolders_.insert(KeyOf(folderPath + "/.")).second) {
        RemoveLeftovers(folderPath, static_cast<int64_t>(std::time(nullptr)), leftoverAgeSeconds_);
    }

    FolderOrigin origin;
    origin.levels = host.MirroredFolderLevels(*job);
    origin.sourceFolder = sourceFolder.empty() ? "/" : sourceFolder;
    if (!CreateDestinationFile(job->destinationPath, job->disposition, job->sourceFile,
                               &job->destinationFile, origin)) {
        const int error = errno;
        return Refuse(job,
                      error == EINVAL ? PrepareStatus::ResultIsSource : PrepareStatus::CreateFailed,
                      error);
    }
    if (batch_) {
        // Keyed now that its folder exists: a claim is always found through that folder.
        claimedResults_.insert(KeyOf(job->destinationPath));
        platform::FileStatus entry;
        if (platform::StatusOfEntry(job->destinationPath, &entry)) {
            claimedFiles_.insert({entry.device, entry.inode});
        }
    }
    return {PrepareStatus::Ready, 0};
}

PrepareResult JobPreparer::ResolveExisting(PrepareHost& host, PreparedJob* job) {
    job->disposition = Disposition::CreateNew;
    job->existingHolds.clear();
    // Whatever stands at the name counts, a link that leads nowhere too: renaming the result
    // over it would replace it.
    platform::FileStatus entry;
    if (!platform::StatusOfEntry(job->destinationPath, &entry)) return {PrepareStatus::Ready, 0};
    if (host.KeepsExistingResults()) return Refuse(job, PrepareStatus::Skipped);
    if (entry.isFolder) return Refuse(job, PrepareStatus::ResultIsFolder);
    // Replacing the source's own entry would lose it.
    if (entry.SameFile(job->sourceStatus)) return Refuse(job, PrepareStatus::ResultIsSource);
    if (batch_) {
        if (claimedFiles_.count({entry.device, entry.inode}) != 0) {
            return Refuse(job, PrepareStatus::ResultTaken);
        }
        if (inputs_.count({entry.device, entry.inode}) != 0) {
            return Refuse(job, PrepareStatus::ResultIsInput);
        }
    }
    if (!job->expand) {
        std::string sourceName, sourceFolder;
        SplitPath(job->sourcePath, &sourceName, &sourceFolder);
        job->existingHolds = OtherFileHeld(job->destinationPath, sourceName);
    }
    switch (host.DecideExisting(*job)) {
        case PrepareHost::Existing::Replace:
            job->disposition = Disposition::CreateAlways;
            return {PrepareStatus::Ready, 0};
        case PrepareHost::Existing::Keep:
            return Refuse(job, PrepareStatus::Skipped);
        case PrepareHost::Existing::Refuse:
            return Refuse(job, PrepareStatus::Refused);
        case PrepareHost::Existing::Cancel:
            break;
    }
    return Refuse(job, PrepareStatus::Cancelled);
}

void DropJob(PreparedJob& job) {
    platform::CloseFile(job.sourceFile);
    AbandonDestination(job.destinationFile);
}

namespace {

std::mutex g_hookLock;
std::function<void(const std::string&)> g_beforeSourceDeletion;

void BeforeSourceDeletion(const std::string& sourcePath) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        hook = g_beforeSourceDeletion;
    }
    if (hook) hook(sourcePath);
}

// The source as it is now, through its open descriptor: the same size and times as when it was
// opened, and every byte of it read.
bool SourceUnchanged(const PreparedJob& job, const JobOutcome& outcome) {
    platform::FileStatus now;
    return platform::StatusOf(job.sourceFile, &now) && now.Unchanged(job.sourceStatus) &&
           outcome.bytesRead == job.sourceStatus.size;
}

// The source's name still leads to the very file that was read, unchanged.
bool SourceStillThere(const PreparedJob& job) {
    platform::FileStatus byName;
    return platform::StatusOfPath(job.sourcePath, &byName) && byName.Unchanged(job.sourceStatus);
}

void Fail(JobEnd& end, JobEnd::Problem problem) {
    end.outcome.result = JobResult::Failed;
    end.problem = problem;
    switch (problem) {
        case JobEnd::Problem::None:
        case JobEnd::Problem::Engine:
            end.status = end.outcome.status;
            break;
        case JobEnd::Problem::SourceChanged:
            end.status = Status::Engine(EngineError::SourceChanged);
            break;
        case JobEnd::Problem::Verify:
            // What differs is what reached the disk, not the data: worth trying again.
            end.status = Status::Failure(FailureKind::Machine, DescribeVerify(end.verify));
            break;
        case JobEnd::Problem::Commit:
            end.status = Status::System(end.commitError, "the result could not be made final");
            break;
    }
}

// Everything after a job the engine ended Done; leaves `end` Done, or Failed or Cancelled with
// the temporary file gone.
void Finish(PreparedJob& job, EngineContext& engine, EngineObserver& observer,
            const FinishOptions& options, JobEnd& end) {
    if (!job.expand && !SourceUnchanged(job, end.outcome)) {
        AbandonDestination(job.destinationFile);
        Fail(end, JobEnd::Problem::SourceChanged);
        return;
    }
    if (IsStreamed(job)) {
        // What was streamed is the reader's now: there is nothing to commit and nothing may go.
        if (!platform::CloseFile(job.destinationFile.file)) {
            end.commitError = errno;
            Fail(end, JobEnd::Problem::Commit);
        }
        return;
    }
    if (options.verify && !job.expand) {
        // The archive is read back from the file system, as a later reader would see it.
        if (!platform::CloseFile(job.destinationFile.file)) {
            end.commitError = errno;
            AbandonDestination(job.destinationFile);
            Fail(end, JobEnd::Problem::Commit);
            return;
        }
        end.verify =
            VerifyArchive(engine, job.destinationFile.temporaryPath, job.sourceFile, observer);
        if (end.verify.result == VerifyResult::Cancelled) {
            AbandonDestination(job.destinationFile);
            end.outcome.result = JobResult::Cancelled;
            return;
        }
        if (end.verify.result != VerifyResult::Match) {
            AbandonDestination(job.destinationFile);
            Fail(end, JobEnd::Problem::Verify);
            return;
        }
        end.verified = true;
        // Held open again for the stamp and the sync: after the stamp the file's own mode may
        // no longer let its owner open it.
        job.destinationFile.file = platform::OpenForRead(job.destinationFile.temporaryPath);
        if (job.destinationFile.file == platform::kInvalidFile) {
            end.commitError = errno;
            AbandonDestination(job.destinationFile);
            Fail(end, JobEnd::Problem::Commit);
            return;
        }
    }
    // Last, so that nothing after it moves the times. The private temporary file takes the
    // source's mode as it becomes the result (a source that could not be looked at leaves it
    // private).
    if (options.keepStamp &&
        (!job.stamped || !platform::ApplyFileStamp(job.destinationFile.file, job.sourceStamp))) {
        end.stampFailed = true;
        end.stampError = job.stamped ? errno : 0;
    } else if (!options.keepStamp && job.stamped) {
        platform::ApplyPermissions(job.destinationFile.file, job.sourceStamp.permissions);
    }

    // Read once, now: a change of the option during the job applies to this job. Only a result
    // known to be on disk may let its source go.
    const bool deleteSource = options.deleteSource && options.deleteSource();
    if (!CommitDestination(job.destinationFile, job.disposition, deleteSource)) {
        end.commitError = errno;
        Fail(end, JobEnd::Problem::Commit);
        return;
    }
    if (!deleteSource) return;
    BeforeSourceDeletion(job.sourcePath);
    // Someone else's file put at the name meanwhile, or the source written to since it was
    // read, stays: the result holds what was read, not what is there now.
    if (!SourceStillThere(job)) {
        end.source = JobEnd::Source::Changed;
    } else if (!platform::DeleteFile(job.sourcePath)) {
        end.source = JobEnd::Source::DeleteFailed;
        end.deleteError = errno;
    } else {
        end.source = JobEnd::Source::Deleted;
    }
}

}  // namespace

JobEnd RunJob(PreparedJob& job, EngineContext& engine, EngineObserver& observer,
              const FinishOptions& options) {
    JobEnd end;
    FileSink destination(job.destinationFile.file);
    end.outcome = job.expand
                      ? ExpandJob(engine, job.sourceFile, destination, observer)
                      : CompressJob(engine, job.sourceFile, destination,
                                    static_cast<DeltaMode>(job.deltaMode), job.typeText, observer);
    if (end.outcome.result == JobResult::Done) {
        Finish(job, engine, observer, options, end);
    } else {
        AbandonDestination(job.destinationFile);
        if (end.outcome.result == JobResult::Failed) Fail(end, JobEnd::Problem::Engine);
    }
    platform::CloseFile(job.sourceFile);
    return end;
}

void SetBeforeSourceDeletionHook(std::function<void(const std::string& sourcePath)> hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_beforeSourceDeletion = std::move(hook);
}

}  // namespace kavrin
