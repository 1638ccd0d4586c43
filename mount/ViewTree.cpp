// SPDX-License-Identifier: MIT
#include "mount/ViewTree.h"

#include <cerrno>
#include <map>
#include <set>

#include "engine/format/ArchiveFormat.h"
#include "jobs/Naming.h"
#include "platform/File.h"
#include "platform/SharedFile.h"

namespace kavrin {
namespace {

constexpr size_t kMaxName = 255;

// The eight spellings of an archive name restoring to a name with this base.
std::vector<std::string> ArchiveSpellings(const std::string& base) {
    std::vector<std::string> names;
    for (int mask = 0; mask < 8; ++mask) {
        std::string name = base + ".";
        name += (mask & 1) ? 'K' : 'k';
        name += (mask & 2) ? 'V' : 'v';
        name += (mask & 4) ? 'N' : 'n';
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace

Shown ReadRestoredName(const std::string& folder, const std::string& name, std::string* restored,
                       uint64_t* size, int* error) {
    if (!IsArchiveName(name)) return Shown::AsItself;
    errno = 0;
    platform::FileHandle file = platform::OpenShared(JoinPath(folder, name));
    ArchiveHeader header;
    Status status;
    if (file == platform::kInvalidFile) {
        status = Status::System(errno, "can't open");
    } else {
        status = ReadArchiveHeaderAt(file, &header);
        platform::CloseFile(file);
    }
    // What the machine lacked is not guessed at: the next lookup asks again.
    if (status.IsMachine()) {
        if (error != nullptr) *error = status.systemError();
        return Shown::Unknown;
    }
    // The whole header, the reserved field included: one cut anywhere keeps its own name. A
    // whole header with a mode byte no writer stores is shown restored; opening it gives EIO,
    // as for any other damage in an archive.
    if (!status.ok() && status.code() != EngineError::UnknownMode) return Shown::AsItself;
    // A name longer than a file name may be could be listed but never opened; one that would
    // itself be taken for an archive's name would be expanded again by whoever copies it out.
    if (!NameForExpansion(name, header.typeText, restored) || restored->size() > kMaxName ||
        IsArchiveName(*restored)) {
        return Shown::AsItself;
    }
    *size = header.sourceSize;
    return Shown::Restored;
}

bool ListView(const std::string& folder, std::vector<ViewEntry>* entries) {
    std::vector<std::string> names;
    if (!platform::ListFolder(folder, &names)) return false;
    const std::set<std::string> real(names.begin(), names.end());
    std::map<std::string, int> restoredCount;
    entries->clear();
    for (const std::string& name : names) {
        ViewEntry entry;
        entry.name = entry.realName = name;
        std::string restored;
        int error = 0;
        const Shown shown = ReadRestoredName(folder, name, &restored, &entry.restoredSize, &error);
        if (shown == Shown::Unknown) {
            errno = error;
            return false;
        }
        if (shown == Shown::Restored && real.count(restored) == 0) {
            entry.name = restored;
            entry.restored = true;
            ++restoredCount[restored];
        }
        entries->push_back(std::move(entry));
    }
    for (ViewEntry& entry : *entries) {
        if (entry.restored && restoredCount[entry.name] > 1) {
            entry.name = entry.realName;
            entry.restored = false;
        }
    }
    return true;
}

int FindInView(const std::string& folder, const std::string& name, ViewEntry* entry) {
    if (name.empty() || name == "." || name == "..") return ENOENT;
    int error = 0;
    // Whether the archive `archive`, restoring to `restored` (a name no real entry has), is the
    // only one of the folder that does: 0 yes, -1 no, or an errno.
    const auto alone = [&](const std::string& archive, const std::string& restored) {
        for (const std::string& stem : ArchiveStemsFor(restored)) {
            for (const std::string& other : ArchiveSpellings(stem)) {
                if (other == archive) continue;
                std::string otherRestored;
                uint64_t otherSize = 0;
                const Shown shown =
                    ReadRestoredName(folder, other, &otherRestored, &otherSize, &error);
                if (shown == Shown::Unknown) return error;
                if (shown == Shown::Restored && otherRestored == restored) return -1;
            }
        }
        return 0;
    };

    if (platform::KindAt(JoinPath(folder, name)) != platform::EntryKind::Missing) {
        // A real entry: shown as itself unless it is an archive shown under its restored name.
        std::string restored;
        uint64_t size = 0;
        const Shown shown = ReadRestoredName(folder, name, &restored, &size, &error);
        if (shown == Shown::Unknown) return error;
        if (shown == Shown::Restored &&
            platform::KindAt(JoinPath(folder, restored)) == platform::EntryKind::Missing) {
            const int single = alone(name, restored);
            if (single > 0) return single;
            if (single == 0) return ENOENT;
        }
        *entry = ViewEntry{name, name, false, 0};
        return 0;
    }
    // A restored name: its archive is spelled as one of its stems plus ".kvn" in some letter
    // case.
    for (const std::string& stem : ArchiveStemsFor(name)) {
        for (const std::string& archive : ArchiveSpellings(stem)) {
            std::string restored;
            uint64_t size = 0;
            const Shown shown = ReadRestoredName(folder, archive, &restored, &size, &error);
            if (shown == Shown::Unknown) return error;
            if (shown == Shown::Restored && restored == name) {
                const int single = alone(archive, restored);
                if (single > 0) return single;
                if (single < 0) return ENOENT;
                *entry = ViewEntry{name, archive, true, size};
                return 0;
            }
        }
    }
    return ENOENT;
}

}  // namespace kavrin
