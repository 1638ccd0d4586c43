// SPDX-License-Identifier: MIT
#include "mount/OpenArchive.h"

namespace kavrin {

OpenArchive::~OpenArchive() {
    platform::CloseFile(file);
}

std::shared_ptr<const ArchiveIndex> OpenArchive::Index(uint64_t* generation) const {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (generation != nullptr) *generation = state->generation;
    return state->index;
}

bool StillTheSame(const OpenArchive& archive) {
    platform::FileVersion open, named;
    return platform::VersionOf(archive.file, &open) && open == archive.version &&
           platform::VersionAt(archive.path, &named) && named == archive.version;
}

}  // namespace kavrin
