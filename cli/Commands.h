// The `kvn` commands. Each takes its parsed options, works through its files in order, prints
// one report line per file on stdout and messages on stderr, and returns the exit status:
//
//   0    every file succeeded
//   1    a file failed, was refused or was skipped (an existing result is never overwritten
//        without --force)
//   2    usage error (reported by the option parser before any command runs)
//   130  interrupted by Ctrl-C: the running job was cancelled and its partial output deleted
#pragma once

#include <string>
#include <vector>

#include "engine/DeltaFilter.h"

namespace kavrin::cli {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

struct TransferOptions {
    DeltaMode mode = DeltaMode::Auto;  // compression only
    std::string outputFolder;          // empty: beside each source
    bool force = false;                // replace existing results
    bool progress = true;              // a progress line while stderr is a terminal
};

int RunCompress(const std::vector<std::string>& files, const TransferOptions& options);
int RunExpand(const std::vector<std::string>& archives, const TransferOptions& options);
int RunInfo(const std::vector<std::string>& archives);
int RunTest(const std::vector<std::string>& archives, bool progress);

// Bytes as they may be shown on a terminal: control bytes and DEL become \xNN, so a crafted
// file name or type text cannot drive the terminal.
std::string Printable(const std::string& bytes);

}  // namespace kavrin::cli
