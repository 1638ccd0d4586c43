// The `kvn` commands besides the batches (cli/Batch.h): `info` and `test`, and the exit
// statuses every command shares. They are stable; scripts rely on them:
//
//   0    everything succeeded (files skipped with -n or the answer No included)
//   1    a file failed or was refused (an existing result is never replaced without -f or a
//        Yes), or the batch was canceled at the overwrite question
//   2    usage error (reported by the option parser before any command runs)
//   130  interrupted by Ctrl-C: running jobs were cancelled and their partial output deleted
//        (SIGTERM and SIGHUP likewise, with 143 and 129)
#pragma once

#include <string>
#include <vector>

#include "cli/Display.h"

namespace kavrin::cli {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

int RunInfo(const std::vector<std::string>& archives);
int RunTest(const std::vector<std::string>& archives, bool progress);

}  // namespace kavrin::cli
