// SPDX-License-Identifier: MIT
// The `kvn` commands besides the batches (cli/Batch.h): `info` and `test`, and the exit
// statuses every command shares. They are stable; scripts rely on them:
//
//   0    everything succeeded (files skipped with -n or the answer No included)
//   1    a file failed or was refused (an existing result is never replaced without -f or a
//        Yes), or the batch was canceled at the overwrite question
//   2    usage error (reported by the option parser before any command runs)
//   75   every file that failed failed for a reason of the machine's, not of its data or its
//        name (a read or write error, a full disk, too few descriptors or too little memory, a
//        file locked by another program or changed while it was read): running again later
//        may succeed. Any other failure in the same run makes the status 1.
//   130  interrupted by Ctrl-C: running jobs were cancelled and their partial output deleted
//        (SIGTERM and SIGHUP likewise, with 143 and 129)
#pragma once

#include <string>
#include <vector>

#include "cli/Display.h"

namespace kavrin::cli {

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitRetry = 75,  // EX_TEMPFAIL of sysexits.h, as mail and backup tools use it
    kExitInterrupted = 130,
    kExitPipeClosed = 141,  // 128 + SIGPIPE: the reader of standard output went away
};

// Prints each archive's header as a table line, or with `json` as one JSON object per line.
int RunInfo(const std::vector<std::string>& archives, bool json);
// Decodes each archive and prints its verdict (OK or FAILED with the reason), or with `json` one
// JSON object per line ({"file", "result": "ok" or "failed", "message"}).
int RunTest(const std::vector<std::string>& archives, bool progress, bool json);

}  // namespace kavrin::cli
