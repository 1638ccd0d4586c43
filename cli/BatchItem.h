// SPDX-License-Identifier: MIT
// One file of a `kvn` batch, from the folder walk to its report line.
//
// The main thread creates every item when it walks the inputs, prepares them one after another
// in input order through the job pipeline (jobs/JobPipeline.h), and hands a prepared item to one
// worker thread, which runs the job and fills in the outcome. From the hand-over until the worker
// reports the item finished (under the batch's lock), only that worker touches the item; afterwards
// only the main thread reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/Translate.h"
#include "engine/format/DeltaFilter.h"
#include "jobs/JobPipeline.h"

namespace kavrin::cli {

// What a batch does with the files it is given.
enum class BatchCommand {
    Compress,  // every file is compressed
    Expand,    // every file is expanded
    Process,   // like the window: a path ending in ".kvn" that starts with the magic is
               // expanded, anything else compressed
};

enum class ItemResult { Done, Failed, Skipped, Canceled };

struct ItemOutcome {
    ItemResult result = ItemResult::Canceled;
    // The report's Action text: "compressed", "expanded", "canceled", "error" (the job failed
    // while it ran), "ERROR" (it could not start), or "skipped" (-n, or the answer No).
    std::string action = "canceled";
    bool hasSizes = false;
    DeltaMode mode = DeltaMode::None;  // the mode used (compression) or stored (expansion)
    uint64_t oldSize = 0;              // payload bytes read, header excluded
    uint64_t newSize = 0;              // payload bytes written, header excluded
    bool verified = false;             // --verify compared the archive with its source
    bool sourceDeleted = false;        // --delete-source removed the source
    bool outputLost = false;           // the result could not be written to standard output
    bool pipeClosed = false;  // ... because its reader closed the pipe: nothing to say about it
    bool problem = false;     // makes the exit status 1 (failed, refused, not deleted)
    bool transient = false;   // the problem lies with the machine: running again may succeed
    // For stderr (in the user's language) and the JSON report (in English), in order, without
    // the "kvn: " prefix.
    std::vector<Said> messages;
};

// Keeps a file open while the items that read it live: standard input kept in an unnamed file.
struct HeldFile {
    platform::FileHandle file = platform::kInvalidFile;
    explicit HeldFile(platform::FileHandle f) : file(f) {}
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { platform::CloseFile(file); }
};

struct BatchItem {
    // From the walk.
    std::string shownPath;       // the path as the user spelled it, joined with walked names
                                 // ("-" for standard input)
    std::string path;            // the same made absolute
    std::string relativeFolder;  // below the named folder ("" for a named file), for -r
    bool legal = true;           // false: refused by the queue's attribute rules
    Said refusal;                // with legal false: why, when the rules do not say it
    bool refusalTransient = false;
    Said skip;          // not empty: left out, and why (another name of a file met already)
    uint64_t size = 0;  // the size when walked, for progress
    std::shared_ptr<const HeldFile> held;  // what `path` reads, when it has no name

    // From the preparation: the job the pipeline prepared, and its result's name as the user
    // would spell it.
    PreparedJob job;
    std::string shownDestination;

    ItemOutcome outcome;
};

}  // namespace kavrin::cli
