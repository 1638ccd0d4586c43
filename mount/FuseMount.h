// SPDX-License-Identifier: MIT
// `kvn mount`: the FUSE front of the view (ViewTree.h) over the archive library
// (ArchiveLibrary.h), through libfuse3's high-level interface. This file and its .cpp are the
// only ones that speak to FUSE; like platform/, the .cpp calls the POSIX functions it needs to
// pass entries through (lstat, readlink, statvfs).
//
// The file system is read-only (writes, renames and deletions give EROFS), shows attributes as
// they are at every call (the kernel caches no name and no attribute, so a changed archive is
// seen at once), and serves requests on threads of its own (sixteen), which end by themselves
// when the file system is unmounted or a stop signal arrives: none is ever cancelled.
//
// RunMount mounts, then (unless foreground) detaches into the background, serves until the
// file system is unmounted (kvn umount, fusermount3 -u) or a stop signal (SIGTERM, SIGINT,
// SIGHUP) arrives, then unmounts and returns. Messages go to stderr in the foreground and to the
// system log in the background. One mount per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavrin {

struct MountOptions {
    std::string folder;      // absolute
    std::string mountPoint;  // absolute
    bool foreground = false;
    uint64_t cacheBytes = 0;
    uint32_t threads = 2;
    std::string indexFolder;
    std::vector<std::string> fuseOptions;  // further -o options for FUSE (allow_other, ...)
};

// Mounts and serves. Returns 0 after a clean unmount, 1 when the mount could not be made (with
// a message on stderr).
int RunMount(const MountOptions& options);

// What kvn adds to "can't mount on X" when a mount fails: the missing piece when the machine
// lacks /dev/fuse or (for a user) fusermount3, and nothing otherwise, since fusermount3 has
// then given its own reason (an -o allow_other that /etc/fuse.conf does not allow, a mount
// point in use) and a guess would send the user the wrong way.
std::string MountFailureHint(bool haveDevFuse, bool root, bool haveFusermount);

// Unmounts the kvn mount at `mountPoint` (absolute). 0, or 1 with a message on stderr.
int RunUnmount(const std::string& mountPoint);

}  // namespace kavrin
