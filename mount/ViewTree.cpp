#include "mount/ViewTree.h"

#include <map>
#include <set>

#include "engine/ArchiveFormat.h"
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

bool ReadRestoredName(const std::string& folder, const std::string& name, std::string* restored,
                      uint32_t* size) {
    if (!IsArchiveName(name)) return false;
    platform::FileHandle file = platform::OpenShared(JoinPath(folder, name));
    if (file == platform::kInvalidFile) return false;
    uint8_t bytes[kHeaderFixedBytes + kMaxTypeText];
    const int64_t got = platform::ReadAt(file, bytes, sizeof bytes, 0);
    platform::CloseFile(file);
    ArchiveHeader header;
    if (got < 0 || ParseArchiveHeader(bytes, static_cast<size_t>(got), &header,
                                      HeaderField::SourceSize) != HeaderStatus::Ok) {
        return false;
    }
    // A name longer than a file name may be could be listed but never opened.
    if (!NameForExpansion(name, header.typeText, restored) || restored->size() > kMaxName) {
        return false;
    }
    *size = header.sourceSize;
    return true;
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
        if (ReadRestoredName(folder, name, &restored, &entry.restoredSize) &&
            real.count(restored) == 0) {
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

bool FindInView(const std::string& folder, const std::string& name, ViewEntry* entry) {
    if (name.empty() || name == "." || name == "..") return false;
    const auto restoredHere = [&](const std::string& archive, std::string* restored,
                                  uint32_t* size) {
        return ReadRestoredName(folder, archive, restored, size);
    };
    // Whether the archive `archive`, restoring to `restored` (a name no real entry has), is the
    // only one of the folder that does.
    const auto alone = [&](const std::string& archive, const std::string& restored) {
        for (const std::string& stem : ArchiveStemsFor(restored)) {
            for (const std::string& other : ArchiveSpellings(stem)) {
                std::string otherRestored;
                uint32_t otherSize = 0;
                if (other != archive && restoredHere(other, &otherRestored, &otherSize) &&
                    otherRestored == restored) {
                    return false;
                }
            }
        }
        return true;
    };

    if (platform::KindAt(JoinPath(folder, name)) != platform::EntryKind::Missing) {
        // A real entry: shown as itself unless it is an archive shown under its restored name.
        std::string restored;
        uint32_t size = 0;
        if (restoredHere(name, &restored, &size) &&
            platform::KindAt(JoinPath(folder, restored)) == platform::EntryKind::Missing &&
            alone(name, restored)) {
            return false;
        }
        *entry = ViewEntry{name, name, false, 0};
        return true;
    }
    // A restored name: its archive is spelled as one of its stems plus ".kvn" in some letter
    // case.
    for (const std::string& stem : ArchiveStemsFor(name)) {
        for (const std::string& archive : ArchiveSpellings(stem)) {
            std::string restored;
            uint32_t size = 0;
            if (restoredHere(archive, &restored, &size) && restored == name) {
                if (!alone(archive, restored)) return false;
                *entry = ViewEntry{name, archive, true, size};
                return true;
            }
        }
    }
    return false;
}

}  // namespace kavrin
