// SPDX-License-Identifier: MIT
// A `kvn` batch: the named files and folders walked with the queue's rules, each file
// compressed or expanded on one of N worker threads (each with its own engine), and one report
// line per file on stdout, in input order whatever order the jobs finish in, then the totals.
//
// The main thread walks, prepares each job in input order (the overwrite question included),
// prints the report and the progress line; workers only run prepared jobs. Ctrl-C stops every
// running job at its next chunk; nothing further starts.
//
// When the report (or, with -c, the results) can no longer be written to standard output (it
// was closed, its disk is full), the running jobs are stopped as by Ctrl-C, nothing more
// starts, and the status is 1.
//
// Exit status: 0 every file done or skipped (-n, or the answer No); 1 a file failed or was
// refused, the batch was canceled at a question, or standard output failed; 130 interrupted by
// Ctrl-C.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/BatchPlan.h"
#include "cli/Console.h"
#include "engine/format/DeltaFilter.h"
#include "jobs/Leftovers.h"

namespace kavrin::cli {

struct BatchOptions {
    BatchCommand command = BatchCommand::Process;
    DeltaMode mode = DeltaMode::Auto;  // for compressions
    std::string outputFolder;          // "" for beside each source
    bool keepTree = false;             // -r: keep the tree below each named folder
    std::string base;                  // --base: -r keeps every path below it
    unsigned jobs = 1;                 // files at once
    unsigned threads = 0;              // threads per file; 0: the cores shared among the jobs
    OverwritePolicy overwrite = OverwritePolicy::Ask;
    bool replaceAny = false;  // -f also replaces an archive that holds another file
    bool deleteSource = false;
    bool verify = false;
    bool json = false;          // JSON objects instead of the table and totals line
    bool quiet = false;         // only error messages
    bool progress = true;       // the progress line, when stderr is a terminal
    bool jsonProgress = false;  // --json-progress: progress objects among the JSON ones
    int64_t leftoverAgeSeconds = kLeftoverAgeSeconds;
    bool toStdout = false;     // -c: each result to standard output, one file at a time, no report
    bool hasTypeText = false;  // --type: the stored type of compressions (for standard input)
    std::string typeText;
    uint32_t shardIndex = 0;  // --shard K/N: 1..N; 0 takes every file
    uint32_t shardCount = 0;
    // Standard input and output (tests give their own), and the most a pipe may bring.
    platform::FileHandle standardInput = 0;
    platform::FileHandle standardOutput = 1;
    uint64_t spoolLimit = kMaxSourceSize;
};

int RunBatch(const std::vector<std::string>& inputs, const BatchOptions& options, Console& console);

// The number of files a batch runs at once by default: the cores this process may use.
unsigned DefaultJobs();

}  // namespace kavrin::cli
