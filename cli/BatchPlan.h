// The main-thread half of a `kvn` batch: turning the named paths into files (the queue's walk
// rules), and preparing each file's job in input order, as the window's dispatcher prepares a
// queue row: open the source, choose the direction, name the result, apply the overwrite
// policy (asking when it must), and create the result's temporary file with any missing
// folders.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <set>
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
    int64_t leftoverAgeSeconds = 0;  // temporary files older than this are removed first
};

// Walks every named path. Files found below the output folder while walking a folder that
// holds it are left out, so that a second run never takes the first run's results for input.
std::vector<BatchItem> CollectItems(const std::vector<std::string>& inputs,
                                    const PlanOptions& options);

class Planner {
public:
    Planner(const PlanOptions& options, const std::vector<BatchItem>& items, Console& console);

    // Prepares `item`. True when it is ready to run (source open, temporary file created);
    // false when its outcome is already final (refused, skipped, or canceled by the answer
    // Cancel), with nothing created and nothing left open.
    bool Prepare(BatchItem& item);

    // True once the user answered Cancel: the files not yet prepared are not started.
    bool Cancelled() const { return cancelled_; }

private:
    // The outcome of a preparation that cannot go on; closes the source.
    void Refuse(BatchItem& item, const std::string& message);
    void Skip(BatchItem& item);
    bool NameResult(BatchItem& item, std::string* folder, std::string* shownFolder,
                    std::string* name);
    // Decides how an existing result is treated. False when the item ends here.
    bool ResolveExisting(BatchItem& item, const std::string& shownDestination);

    PlanOptions options_;
    Console& console_;
    std::string outputFolder_;       // absolute, "" for beside each source
    std::set<std::string> sources_;  // every file of the batch
    std::set<std::string> claimed_;  // results of prepared jobs
    std::set<std::string> cleanedFolders_;
    bool cancelled_ = false;
};

}  // namespace kavrin::cli
