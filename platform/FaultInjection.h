// SPDX-License-Identifier: MIT
// A test-only seam in the file layer: makes the n-th read, write, sync, rename, folder creation,
// file creation, deletion or shared open (SharedFile.h) from now on fail with a chosen errno, or
// lets another program act just before it,
// makes the n-th read come back short (as if the file had shrunk), silently flips one bit of the
// n-th read or write (as a bad disk or cable would), or changes the file being read just before the
// n-th read (as another program writing to it would). Production code never arms it; an unarmed
// seam costs one relaxed atomic load per call. Thread-safe: counting is atomic, so the n-th call is
// well defined even when a worker thread does the I/O.
#pragma once

#include <cstddef>
#include <functional>

namespace kavrin::platform {

enum class FaultOp { Read, Write, Sync, Rename, MakeFolder, Create, Delete, Open, Count };

// Arms one fault: the `nth` (1-based) call of `op` counted from now fails with `error`, or
// with `shortRead` (reads only) returns half of what it would have returned. Disarms any
// earlier fault and restarts every call count.
void InjectFault(FaultOp op, int nth, int error, bool shortRead = false);

// Arms one silent corruption: the `nth` (1-based) read or write counted from now succeeds, but
// the middle byte of what it moves has its lowest bit flipped. Disarms any earlier fault.
void InjectCorruption(FaultOp op, int nth);

// Arms a change of the file being read, as another program would make it: just before the
// `nth` read from now, a few bytes are appended to that file (`append`) or its first byte is
// written again in place. Disarms any earlier fault.
void InjectSourceChange(int nth, bool append);

// Arms an action of another program: `action` runs once, on the calling thread, just before the
// `nth` (1-based) call of `op` counted from now, which then goes on as usual. Disarms any earlier
// fault.
void InjectAction(FaultOp op, int nth, std::function<void()> action);

// Makes renames and links behave as on a file system without hard links (FAT, exFAT): a rename
// that must not replace (RENAME_NOREPLACE) fails with EINVAL, a hard link with EPERM. Stays until
// switched off; ClearFaults leaves it alone.
void SimulateNoHardLinks(bool on);

// Disarms the fault and restarts every call count.
void ClearFaults();

// The calls of `op` made since the last InjectFault or ClearFaults.
int FaultCallCount(FaultOp op);

// Caps every read and write system call at `bytes` (0: no cap), as a pipe or a network file
// system may serve them, so that the loops assembling whole requests are exercised.
void LimitTransferSize(size_t bytes);

namespace detail {
enum class FaultAction { None, Fail, ShortRead, Corrupt, Append, Rewrite };
// Counts one call of `op`; tells the caller whether it must fail, and with which errno.
FaultAction CheckFault(FaultOp op, int* error);
// The most bytes one system call may move now.
size_t TransferLimit(size_t wanted);
// True while SimulateNoHardLinks is on.
bool NoHardLinks();
}  // namespace detail

}  // namespace kavrin::platform
