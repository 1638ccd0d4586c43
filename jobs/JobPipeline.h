// SPDX-License-Identifier: MIT
// The one road every file takes, in the window and in `kvn` alike: prepare the job, run the
// engine, finish it. Whatever decides whether a file may be written, replaced or deleted is here
// and nowhere else; a front end only supplies its answers (where results go, what to do with an
// existing result) and turns the statuses into its own words.
//
// - Prepare opens the source, decides the direction, names the result, decides about an
//   existing result and creates the result's temporary file (jobs/Destination.h). Files are
//   known by identity (device and inode), never by the spelling of their paths.
// - RunJob runs the engine and finishes: a compression whose source changed while it was read
//   fails; a done result is checked (when asked), committed under its final name, and only
//   then may its source go, when the result is on disk and the source is still the very file,
//   unchanged, that was read.
//
// Threads: a JobPreparer and Prepare run on the front end's thread; RunJob on the thread that
// owns the engine. A PreparedJob belongs to one thread at a time: the preparer's until it is
// handed over, the runner's until RunJob returns.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>

#include "engine/Engine.h"
#include "jobs/Destination.h"
#include "jobs/Verify.h"
#include "platform/File.h"

namespace kavrin {

// What a job does with its source.
enum class JobKind {
    ByName,    // expand when the full path ends in ".kvn" (any case), compress otherwise
    Compress,  // always compress
    Expand,    // always expand
};

// One job from its preparation to its end. The window's job record is one.
struct PreparedJob {
    platform::FileHandle sourceFile = platform::kInvalidFile;
    DestinationFile destinationFile;  // open under its temporary name until the job ends
    Disposition disposition = Disposition::CreateNew;  // CreateAlways replaces a result
    int32_t deltaMode = 0;        // the DeltaMode requested for a compression, 0 to 5
    int32_t expand = 0;           // 0 compress, 1 expand
    std::string typeText;         // compression: the source's extension; expansion: the stored one
    std::string sourcePath;       // absolute
    std::string destinationPath;  // the final name, as messages and reports show it
    platform::FileStatus sourceStatus;  // identity, size and times when the source was opened
    platform::FileStamp sourceStamp;    // times and mode a result may take over
    bool stamped = false;
    // While an existing result is decided about: when it is an archive that restores another
    // file than this compression's source, that file's name; otherwise empty.
    std::string existingHolds;
};

// Why a preparation gave no job; Ready when it did.
enum class PrepareStatus {
    Ready,
    SourceUnopenable,  // errno says why; EWOULDBLOCK: another program holds it
    HeaderUnreadable,  // errno says why
    NotArchive,        // no "KVN1" or "KVN2" magic
    HeaderTruncated,   // the file ends inside the header
    UnsafeTypeText,    // the stored type would name a file elsewhere ('/', NUL, "." or "..")
    TypeTextTooLong,   // the extension does not fit a header
    NoResultFolder,    // the front end gave no folder (and told the user why)
    ResultTaken,       // another job of the batch already writes this result
    ResultIsInput,     // the result would replace another input of the batch
    ResultIsFolder,    // a folder stands at the result's name
    ResultIsSource,    // the result's name is the source itself
    Skipped,           // an existing result is kept (the answer No, or the policy)
    Refused,           // an existing result, and nobody to ask
    Cancelled,         // the answer Cancel
    CreateFailed,      // errno says why
};

struct PrepareResult {
    PrepareStatus status = PrepareStatus::Ready;
    int error = 0;  // errno, where the status says so
};

// What the front end decides while a job is prepared.
class PrepareHost {
public:
    enum class Existing { Replace, Keep, Refuse, Cancel };

    virtual ~PrepareHost() = default;
    // The folder the job's result goes to, ending in '/'; empty refuses the job (the host has
    // said why). The job's source is open, its direction and type text known.
    virtual std::string ResultFolder(const PreparedJob& job) = 0;
    // True when an existing result is kept without a question (and before any other check, so a
    // batch run again over its own results goes through cleanly).
    virtual bool KeepsExistingResults() { return false; }
    // A file (or a link, even one leading nowhere) stands at job.destinationPath.
    virtual Existing DecideExisting(const PreparedJob& job) = 0;
    // How many of the last folders of the result folder stand for the source's own folders at
    // the same depth (kvn -r -o keeps each file's folders below its base): one of them that has
    // to be made takes its source folder's permissions (jobs/Destination.h). None by default.
    virtual int MirroredFolderLevels(const PreparedJob&) { return 0; }
};

// Prepares jobs, one after another, and remembers what a run of them must know: which folders
// were cleared of leftovers and, for a batch, every input and every result already claimed.
class JobPreparer {
public:
    // `leftoverAgeSeconds`: temporary files of killed runs older than this are removed from a
    // result folder before the first result is written into it.
    explicit JobPreparer(int64_t leftoverAgeSeconds);

