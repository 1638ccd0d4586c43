// SPDX-License-Identifier: MIT
#include "jobs/Destination.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "jobs/Naming.h"

namespace kavrin {
namespace {

constexpr std::string_view kTemporaryPrefix = ".kvn-";
constexpr size_t kTemporaryTag = 6;    // random letters after the prefix
constexpr size_t kMaxNameBytes = 255;  // NAME_MAX of the usual Linux file systems

std::string RandomTag() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kTemporaryTag];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Without entropy a weaker tag is still unique enough: O_EXCL catches any clash.
        uint64_t seed =
            static_cast<uint64_t>(getpid()) * 2654435761u ^ reinterpret_cast<uintptr_t>(&bytes);
        for (auto& byte : bytes) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            byte = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string tag;
    for (unsigned char byte : bytes) tag += kLetters[byte % (sizeof kLetters - 1)];
    return tag;
}

std::string TemporaryPathFor(const std::string& path) {
    std::string name, folder;
    SplitPath(path, &name, &folder);
    std::string temporary(kTemporaryPrefix);
    temporary += RandomTag();
    temporary += '-';
    // Keep the final name recognisable, within the file system's name length.
    temporary += name.substr(0, kMaxNameBytes - temporary.size());
    if (path.find('/') == std::string::npos) return temporary;
    return JoinPath(folder, temporary);
}

// Creates the highest missing folder of `path`: walking up from the file's own folder, the
// first creation that succeeds is the highest missing level. When none succeeds, errno is the
// reason the first level that could not be made for another reason than a missing parent gave
// (no permission, no space, no inodes left), or ENOENT.
bool MakeOneFolder(const std::string& path) {
    std::string cut = path;
    int reason = 0;
    for (;;) {
        size_t slash = cut.rfind('/');
        if (slash == std::string::npos || slash == 0) {
            errno = reason != 0 ? reason : ENOENT;
            return false;
        }
        cut.resize(slash);
        if (platform::MakeFolder(cut)) return true;
        if (reason == 0 && errno != ENOENT && errno != EEXIST) reason = errno;
    }
}

}  // namespace

bool CreateDestinationFile(const std::string& path, Disposition disposition,
                           platform::FileHandle source, DestinationFile* destination) {
    // The temporary name is shortened to fit, but the final name must fit as it is, or the job
    // would only fail at its very end.
    std::string finalName, finalFolder;
    SplitPath(path, &finalName, &finalFolder);
    if (finalName.size() > kMaxNameBytes) {
        errno = ENAMETOOLONG;
        return false;
    }
    // Whatever stands at the name, a link included, is what the final rename replaces.
    platform::FileStatus entry;
    if (platform::StatusOfEntry(path, &entry)) {
        if (entry.isFolder) {
            errno = EISDIR;
            return false;
        }
        // Renaming a result over its own source would destroy the source.
        platform::FileStatus opened;
        if (source != platform::kInvalidFile && platform::StatusOf(source, &opened) &&
            opened.SameFile(entry)) {
            errno = EINVAL;
            return false;
        }
        if (disposition == Disposition::CreateNew) {
            errno = EEXIST;
            return false;
        }
    }

    int passes = 0;
    for (;;) {
        std::string temporary = TemporaryPathFor(path);
        platform::FileHandle file = platform::CreateNewForWrite(temporary);
        if (file != platform::kInvalidFile) {
            destination->file = file;
            destination->finalPath = path;
            destination->temporaryPath = temporary;
            return true;
        }
        if (errno == EEXIST) continue;  // a clash of random tags: draw another
        if (errno != ENOENT) return false;
        if (passes >= kMaxFolderPasses) return false;
        ++passes;
        if (!MakeOneFolder(path)) return false;
    }
}

bool CommitDestination(DestinationFile& destination, Disposition disposition, bool durable) {
    bool ok = true;
    if (destination.file != platform::kInvalidFile) {
        if (durable) ok = platform::SyncFile(destination.file);
        ok = platform::CloseFile(destination.file) && ok;
    } else if (durable) {
        platform::FileHandle file =
            open(destination.temporaryPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        ok = file != platform::kInvalidFile && platform::SyncFile(file);
        platform::CloseFile(file);
    }
    // When the result is to be made durable and replaces a file, that file is kept under a
    // second name until the folder is synced: if the sync fails, it is put back.
    std::string backup;
    if (ok && durable && disposition == Disposition::CreateAlways &&
        platform::QueryAttributes(destination.finalPath).isRegular) {
        backup = TemporaryPathFor(destination.finalPath);
        if (!platform::LinkFile(destination.finalPath, backup)) backup.clear();
    }
    ok = ok && platform::RenameFile(destination.temporaryPath, destination.finalPath,
                                    disposition == Disposition::CreateNew);
    if (!ok) {
        int savedError = errno;
        platform::DeleteFile(destination.temporaryPath);
        if (!backup.empty()) platform::DeleteFile(backup);
        errno = savedError;
        return false;
    }
    if (durable) {
        std::string name, folder;
        SplitPath(destination.finalPath, &name, &folder);
        // A result that is not known to be on disk is no result: the job fails, the caller
        // keeps the source, and the final name shows what it showed before.
        if (!platform::SyncFolder(folder)) {
            int savedError = errno;
            if (backup.empty() || !platform::RenameFile(backup, destination.finalPath, false)) {
                platform::DeleteFile(destination.finalPath);
            }
            errno = savedError;
            return false;
        }
        if (!backup.empty()) platform::DeleteFile(backup);
    }
    return true;
}

void AbandonDestination(DestinationFile& destination) {
    platform::CloseFile(destination.file);
    if (!destination.temporaryPath.empty()) platform::DeleteFile(destination.temporaryPath);
}

bool IsTemporaryName(std::string_view name) {
    if (name.size() < kTemporaryPrefix.size() + kTemporaryTag + 1) return false;
    return name.substr(0, kTemporaryPrefix.size()) == kTemporaryPrefix &&
           name[kTemporaryPrefix.size() + kTemporaryTag] == '-';
}

}  // namespace kavrin
