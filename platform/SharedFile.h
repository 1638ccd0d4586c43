// SPDX-License-Identifier: MIT
// Files opened for reading by several readers at once, as a read-only view of a folder needs
// them: no lock is taken (other programs may read the same files), reads go to any offset, and
// a file's version tells whether it is still the file that was read.
//
// Every function reports failure as a return value and leaves the reason in errno. Any thread;
// a descriptor may be read by several threads at once (ReadAt keeps no position).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/File.h"

namespace kavrin::platform {

// Which file, and which state of it (platform/File.h's FileStatus): two versions are equal only
// when the file is the same (device and inode) and its size, modification time and change time
// have not moved. Nothing can set a change time back, so a file written in place never keeps its
// version.
using FileVersion = FileStatus;

// Opens an existing regular file for reading, without a lock and without following a final
// symbolic link. Anything else (a FIFO, a device, a folder, a link) is refused without
// blocking (errno ENXIO for a file that is not regular). kInvalidFile on failure.
FileHandle OpenShared(const std::string& path);

// Reads up to `length` bytes at `offset`, looping over short reads. The bytes read (fewer only
// at the end of the file) or -1.
int64_t ReadAt(FileHandle file, void* buffer, size_t length, uint64_t offset);

// The version of an open file.
bool VersionOf(FileHandle file, FileVersion* version);
// The version of the regular file `path` names, the final link not followed. False when it does
// not exist or is not a regular file.
bool VersionAt(const std::string& path, FileVersion* version);

// True when `path` is the folder `folder` or lies below it, links resolved, folders compared by
// device and inode. False when either cannot be resolved.
bool IsSameOrInside(const std::string& path, const std::string& folder);

// What a path names, the final link not followed.
enum class EntryKind { Missing, Regular, Folder, Link, Other };
EntryKind KindAt(const std::string& path);

}  // namespace kavrin::platform
