#include "mount/IndexStore.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/File.h"

namespace kavrin {
namespace {

// An index file is small; anything much larger is not one.
constexpr uint64_t kMaxIndexFile = 64 << 20;

bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (!platform::MakeFolder(part) && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
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

bool IndexStore::Load(const platform::FileVersion& version, ArchiveIndex* index) const {
    if (folder_.empty()) return false;
    platform::FileHandle file = platform::OpenShared(PathFor(version));
    if (file == platform::kInvalidFile) return false;
    uint64_t size = 0;
    std::string bytes;
    bool ok = platform::GetFileSize(file, &size) && size <= kMaxIndexFile;
    if (ok) {
        bytes.resize(size);
        ok = platform::ReadAt(file, bytes.data(), size, 0) == static_cast<int64_t>(size);
    }
    platform::CloseFile(file);
    ArchiveIndex read;
    if (!ok || !DecodeIndex(bytes, &read) || !(read.version == version)) return false;
    *index = std::move(read);
    return true;
}

bool IndexStore::Save(const ArchiveIndex& index) const {
    if (folder_.empty() || !MakeFolders(folder_)) return false;
    static std::atomic<unsigned> counter{0};
    const std::string path = PathFor(index.version);
    const std::string temporary =
        path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    platform::FileHandle file = platform::CreateNewForWrite(temporary);
    if (file == platform::kInvalidFile) return false;
    const std::string bytes = EncodeIndex(index);
    bool ok = platform::WriteFull(file, bytes.data(), bytes.size());
    ok = platform::CloseFile(file) && ok;
    ok = ok && platform::RenameFile(temporary, path, false);
    if (!ok) platform::DeleteFile(temporary);
    return ok;
}

}  // namespace kavrin
