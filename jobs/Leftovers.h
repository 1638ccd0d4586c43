// SPDX-License-Identifier: MIT
// Clearing away the temporary files of results that never finished.
//
// A result is written under a hidden temporary name (jobs/Destination.h) and renamed when it is
// done; a job killed outright (a second Ctrl-C, a crash, a power cut) leaves that file behind.
// Before writing into a folder again, `kvn` removes such leftovers once they are older than a
// day. Age is measured by the file's change time, which every write and every change of times
// or mode moves forward and nobody can set back: a result still being written, even one that
// already carries its source's old modification time, is never taken for a leftover.
//
// Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kavrin {

inline constexpr int64_t kLeftoverAgeSeconds = 24 * 60 * 60;

// Deletes the regular files directly in `folder` whose names are temporary names and whose
// change time lies more than `maxAgeSeconds` before `nowSeconds`. Links, folders and every other
// name are left alone. Returns how many files were removed (0 when the folder cannot be listed).
int RemoveLeftovers(const std::string& folder, int64_t nowSeconds, int64_t maxAgeSeconds);

}  // namespace kavrin
