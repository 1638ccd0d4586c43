// SPDX-License-Identifier: MIT
// What the mount's tests share: an archive's index built into a folder of its own, every span
// of it checked against the original, a sound and its archive made once, and reads through the
// archive library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mount/ArchiveLibrary.h"
#include "mount/IndexBuilder.h"
#include "tests/support/TestSupport.h"

namespace kavrin::test {

struct Built {
    TempDir dir;
    std::string path;
    IndexBuild build;
};

// Writes `archive` and builds its index, by the engine pass or by the walk alone.
std::unique_ptr<Built> BuildOf(const std::string& archive, bool walkOnly, uint32_t threads = 2);

// Every span decoded alone into each form, and ranges inside it, give the original's bytes.
void ExpectEverySpan(const Built& built, const std::string& original);

// Five blocks of sound (enough for its index to be kept) and its archive, made once.
const std::string& MountSound();
const std::string& MountArchive();

// Restored bytes [from, from + length) of `archive`, with Read's result in *status.
std::string ReadAll(ArchiveLibrary& library, const std::shared_ptr<OpenArchive>& archive,
                    uint64_t from, uint64_t length, int64_t* status);
// The whole file in reads of 128 KiB, in order, as cat reads it; "" when a read fails.
std::string ReadInOrder(ArchiveLibrary& library, const std::shared_ptr<OpenArchive>& archive);

}  // namespace kavrin::test
