// SPDX-License-Identifier: MIT
// `kvn mount` and `kvn umount`: the command-line side of the read-only view of a folder of
// archives (mount/FuseMount.h), and `kvn mount --index`, which indexes a folder's archives
// ahead with a progress line. Exit statuses as every kvn command (cli/Commands.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavrin::cli {

struct MountRequest {
    std::string folder;
    std::string mountPoint;  // empty with --index
    bool foreground = false;
    bool indexOnly = false;
    bool progress = true;
    uint32_t threads = 0;              // 0: the cores
    std::vector<std::string> options;  // the -o values as given, comma-separated lists
};

// Parses a cache size: a number of bytes with an optional K, M or G (powers of 1024, "KiB"
// and "MB" spellings accepted). False for anything else.
bool ParseCacheSize(const std::string& text, uint64_t* bytes);

int RunMountCommand(const MountRequest& request);
int RunUmountCommand(const std::string& mountPoint);

}  // namespace kavrin::cli
