// SPDX-License-Identifier: MIT
// The main-thread half of a `kvn` batch: turning the named paths into files (the queue's walk
// rules), and preparing each file's job in input order through the job pipeline
// (jobs/JobPipeline.h), which the window's dispatcher uses too. The planner answers the
// pipeline's questions with kvn's options (where results go, the overwrite policy, asking on a
// terminal) and puts its refusals into kvn's words.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/BatchItem.h"
#include "cli/Console.h"
#include "engine/format/ArchiveFormat.h"
#include "platform/File.h"

namespace kavrin::cli {

enum class OverwritePolicy {
    Ask,        // ask on a terminal; elsewhere refuse with a message
    Force,      // replace (-f)
    NoClobber,  // skip without an error (-n)
};

struct PlanOptions {
    BatchCommand command = BatchCommand::Process;
    std::string outputFolder;  // "" for beside each source
    bool keepTree = false;     // below outputFolder at the path below the named folder, or
                               // below `base` (a named file, or every file when base is given)
    std::string base;          // "" for the working folder, with walked files below their folder
    OverwritePolicy overwrite = OverwritePolicy::Ask;
    int64_t leftoverAgeSeconds = 0;         // temporary files older than this are removed first
    bool toStdout = false;                  // results go to standard output, one after another
    const std::string* typeText = nullptr;  // a compression's stored type instead of the name's
    bool replaceAny = false;                // -f also replaces an archive that holds another file
    // Standard input and output (tests give their own), and the most a pipe on standard input
    // may bring (tests set a limit; by default only the temporary folder's room limits it).
    platform::FileHandle standardInput = 0;
    platform::FileHandle standardOutput = 1;
    uint64_t spoolLimit = UINT64_MAX;
    // --shard K/N: only the files whose path falls into share K (1..N) of N; 0/0 takes all.
    uint32_t shardIndex = 0;
    uint32_t shardCount = 0;
};

// The share (0..count-1) of the inputs a file's path falls into: FNV-1a (64 bits) of the bytes
// of the path as given and walked, in its plain spelling (ShardSpelling), modulo `count`. Stable
// across machines and runs, so machines given one list each take their own share and together
// every file exactly once, however often and however spelled the list names it.
uint32_t ShardOf(const std::string& path, uint32_t count);

// A path's plain spelling, worked out on its bytes alone: no "." components, no doubled or
// trailing '/', and each ".." taking back the name before it ("./a//b/../c.wav" gives "a/c.wav",
// "/x/./y" gives "/x/y"). Two spellings of one name give one text.
std::string ShardSpelling(const std::string& path);

// How a list of paths (--files-from) was read.
enum class ListRead {
    Ok,
    Unreadable,  // errno set
    NulInLine,   // a newline-separated list with a NUL byte inside a line
    TooLong,     // an entry of PATH_MAX bytes or more, which no system call takes
};

// Reads a list of paths (--files-from) from `file`: one per line, or with `nulSeparated` one per
// NUL byte, kept byte for byte (spaces and, with NUL separators, newlines included); empty
// entries are skipped. An entry "-" is the file named "-" of the working folder ("./-"), never
// standard input. The whole list is read before it is taken: an entry the system cannot open as
// it stands refuses the list, with `*line` the number of its line (or, with NUL separators, of
// its entry), counting empty ones.
ListRead ReadPathList(platform::FileHandle file, bool nulSeparated, std::vector<std::string>* paths,
                      uint64_t* line);

// The name a batch's input "-" stands for: standard input. A redirected file is read as it is;
// a pipe is first kept whole in an unnamed file of the temporary folder ($TMPDIR), since a
// compression needs its size before it starts. A terminal is refused.
inline constexpr const char* kStandardInput = "-";

// Walks every named path ("-" is standard input). A walk takes what the command is for:
// compress leaves out names ending in ".kvn" (one that is no archive gets a report line saying
// so), expand takes only those (files named one by one follow the command). Files found below
// the output folder while walking a folder that holds it are left out, so that a second run never
// takes the first run's results for input; an output folder that is the walked folder itself (or
// holds it) leaves nothing out: results go among their sources, as asked. Every walk is over
// before the first result is written, so no result of the run is ever one of its inputs.
std::vector<BatchItem> CollectItems(const std::vector<std::string>& inputs,
                                    const PlanOptions& options);

class Planner : private PrepareHost {
public:
    Planner(const PlanOptions& options, Console& console);

    // Makes `items` the batch's inputs: a file named twice is one input. A later mention under
    // the same name (another spelling of it, through a link to its folder) is dropped; one under
    // another name (a hard link, a link to the file) is skipped with a report line saying why.
    void TakeInputs(std::vector<BatchItem>* items);

    // The inputs that are the very file standard output writes to (kvn compress -c a.wav >>
    // a.wav): a result or a report line appended to an input would change it while it is read,
    // so such a batch does nothing at all.
    std::vector<std::string> InputsOnStandardOutput(const std::vector<BatchItem>& items);

    // Prepares `item`. True when it is ready to run (source open, temporary file created);
    // false when its outcome is already final (refused, skipped, or canceled by the answer
    // Cancel), with nothing created and nothing left open.
    bool Prepare(BatchItem& item);

    // True once the user answered Cancel: the files not yet prepared are not started.
    bool Cancelled() const { return cancelled_; }

private:
    std::string ResultFolder(const PreparedJob& job) override;
    bool KeepsExistingResults() override;
    Existing DecideExisting(const PreparedJob& job) override;
    int MirroredFolderLevels(const PreparedJob& job) override;

    // The outcome of a preparation that cannot go on.
    void Refuse(BatchItem& item, const Said& message);
    void Tell(BatchItem& item, const PrepareResult& result);
    // Why the pipeline refused `item`, in the current language; "" when it did not.
    std::string RefusalText(const BatchItem& item, const PrepareResult& result) const;

    PlanOptions options_;
    Console& console_;
    JobPreparer preparer_;
    std::string outputFolder_;      // absolute, "" for beside each source
    BatchItem* current_ = nullptr;  // the item being prepared
    std::string shownFolder_;       // its result's folder as the user would spell it
    bool cancelled_ = false;
    bool answeredAll_ = false;  // the answer All: replace without asking, but for other files
    bool standardOutputKnown_ = false;
    platform::FileStatus standardOutput_;
};

}  // namespace kavrin::cli
