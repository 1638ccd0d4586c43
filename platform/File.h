// SPDX-License-Identifier: MIT
// The small file layer every other part of Kavrin goes through.
//
// Files are plain descriptors (`FileHandle`), with `kInvalidFile` as the invalid-handle value.
// Every operation reports failure as a return value and leaves the reason in errno; none of
// them throws. Reads and writes loop until the whole request is served, so a caller only ever
// sees "all of it", "less because the file ended" (reads) or a failure.
//
// Any thread may call these functions; a descriptor belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavrin::platform {

using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

// Opens an existing regular file for reading, locked against every other opener (the
// equivalent of opening without sharing). Anything that is not a regular file (a FIFO, a
// socket, a device, a folder) is refused without blocking. A file another process holds
// locked is refused with EWOULDBLOCK. Returns kInvalidFile on failure.
FileHandle OpenForRead(const std::string& path);

// Creates a new file (O_EXCL) for writing, private to its owner (mode 0600 whatever the umask,
// where the file system keeps modes) and locked for as long as it is open. Returns kInvalidFile
// on failure; errno is ENOENT when a folder of the path is missing.
FileHandle CreateNewForWrite(const std::string& path);

// Copies everything `from` holds (a pipe, say) into a new file of `folder` that has no name,
// so that nothing is left behind however the process ends. At most `limit` bytes are taken:
// more fails with EFBIG. Returns the file, positioned at its start, or kInvalidFile with errno
// set (ENOSPC when the folder's disk is full).
FileHandle SpoolToUnnamedFile(FileHandle from, const std::string& folder, uint64_t limit);

// The folder for temporary files: $TMPDIR when it is set and absolute, else /tmp.
std::string TemporaryFolder();

// A path that opens the very file `file` is open on, whatever its name (or none).
std::string PathOfOpenFile(FileHandle file);

// Opens /dev/null for writing: a destination that swallows everything (used to test archives).
FileHandle OpenNullSink();

// Opens /dev/null on each of standard input, output and error that is closed, so that no file
// the program opens later takes its number (a report written to "standard output" would then
// land in it). Returns a bit for each one that was closed (1 input, 2 output, 4 error).
int OpenClosedStandardDescriptors();

// A second descriptor for what `file` has open (standard output, for a result streamed there),
// closed on exec. kInvalidFile on failure.
FileHandle Duplicate(FileHandle file);

// Reads up to `length` bytes, looping over short reads. Returns the bytes read (less than
// `length` only at the end of the file) or -1 on error.
int64_t ReadFull(FileHandle file, void* buffer, size_t length);

// Writes all `length` bytes. Returns false on any error (disk full included).
bool WriteFull(FileHandle file, const void* buffer, size_t length);

bool SeekTo(FileHandle file, uint64_t offset);
bool GetFileSize(FileHandle file, uint64_t* size);
bool SyncFile(FileHandle file);

// Closes the descriptor if it is valid and stores kInvalidFile back. Returns false when the
// close reported an error (a delayed write error, for example).
bool CloseFile(FileHandle& file);

bool DeleteFile(const std::string& path);
// Deletes `path` when it is a regular file (no link) owned by the user `owner`, whose change time
// lies before `changedBefore` (seconds since the epoch), and that nobody holds locked (an open
// result is, see CreateNewForWrite): the file is held locked while its name is checked and
// removed. False when it was left, whatever the reason.
bool DeleteStaleFile(const std::string& path, uint32_t owner, int64_t changedBefore);
// The user this process acts as (its effective user ID).
uint32_t CurrentUser();
// Creates one folder (mode 0777 minus the umask). errno says why it failed.
bool MakeFolder(const std::string& path);
// Creates one folder with the permission bits `permissions` (0777 bits), whatever the umask:
// made private first, then given them, so that it is never more open than asked.
bool MakeFolder(const std::string& path, uint32_t permissions);
// What is the user's alone (a cache of their own): a folder made with mode 0700 and a new file
// (O_EXCL, unlocked) made with mode 0600, whatever the umask; and whether an open file or a
// folder is owned by this process's user with no group or other write bit, so that no one else
// can have put or changed what is in it.
bool MakePrivateFolder(const std::string& path);
FileHandle CreatePrivateFile(const std::string& path);
bool IsPrivate(FileHandle file);
bool IsPrivateFolder(const std::string& path);

