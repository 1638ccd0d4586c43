// SPDX-License-Identifier: MIT
// One open archive of the library (ArchiveLibrary.h), shared by every handle open on it: its
// descriptor, the version it was opened as, and the state of that version (IndexTable.h).
//
// Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "mount/IndexTable.h"
#include "platform/SharedFile.h"

namespace kavrin {

struct OpenArchive {
    std::string path;
    platform::FileHandle file = platform::kInvalidFile;
    platform::FileVersion version;
    uint64_t sourceSize = 0;  // the header's, read from the archive when it was opened
    std::shared_ptr<ArchiveState> state;
    std::atomic<uint64_t> lastEnd{0};  // where the last read ended, for read-ahead
    // The index in use now and its generation; null when the archive failed its checks.
    std::shared_ptr<const ArchiveIndex> Index(uint64_t* generation = nullptr) const;
    ~OpenArchive();
};

// Whether an open archive's file still is the version it was opened as (through its
// descriptor and its path).
bool StillTheSame(const OpenArchive& archive);

}  // namespace kavrin
