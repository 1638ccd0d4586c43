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

namespace kavrin::cli {

enum class OverwritePolicy {
    Ask,        // ask on a terminal; elsewhere refuse with a message
    Force,      // replace (-f)
    NoClobber,  // skip without an error (-n)
};

struct PlanOptions {
    BatchCommand command = BatchCommand::Process;
    std::string outputFolder;  // "" for beside each source
    bool keepTree = false;     // below outputFolder at the path below the named folder
    OverwritePolicy overwrite = OverwritePolicy::Ask;
    int64_t leftoverAgeSeconds = 0;         // temporary files older than this are removed first
    bool toStdout = false;                  // results go to standard output, one after another
    const std::string* typeText = nullptr;  // a compression's stored type instead of the name's
    bool replaceAny = false;                // -f also replaces an archive that holds another file
};

// The name a batch's input "-" stands for: standard input, which must be a regular file (a
// redirected file, not a pipe), since a compression needs its size before it starts.
inline constexpr const char* kStandardInput = "-";

// Walks every named path ("-" is standard input). Files found below the output folder while
// walking a folder that holds it are left out, so that a second run never takes the first
// run's results for input.
std::vector<BatchItem> CollectItems(const std::vector<std::string>& inputs,
                                    const PlanOptions& options);

class Planner : private PrepareHost {
public:
    Planner(const PlanOptions& options, Console& console);

    // Makes `items` the batch's inputs: a file named twice (two spellings, a link, a hard link)
    // is one input, so its later mentions are dropped.
    void TakeInputs(std::vector<BatchItem>* items);

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

    // The outcome of a preparation that cannot go on.
    void Refuse(BatchItem& item, const std::string& message);
    void Tell(BatchItem& item, const PrepareResult& result);

    PlanOptions options_;
    Console& console_;
    JobPreparer preparer_;
    std::string outputFolder_;      // absolute, "" for beside each source
    BatchItem* current_ = nullptr;  // the item being prepared
    std::string shownFolder_;       // its result's folder as the user would spell it
    bool cancelled_ = false;
    bool answeredAll_ = false;  // the answer All: replace without asking, but for other files
};

}  // namespace kavrin::cli