// Renames `from` over `to`. With `noReplace`, fails with EEXIST when `to` exists, and never
// replaces a file that appears at `to` meanwhile, on every file system: where the system has no
// rename that refuses to replace (RENAME_NOREPLACE) and no hard links (FAT, exFAT), `to` is first
// created empty and exclusively (O_EXCL) as a placeholder, and `from` renamed over it only while
// `to` still is that very placeholder (device, inode, size and times); a placeholder left by a
// failure is removed, while it is still ours.
bool RenameFile(const std::string& from, const std::string& to, bool noReplace);
// Gives the file `existing` the second name `newName` (a hard link). False when the file
// system cannot, or `newName` exists.
bool LinkFile(const std::string& existing, const std::string& newName);
// Makes a rename or creation inside `folder` durable.
bool SyncFolder(const std::string& folder);

// True when `path` names the very file that `file` has open (same device and inode).
bool IsSameFile(FileHandle file, const std::string& path);

// Who a file is and how it stands: enough to tell whether a path still leads to a file that was
// opened, and whether that file changed since. Two paths name one file exactly when their
// device and inode agree, whatever their spelling.
struct FileStatus {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanos = 0;
    int64_t changedSeconds = 0;  // moved by every write and every change of times or mode
    int64_t changedNanos = 0;
    bool isFolder = false;
    bool isLink = false;  // only from StatusOfEntry

    bool SameFile(const FileStatus& other) const {
        return device == other.device && inode == other.inode;
    }
    // The same file, with the same size and the same modification and change times.
    bool Unchanged(const FileStatus& other) const {
        return SameFile(other) && size == other.size && modifiedSeconds == other.modifiedSeconds &&
               modifiedNanos == other.modifiedNanos && changedSeconds == other.changedSeconds &&
               changedNanos == other.changedNanos;
    }
    // Two statuses are equal when they are one version of one file (the kind flags aside).
    bool operator==(const FileStatus& other) const { return Unchanged(other); }
};
// The open file's status. False (errno set) when it cannot be had.
bool StatusOf(FileHandle file, FileStatus* status);
// The status of what `path` leads to, following symbolic links.
bool StatusOfPath(const std::string& path, FileStatus* status);
// The status of the directory entry `path` itself: a symbolic link is not followed, so a link
// that leads nowhere still exists here.
bool StatusOfEntry(const std::string& path, FileStatus* status);

// What the queue and the command line need to know of a path before opening it.
struct PathAttributes {
    bool exists = false;
    bool isFolder = false;
    bool isRegular = false;
    bool isHidden = false;  // the last name begins with '.' ("." and ".." themselves excepted)
    bool isSystem = false;  // neither a regular file nor a folder: FIFO, socket, device
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanos = 0;
    int64_t changedSeconds = 0;  // the last change of data or metadata; nobody can set it back
    uint32_t permissions = 0;    // the 07777 bits
};
// Follows a symbolic link the caller names. A path that does not exist gives exists = false.
PathAttributes QueryAttributes(const std::string& path);

// What a result takes over from its source, as `bzip2` does: the access and modification times
// and the read/write/execute bits of owner, group and others. The set-user-ID, set-group-ID
// and sticky bits are never carried over: the result belongs to whoever runs the program, and
// a set-user-ID bit on it would hand that user's rights to everyone.
struct FileStamp {
    int64_t accessedSeconds = 0;
    int64_t accessedNanos = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanos = 0;
    uint32_t permissions = 0;  // the 0777 bits
};
bool ReadFileStamp(FileHandle file, FileStamp* stamp);
// Sets the times and the permission bits on an open file. False (errno set) when either failed.
// A file system that keeps no permission bits (FAT says ENOSYS) is no failure: there is nothing
// to set.
bool ApplyFileStamp(FileHandle file, const FileStamp& stamp);
// Sets the permission bits (the 0777 ones of `permissions`) alone, under the same rule.
bool ApplyPermissions(FileHandle file, uint32_t permissions);

// A pipe: bytes written to `*writeEnd` come out of `*readEnd`. Both ends close on exec.
bool MakePipe(FileHandle* readEnd, FileHandle* writeEnd);

// True when `path` itself is a symbolic link (whatever it points to).
bool IsLink(const std::string& path);

// The names in a folder, "." and ".." excluded, sorted by their bytes, so that a walk is the
// same on every run. False when the folder cannot be listed.
bool ListFolder(const std::string& path, std::vector<std::string>* names);

// `path` made absolute against the working folder, trailing '/'s removed (except the root's).
// The bytes of the path are kept as they are; nothing is resolved.
std::string MakeAbsolute(const std::string& path);

}  // namespace kavrin::platform
