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

constexpr std::string_view kTemporaryMarker = ".kvn~";
constexpr size_t kRandomLetters = 8;  // drawn for each temporary file
constexpr size_t kCheckLetters = 4;   // derived from the random letters and the name
constexpr size_t kTagLetters = kRandomLetters + kCheckLetters;
constexpr size_t kNameAt = kTemporaryMarker.size() + kTagLetters + 1;  // after the second '~'
constexpr size_t kMaxNameBytes = 255;  // NAME_MAX of the usual Linux file systems
constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint64_t kLetterCount = sizeof kLetters - 1;

std::string RandomLetters() {
    unsigned char bytes[kRandomLetters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Without entropy weaker letters are still unique enough: O_EXCL catches any clash.
        uint64_t seed =
            static_cast<uint64_t>(getpid()) * 2654435761u ^ reinterpret_cast<uintptr_t>(&bytes);
        for (auto& byte : bytes) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            byte = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string letters;
    for (unsigned char byte : bytes) letters += kLetters[byte % kLetterCount];
    return letters;
}

// The check letters of a temporary name: FNV-1a (64 bits) of its random letters and the name
// after the tag, written in the same letters. A name someone typed has the right ones by chance
// once in 36^4 (1.7 million), on top of the marker no name of theirs carries.
std::string CheckLetters(std::string_view random, std::string_view name) {
    uint64_t hash = 14695981039346656037ull;
    auto add = [&](std::string_view bytes) {
        for (unsigned char byte : bytes) {
            hash ^= byte;
            hash *= 1099511628211ull;
        }
    };
    add(random);
    add("~");
    add(name);
    std::string letters;
    for (size_t i = 0; i < kCheckLetters; ++i, hash /= kLetterCount) {
        letters += kLetters[hash % kLetterCount];
    }
    return letters;
}

bool IsTagLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Creates the highest missing folder of `path`: walking up from the file's own folder, the
// first creation that succeeds is the highest missing level. When none succeeds, errno is the
// reason the first level that could not be made for another reason than a missing parent gave
// (no permission, no space, no inodes left), or ENOENT.
// A level that stands for a source folder (`origin`) takes that folder's permission bits, its
// owner's own always kept.
bool MakeOneFolder(const std::string& path, const FolderOrigin& origin) {
    std::string cut = path;
    std::string sourceFolder = origin.sourceFolder;
    int reason = 0;
    for (int level = 1;; ++level) {
        size_t slash = cut.rfind('/');
        if (slash == std::string::npos || slash == 0) {
            errno = reason != 0 ? reason : ENOENT;
            return false;
        }
        cut.resize(slash);
        bool made;
        if (level <= origin.levels) {
            const platform::PathAttributes source = platform::QueryAttributes(sourceFolder);
            made = source.isFolder ? platform::MakeFolder(cut, (source.permissions & 0777) | 0700)
                                   : platform::MakeFolder(cut);
            std::string name, parent;
            SplitPath(sourceFolder, &name, &parent);
            sourceFolder = parent.empty() ? "/" : parent;
        } else {
            made = platform::MakeFolder(cut);
        }
        if (made) return true;
        if (reason == 0 && errno != ENOENT && errno != EEXIST) reason = errno;
    }
}

}  // namespace

std::string TemporaryNameFor(std::string_view finalName) {
    const std::string random = RandomLetters();
    // Keep the final name recognisable, within the file system's name length.
    const std::string_view kept = finalName.substr(0, kMaxNameBytes - kNameAt);
    std::string temporary(kTemporaryMarker);
    temporary += random;
    temporary += CheckLetters(random, kept);
    temporary += '~';
    temporary += kept;
    return temporary;
}

namespace {

std::string TemporaryPathFor(const std::string& path) {
    std::string name, folder;
    SplitPath(path, &name, &folder);
    const std::string temporary = TemporaryNameFor(name);
    if (path.find('/') == std::string::npos) return temporary;
    return JoinPath(folder, temporary);
}

}  // namespace

bool CreateDestinationFile(const std::string& path, Disposition disposition,
                           platform::FileHandle source, DestinationFile* destination,
                           const FolderOrigin& origin) {
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
        if (!MakeOneFolder(path, origin)) return false;
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
    if (name.size() <= kNameAt || name.substr(0, kTemporaryMarker.size()) != kTemporaryMarker ||
        name[kNameAt - 1] != '~') {
        return false;
    }
    const std::string_view tag = name.substr(kTemporaryMarker.size(), kTagLetters);
    for (char c : tag) {
        if (!IsTagLetter(c)) return false;
    }
    return tag.substr(kRandomLetters) ==
           CheckLetters(tag.substr(0, kRandomLetters), name.substr(kNameAt));
}

}  // namespace kavrin
