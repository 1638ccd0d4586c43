// SPDX-License-Identifier: MIT
#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/FaultInjection.h"

namespace kavrin::platform {
namespace {

using detail::CheckFault;
using detail::FaultAction;

// Returns true (with errno set) when the armed fault hits this call.
bool Injected(FaultOp op) {
    int error = 0;
    if (CheckFault(op, &error) == FaultAction::Fail) {
        errno = error;
        return true;
    }
    return false;
}

// Another program writing to a file while it is read: a few bytes appended at its end, or its
// first byte written again in place (same size, same bytes, new times).
void ChangeUnderReader(int fd, FaultAction change) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int flags = O_WRONLY | O_CLOEXEC | (change == FaultAction::Append ? O_APPEND : 0);
    int writer = open(self.c_str(), flags);
    if (writer < 0) return;
    if (change == FaultAction::Append) {
        static const char kMore[] = "appended";
        (void)!write(writer, kMore, sizeof kMore - 1);
    } else {
        unsigned char first = 0;
        if (pread(fd, &first, 1, 0) == 1) (void)!pwrite(writer, &first, 1, 0);
    }
    close(writer);
}

// Takes the exclusive lock that stands in for "no sharing". Only a real conflict refuses the
// file; a file system that cannot lock at all (some network mounts) is used unlocked.
bool LockExclusive(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno != EWOULDBLOCK;
    }
    return true;
}

}  // namespace

FileHandle OpenForRead(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return kInvalidFile;
    if (!S_ISREG(st.st_mode)) {
        // Opening a FIFO or a device could block or have side effects: never try.
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return kInvalidFile;
    }
    // O_NONBLOCK guards against the path being swapped for a FIFO between stat and open.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return kInvalidFile;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return kInvalidFile;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!LockExclusive(fd)) {
        close(fd);
        errno = EWOULDBLOCK;
        return kInvalidFile;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

FileHandle CreateNewForWrite(const std::string& path) {
    if (Injected(FaultOp::Create)) return kInvalidFile;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return kInvalidFile;
    // The umask may have taken the owner's own bits: a file being written is read back (a
    // check) by its owner alone. A file system without modes refuses, and has nothing to hide.
    (void)!fchmod(fd, 0600);
    LockExclusive(fd);  // nobody else can hold a lock on a file this call just created
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

FileHandle OpenNullSink() {
    return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

int OpenClosedStandardDescriptors() {
    int closed = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened == fd) closed |= 1 << fd;
    }
    return closed;
}

FileHandle SpoolToUnnamedFile(FileHandle from, const std::string& folder, uint64_t limit) {
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one, unlinked at once.
        std::string name = folder + "/.kvn-spool-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) return kInvalidFile;
    std::string buffer(1 << 20, '\0');
    uint64_t total = 0;
    for (;;) {
        const int64_t got = ReadFull(from, buffer.data(), buffer.size());
        if (got < 0 || (got > 0 && (total += static_cast<uint64_t>(got)) > limit) ||
            (got > 0 && !WriteFull(fd, buffer.data(), static_cast<size_t>(got)))) {
            const int error = got >= 0 && total > limit ? EFBIG : errno;
            close(fd);
            errno = error;
            return kInvalidFile;
        }
        if (got == 0) break;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return kInvalidFile;
    }
    return fd;
}

std::string TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && folder[0] == '/' ? folder : "/tmp";
}

std::string PathOfOpenFile(FileHandle file) {
    return "/proc/self/fd/" + std::to_string(file);
}

FileHandle Duplicate(FileHandle file) {
    return fcntl(file, F_DUPFD_CLOEXEC, 3);
}

