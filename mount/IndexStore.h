// Where indexes are kept between mounts: one file per archive in the index folder
// ($XDG_CACHE_HOME/kavrin, or ~/.cache/kavrin), named after the archive's device and inode and
// holding its whole version, which is checked at every load. A file that is damaged, stale or
// of another archive is not used (and is replaced when the archive is indexed again). Files
// are written under a temporary name and renamed, so a reader never sees half of one.
//
// Only indexes of archives of at least kStoredIndexMinBlocks blocks are kept: a smaller archive
// is indexed again in a moment, and its index file would take a disk block of its own.
//
// Any thread; several processes may share a folder.
#pragma once

#include <string>

#include "mount/ArchiveIndex.h"

namespace kavrin {

inline constexpr size_t kStoredIndexMinBlocks = 4;

class IndexStore {
public:
    // `folder` empty: nothing is kept.
    explicit IndexStore(std::string folder) : folder_(std::move(folder)) {}
    // $XDG_CACHE_HOME/kavrin when XDG_CACHE_HOME is set and absolute, else ~/.cache/kavrin;
    // empty when neither can be found.
    static std::string DefaultFolder();

    const std::string& folder() const { return folder_; }
    // Whether an index of this many blocks is kept in the folder.
    static bool Keeps(size_t blocks) { return blocks >= kStoredIndexMinBlocks; }
    // The kept index of the archive `version`, when there is a sound one for exactly it.
    bool Load(const platform::FileVersion& version, ArchiveIndex* index) const;
    // Keeps `index` (creating the folder when missing). False when it could not be written.
    bool Save(const ArchiveIndex& index) const;
    std::string PathFor(const platform::FileVersion& version) const;

private:
    std::string folder_;
};

}  // namespace kavrin
