// SPDX-License-Identifier: MIT
// Clearing away the temporary files of results that never finished.
//
// A result is written under a hidden temporary name (jobs/Destination.h) and renamed when it is
// done; a job killed outright (a second Ctrl-C, a crash, a power cut) leaves that file behind.
// Before writing into a folder again, `kvn` and the window remove such leftovers once they are
// older than a day. Only what is provably ours goes: a name of exactly the temporary form, its
// check letters right (jobs/Destination.h), on a regular file of the user running the program.
// Age is measured by the file's change time, which every write and every change of times or
// mode moves forward and nobody can set back; and a file its writer still holds locked is never
// a leftover, on file systems whose change time follows the modification time (FAT) too.
//
// Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/File.h"

namespace kavrin {

inline constexpr int64_t kLeftoverAgeSeconds = 24 * 60 * 60;

// Deletes the regular files directly in `folder` whose names are temporary names, that `owner`
// owns, that nobody holds locked and whose change time lies more than `maxAgeSeconds` before
// `nowSeconds`. Links, folders, other users' files and every other name are left alone. Returns
// how many files were removed (0 when the folder cannot be listed).
int RemoveLeftovers(const std::string& folder, int64_t nowSeconds, int64_t maxAgeSeconds,
                    uint32_t owner = platform::CurrentUser());

}  // namespace kavrin