int64_t ReadFull(FileHandle file, void* buffer, size_t length) {
    int error = 0;
    FaultAction fault = CheckFault(FaultOp::Read, &error);
    if (fault == FaultAction::Fail) {
        errno = error;
        return -1;
    }
    if (fault == FaultAction::ShortRead) length /= 2;
    if (fault == FaultAction::Append || fault == FaultAction::Rewrite)
        ChangeUnderReader(file, fault);
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(file, out + done, detail::TransferLimit(length - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (fault == FaultAction::Corrupt && done > 0) out[done / 2] ^= 1;
    return static_cast<int64_t>(done);
}

bool WriteFull(FileHandle file, const void* buffer, size_t length) {
    int error = 0;
    FaultAction fault = CheckFault(FaultOp::Write, &error);
    if (fault == FaultAction::Fail) {
        errno = error;
        return false;
    }
    std::vector<unsigned char> corrupted;
    if (fault == FaultAction::Corrupt && length > 0) {
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        corrupted.assign(bytes, bytes + length);
        corrupted[length / 2] ^= 1;
        buffer = corrupted.data();
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(file, in + done, detail::TransferLimit(length - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SeekTo(FileHandle file, uint64_t offset) {
    return lseek(file, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool GetFileSize(FileHandle file, uint64_t* size) {
    struct stat st {};
    if (fstat(file, &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool SyncFile(FileHandle file) {
    if (Injected(FaultOp::Sync)) return false;
    while (fsync(file) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool CloseFile(FileHandle& file) {
    if (file == kInvalidFile) return true;
    int result = close(file);
    file = kInvalidFile;
    // Linux releases the descriptor even when close reports EINTR; never retry.
    return result == 0 || errno == EINTR;
}

bool DeleteFile(const std::string& path) {
    if (Injected(FaultOp::Delete)) return false;
    return unlink(path.c_str()) == 0;
}

bool DeleteStaleFile(const std::string& path, uint32_t owner, int64_t changedBefore) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat opened {
    }, named{};
    bool stale = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == owner &&
                 opened.st_ctim.tv_sec < changedBefore;
    // A file still being written is held locked by its writer; a killed writer holds nothing.
    stale = stale && flock(fd, LOCK_EX | LOCK_NB) == 0;
    // The name must still lead to the file that was checked, and the lock keeps it so for
    // every writer of ours.
    stale = stale && lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino;
    stale = stale && DeleteFile(path);
    close(fd);
    return stale;
}

uint32_t CurrentUser() {
    return static_cast<uint32_t>(geteuid());
}

bool MakeFolder(const std::string& path) {
    if (Injected(FaultOp::MakeFolder)) return false;
    return mkdir(path.c_str(), 0777) == 0;
}

bool MakeFolder(const std::string& path, uint32_t permissions) {
    if (Injected(FaultOp::MakeFolder)) return false;
    if (mkdir(path.c_str(), 0700) != 0) return false;
    // A file system without modes refuses, and keeps none to set.
    if (chmod(path.c_str(), permissions & 0777) != 0 && errno != ENOSYS && errno != EOPNOTSUPP) {
        const int error = errno;
        rmdir(path.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool MakePrivateFolder(const std::string& path) {
    if (Injected(FaultOp::MakeFolder)) return false;
    // The umask may take bits away, never add them: set them once the folder is there.
    return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), 0700) == 0;
}

FileHandle CreatePrivateFile(const std::string& path) {
    if (Injected(FaultOp::Create)) return kInvalidFile;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return kInvalidFile;
    if (fchmod(fd, 0600) != 0) {
        const int error = errno;
        close(fd);
        unlink(path.c_str());
        errno = error;
        return kInvalidFile;
    }
    return fd;
}

namespace {

bool OwnedAlone(const struct stat& st) {
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool IsPrivate(FileHandle file) {
    struct stat st {};
    return fstat(file, &st) == 0 && OwnedAlone(st);
}

bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && OwnedAlone(st);
}

namespace {

// The entry `path` is the file `placeholder` describes, as it was made: nobody replaced it,
// wrote to it or changed it.
bool StillPlaceholder(const std::string& path, const struct stat& placeholder) {
    struct stat now {};
    return lstat(path.c_str(), &now) == 0 && now.st_dev == placeholder.st_dev &&
           now.st_ino == placeholder.st_ino && now.st_size == placeholder.st_size &&
           now.st_mtim.tv_sec == placeholder.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == placeholder.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == placeholder.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == placeholder.st_ctim.tv_nsec;
}

// Renames `from` to the new name `to` where neither RENAME_NOREPLACE nor hard links exist: `to`
// is claimed by creating it exclusively, and `from` renamed over that claim while it is ours.
bool RenameOverPlaceholder(const std::string& from, const std::string& to) {
    int fd =
        open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) return false;  // EEXIST: something is there
    struct stat placeholder {};
    if (fstat(fd, &placeholder) != 0) {
        const int error = errno;
        close(fd);
        unlink(to.c_str());
        errno = error;
        return false;
    }
    close(fd);
    // Counted as a rename of its own: a test's other program may act here.
    if (Injected(FaultOp::Rename)) {
        const int error = errno;
        if (StillPlaceholder(to, placeholder)) unlink(to.c_str());
        errno = error;
        return false;
    }
    // Whatever stands there now is someone else's: it is never replaced.
    if (!StillPlaceholder(to, placeholder)) {
        errno = EEXIST;
        return false;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        if (StillPlaceholder(to, placeholder)) unlink(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

}  // namespace

bool RenameFile(const std::string& from, const std::string& to, bool noReplace) {
    if (Injected(FaultOp::Rename)) return false;
    if (!noReplace) return rename(from.c_str(), to.c_str()) == 0;
    const bool noLinks = detail::NoHardLinks();
    if (noLinks) {
        errno = EINVAL;
    } else if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing name as well.
    if (noLinks) {
        errno = EPERM;
    } else if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    // Nor hard links (FAT, exFAT): the name is claimed first.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return false;
    return RenameOverPlaceholder(from, to);
}

bool LinkFile(const std::string& existing, const std::string& newName) {
    if (detail::NoHardLinks()) {
        errno = EPERM;
        return false;
    }
    return link(existing.c_str(), newName.c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
    if (Injected(FaultOp::Sync)) return false;
    int fd = open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    while (fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // Some file systems cannot sync a folder; that is no failure of the data.
        ok = errno == EINVAL || errno == EROFS;
        break;
    }
    close(fd);
    return ok;
}

bool IsSameFile(FileHandle file, const std::string& path) {
    struct stat a {
    }, b{};
    if (fstat(file, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

void FillStatus(const struct stat& st, FileStatus* status) {
    status->device = static_cast<uint64_t>(st.st_dev);
    status->inode = static_cast<uint64_t>(st.st_ino);
    status->size = static_cast<uint64_t>(st.st_size);
    status->modifiedSeconds = st.st_mtim.tv_sec;
    status->modifiedNanos = st.st_mtim.tv_nsec;
    status->changedSeconds = st.st_ctim.tv_sec;
    status->changedNanos = st.st_ctim.tv_nsec;
    status->isFolder = S_ISDIR(st.st_mode);
    status->isLink = S_ISLNK(st.st_mode);
}

}  // namespace

bool StatusOf(FileHandle file, FileStatus* status) {
    struct stat st {};
    if (fstat(file, &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool StatusOfPath(const std::string& path, FileStatus* status) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool StatusOfEntry(const std::string& path, FileStatus* status) {
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

PathAttributes QueryAttributes(const std::string& path) {
    PathAttributes attributes;
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return attributes;
    attributes.exists = true;
    attributes.isFolder = S_ISDIR(st.st_mode);
    attributes.isRegular = S_ISREG(st.st_mode);
    attributes.isSystem = !attributes.isFolder && !attributes.isRegular;
    attributes.size = static_cast<uint64_t>(st.st_size);
    attributes.modifiedSeconds = st.st_mtim.tv_sec;
    attributes.modifiedNanos = st.st_mtim.tv_nsec;
    attributes.changedSeconds = st.st_ctim.tv_sec;
    attributes.permissions = st.st_mode & 07777;

    size_t end = path.find_last_not_of('/');
    if (end != std::string::npos) {
        size_t slash = path.rfind('/', end);
        std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1,
                                       end - (slash == std::string::npos ? 0 : slash + 1) + 1);
        attributes.isHidden = !name.empty() && name[0] == '.' && name != "." && name != "..";
    }
    return attributes;
}

bool ReadFileStamp(FileHandle file, FileStamp* stamp) {
    struct stat st {};
    if (fstat(file, &st) != 0) return false;
    stamp->accessedSeconds = st.st_atim.tv_sec;
    stamp->accessedNanos = st.st_atim.tv_nsec;
    stamp->modifiedSeconds = st.st_mtim.tv_sec;
    stamp->modifiedNanos = st.st_mtim.tv_nsec;
    stamp->permissions = st.st_mode & 0777;
    return true;
}

bool ApplyPermissions(FileHandle file, uint32_t permissions) {
    return fchmod(file, permissions & 0777) == 0 || errno == ENOSYS || errno == EOPNOTSUPP;
}

bool ApplyFileStamp(FileHandle file, const FileStamp& stamp) {
    const timespec times[2] = {{stamp.accessedSeconds, stamp.accessedNanos},
                               {stamp.modifiedSeconds, stamp.modifiedNanos}};
    bool timesSet = futimens(file, times) == 0;
    int savedError = errno;
    if (!ApplyPermissions(file, stamp.permissions)) return false;
    errno = savedError;
    return timesSet;
}

bool MakePipe(FileHandle* readEnd, FileHandle* writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    *readEnd = ends[0];
    *writeEnd = ends[1];
    return true;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) return false;
    names->clear();
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(std::move(name));
    }
    closedir(folder);
    std::sort(names->begin(), names->end());  // std::string compares bytes as unsigned chars
    return true;
}

std::string MakeAbsolute(const std::string& path) {
    std::string result = path;
    if (result.empty() || result[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            std::string base = cwd;
            if (base != "/") base += '/';
            result = base + result;
        }
    }
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

}  // namespace kavrin::platform
