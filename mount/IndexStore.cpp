// SPDX-License-Identifier: MIT
#include "mount/IndexStore.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/File.h"

namespace kavrin {
namespace {

// An index file is small; anything much larger is not one.
constexpr uint64_t kMaxIndexFile = 64 << 20;

// Makes the folders of `path` that are missing, each the user's alone.
bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (!platform::MakePrivateFolder(part) && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

void Tell(std::string* why, std::string text) {
    if (why != nullptr) *why = std::move(text);
}

}  // namespace

std::string IndexStore::DefaultFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/kavrin";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/kavrin";
    return "";
}

std::string IndexStore::PathFor(const platform::FileVersion& version) const {
    char name[64];
    std::snprintf(name, sizeof name, "/%llx-%llx.kvnindex",
                  static_cast<unsigned long long>(version.device),
                  static_cast<unsigned long long>(version.inode));
    return folder_ + name;
}

IndexStore::LoadStatus IndexStore::Load(const platform::FileVersion& version,
                                        ArchiveIndex* index) const {
    if (folder_.empty()) return LoadStatus::Missing;
    platform::FileHandle file = platform::OpenShared(PathFor(version));
    if (file == platform::kInvalidFile) return LoadStatus::Missing;
    if (!platform::IsPrivate(file) || !platform::IsPrivateFolder(folder_)) {
        platform::CloseFile(file);
        return LoadStatus::NotPrivate;
    }
    uint64_t size = 0;
    std::string bytes;
    bool ok = platform::GetFileSize(file, &size) && size <= kMaxIndexFile;
    if (ok) {
        bytes.resize(size);
        ok = platform::ReadAt(file, bytes.data(), size, 0) == static_cast<int64_t>(size);
    }
    platform::CloseFile(file);
    ArchiveIndex read;
    if (!ok || !DecodeIndex(bytes, &read) || !(read.version == version)) {
        return LoadStatus::Missing;
    }
    *index = std::move(read);
    return LoadStatus::Loaded;
}

bool IndexStore::Save(const ArchiveIndex& index, std::string* why) const {
    if (folder_.empty()) return false;
    if (!MakeFolders(folder_)) {
        Tell(why, std::string("can't make it: ") + std::strerror(errno));
        return false;
    }
    if (!platform::IsPrivateFolder(folder_)) {
        Tell(why, "it is not yours alone (another user's, or writable by others)");
        return false;
    }
    static std::atomic<unsigned> counter{0};
    const std::string path = PathFor(index.version);
    const std::string temporary =
        path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    platform::FileHandle file = platform::CreatePrivateFile(temporary);
    if (file == platform::kInvalidFile) {
        Tell(why, std::string("can't write in it: ") + std::strerror(errno));
        return false;
    }
    const std::string bytes = EncodeIndex(index);
    bool ok = platform::WriteFull(file, bytes.data(), bytes.size());
    ok = platform::CloseFile(file) && ok;
    ok = ok && platform::RenameFile(temporary, path, false);
    if (!ok) {
        Tell(why, std::string("can't write in it: ") + std::strerror(errno));
        platform::DeleteFile(temporary);
    }
    return ok;
}

}  // namespace kavrin
