// SPDX-License-Identifier: MIT
// Where indexes are kept between mounts: one file per archive in the index folder
// ($XDG_CACHE_HOME/kavrin, or ~/.cache/kavrin), named after the archive's device and inode and
// holding its whole version, which is checked at every load. A file that is damaged, stale or
// of another archive is not used (and is replaced when the archive is indexed again). Files
// are written under a temporary name and renamed, so a reader never sees half of one.
//
// The folder and its files are the user's alone: the folder (and any folder made on the way to
// it) is created with mode 0700 and the files with mode 0600, whatever the umask; a folder or a
// file owned by another user, or writable by group or others, is never used, since whoever can
// write an index can make reads give the wrong bytes until they are found out.
//
// Only indexes of archives of at least kStoredIndexMinSpans spans, or that restore at least
// kStoredIndexMinRestored bytes, are kept: a smaller archive is indexed again in a moment, and
// its index file would take a disk block of its own. (Two blocks of silence restore 53 MB:
// indexing them again takes as long as expanding them.)
//
// Any thread; several processes may share a folder.
#pragma once

#include <string>

#include "mount/ArchiveIndex.h"

namespace kavrin {

inline constexpr size_t kStoredIndexMinSpans = 4;
inline constexpr uint64_t kStoredIndexMinRestored = 8 << 20;

class IndexStore {
public:
    // `folder` empty: nothing is kept.
    explicit IndexStore(std::string folder) : folder_(std::move(folder)) {}
    // $XDG_CACHE_HOME/kavrin when XDG_CACHE_HOME is set and absolute, else ~/.cache/kavrin;
    // empty when neither can be found.
    static std::string DefaultFolder();

    const std::string& folder() const { return folder_; }
    // Whether the index of an archive of this many spans restoring this much is kept.
    static bool Keeps(const ArchiveIndex& index) {
        return index.spans.size() >= kStoredIndexMinSpans ||
               index.sourceSize >= kStoredIndexMinRestored;
    }

    enum class LoadStatus {
        Loaded,
        Missing,    // none kept, or not for this version, or damaged
        NotPrivate  // the folder or the file is not the user's alone: not used
    };
    // The kept index of the archive `version`, when there is a sound one for exactly it.
    LoadStatus Load(const platform::FileVersion& version, ArchiveIndex* index) const;
    // Keeps `index` (creating the folder when missing). False, with why in `*why`, when it
    // could not be written.
    bool Save(const ArchiveIndex& index, std::string* why = nullptr) const;
    std::string PathFor(const platform::FileVersion& version) const;

private:
    std::string folder_;
};

}  // namespace kavrin
