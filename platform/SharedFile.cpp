// SPDX-License-Identifier: MIT
#include "platform/SharedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/FaultInjection.h"

namespace kavrin::platform {
namespace {

FileVersion FromStat(const struct stat& st) {
    FileVersion version;
    version.device = st.st_dev;
    version.inode = st.st_ino;
    version.size = static_cast<uint64_t>(st.st_size);
    version.modifiedSeconds = st.st_mtim.tv_sec;
    version.modifiedNanos = st.st_mtim.tv_nsec;
    version.changedSeconds = st.st_ctim.tv_sec;
    version.changedNanos = st.st_ctim.tv_nsec;
    return version;
}

}  // namespace

FileHandle OpenShared(const std::string& path) {
    int injected = 0;
    if (detail::CheckFault(FaultOp::Open, &injected) == detail::FaultAction::Fail) {
        errno = injected;
        return kInvalidFile;
    }
    // O_NONBLOCK: a FIFO must never hold the caller; it is refused just below.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return kInvalidFile;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int why = errno;
        close(fd);
        errno = S_ISREG(st.st_mode) ? why : ENXIO;
        return kInvalidFile;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int64_t ReadAt(FileHandle file, void* buffer, size_t length, uint64_t offset) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t got =
            pread(file, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool VersionOf(FileHandle file, FileVersion* version) {
    struct stat st {};
    if (fstat(file, &st) != 0) return false;
    *version = FromStat(st);
    return true;
}

bool VersionAt(const std::string& path, FileVersion* version) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = ENXIO;
        return false;
    }
    *version = FromStat(st);
    return true;
}

bool IsSameOrInside(const std::string& path, const std::string& folder) {
    char* resolved = realpath(path.c_str(), nullptr);
    struct stat outer {};
    if (resolved == nullptr || stat(folder.c_str(), &outer) != 0) {
        free(resolved);
        return false;
    }
    std::string at(resolved);
    free(resolved);
    for (;;) {
        struct stat st {};
        if (stat(at.c_str(), &st) == 0 && st.st_dev == outer.st_dev && st.st_ino == outer.st_ino) {
            return true;
        }
        if (at == "/") return false;
        const size_t slash = at.rfind('/');
        at = slash == 0 ? "/" : at.substr(0, slash);
    }
}

EntryKind KindAt(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return EntryKind::Missing;
    if (S_ISREG(st.st_mode)) return EntryKind::Regular;
    if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
    if (S_ISLNK(st.st_mode)) return EntryKind::Link;
    return EntryKind::Other;
}

}  // namespace kavrin::platform
