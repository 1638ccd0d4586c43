// SPDX-License-Identifier: MIT
// kvn's stop signals. Ctrl-C (SIGINT), SIGTERM and SIGHUP ask every running job to stop at its
// next chunk, so that partial results are deleted; a second signal ends the program at once (a
// temporary file left then is hidden, never taken for a result, and cleared by a later run).
//
// The handler only sets a lock-free flag; any thread may ask it.
#pragma once

namespace kavrin::cli {

// Installs the handler of SIGINT, SIGTERM and SIGHUP, and ignores SIGPIPE (a closed standard
// output then fails the write instead of ending the program). Call once, before any job starts.
void InstallInterruptHandler();
// True once a stop signal has arrived.
bool Interrupted();
// The exit status after a stop signal: 128 + its number (130 for Ctrl-C); 0 without one.
int InterruptedStatus();

}  // namespace kavrin::cli