    // Makes the preparer check a batch: no two jobs write one result, and no result replaces an
    // input. Adds `path` (followed through links) as an input; false when it is the same file
    // as an input already added (two spellings, a hard link): then it is the same input.
    bool AddInput(const std::string& path);

    // Prepares the job of `sourcePath` (absolute) into `job`. On Ready the source is open and
    // the result's temporary file created; on any other status nothing is left open or created.
    PrepareResult Prepare(const std::string& sourcePath, JobKind kind, PrepareHost& host,
                          PreparedJob* job);

    // Prepares a job whose result is streamed to `out` (standard output) instead of a file: no
    // result name, no existing result, no temporary file, and its source is never deleted. A
    // compression stores `typeText`, or with null the extension of the source's name. On Ready
    // the source is open and job->destinationFile holds a descriptor of its own for `out`.
    PrepareResult PrepareStream(const std::string& sourcePath, JobKind kind,
                                const std::string* typeText, platform::FileHandle out,
                                PreparedJob* job);

private:
    // A result's identity: the device and inode of its nearest existing folder, and the rest of
    // its path below that folder.
    using ResultKey = std::tuple<uint64_t, uint64_t, std::string>;
    static ResultKey KeyOf(const std::string& path);

    PrepareResult Refuse(PreparedJob* job, PrepareStatus status, int error = 0);
    // Opens the source, decides the direction and checks the header or the size.
    PrepareResult OpenSource(const std::string& sourcePath, JobKind kind, PreparedJob* job);
    PrepareResult NameResult(PrepareHost& host, PreparedJob* job);
    PrepareResult ResolveExisting(PrepareHost& host, PreparedJob* job);

    int64_t leftoverAgeSeconds_;
    std::set<ResultKey> cleanedFolders_;
    bool batch_ = false;
    std::set<std::pair<uint64_t, uint64_t>> inputs_;  // device, inode
    std::set<ResultKey> claimedResults_;
    std::set<std::pair<uint64_t, uint64_t>> claimedFiles_;  // results that existed when claimed
};

// Closes a prepared job that will not run: its source closed, its unfinished result removed.
void DropJob(PreparedJob& job);

// True for a job whose result is streamed rather than written to a file.
inline bool IsStreamed(const PreparedJob& job) {
    return job.destinationFile.temporaryPath.empty();
}

struct FinishOptions {
    // The result takes the source's times as well as its mode, as `bzip2` does. Without, it takes
    // the mode alone: every result does, when it stops being a private temporary file.
    bool keepStamp = false;
    bool verify = false;  // a compression's archive is decoded and compared with its source
    // Asked once, at the end of a Done job: whether the source is to be deleted. Null: never.
    std::function<bool()> deleteSource;
};

// How a job ended, for the front end's report.
struct JobEnd {
    // What happened to the source.
    enum class Source {
        Kept,
        Deleted,
        Changed,       // it changed, or its name leads elsewhere now: kept, though asked
        DeleteFailed,  // deleteError says why
    };
    // Where a job the engine finished went wrong.
    enum class Problem {
        None,
        Engine,         // outcome.error says why
        SourceChanged,  // the source changed while it was compressed
        Verify,         // the archive did not decode to its source (verify says how)
        Commit,         // the result could not be made final; commitError says why
    };

    JobOutcome outcome;  // its result is the job's: a finish that fails turns Done into Failed
    Problem problem = Problem::None;
    // Why the job failed, wherever it failed (the engine's status for Problem::Engine); ok for a
    // job that did not fail. Its kind tells the machine's failures from the data's.
    Status status;
    bool verified = false;
    VerifyReport verify;
    int commitError = 0;
    bool stampFailed =
        false;  // with keepStamp: the result could not take the source's times or mode
    int stampError = 0;
    Source source = Source::Kept;
    int deleteError = 0;
};

// Runs the prepared job on `engine`, reporting through `observer`, and finishes it. Whatever
// happens, both files are closed and no temporary file is left behind; the source is deleted
// only under the rule above.
JobEnd RunJob(PreparedJob& job, EngineContext& engine, EngineObserver& observer,
              const FinishOptions& options);

// A seam for tests alone; production never sets it. `hook` is called with the source's path
// when a result has been committed and its source is about to be checked and deleted, as another
// program acting in that very moment would; an empty hook removes it. Any thread.
void SetBeforeSourceDeletionHook(std::function<void(const std::string& sourcePath)> hook);

}  // namespace kavrin
