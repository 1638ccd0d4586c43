// SPDX-License-Identifier: MIT
#include "jobs/InputWalk.h"

#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin {

InputWalker::InputWalker(std::string path) : start_(std::move(path)) {}

bool InputWalker::Next(std::string* path, InputKind* kind) {
    if (!started_) {
        started_ = true;
        // The path the user named is followed even when it is a link.
        if (Visit(start_, true, path, kind)) return true;
    }
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.next == level.names.size()) {
            levels_.pop_back();
            continue;
        }
        const std::string& name = level.names[level.next++];
        if (name[0] == '.') continue;
        if (Visit(level.prefix + name, false, path, kind)) return true;
    }
    return false;
}

bool InputWalker::Visit(const std::string& found, bool named, std::string* path, InputKind* kind) {
    platform::PathAttributes attributes = platform::QueryAttributes(found);
    if (!attributes.exists || attributes.isHidden || attributes.isSystem) {
        *path = found;
        *kind = InputKind::IllegalAttribute;
        return true;
    }
    if (!attributes.isFolder) {
        *path = found;
        *kind = InputKind::File;
        return true;
    }
    if (!named && platform::IsLink(found)) return false;  // never follow a link out of a walk
    Level level;
    if (!platform::ListFolder(found, &level.names)) return false;
    // Every folder but one already ending in '/' (the root) needs a separator, whatever its
    // length: "x" holds "x/a.wav".
    level.prefix = found.back() != '/' ? found + "/" : found;
    levels_.push_back(std::move(level));
    return false;
}

void WalkInput(const std::string& path,
               const std::function<void(const std::string& path, InputKind kind)>& visit) {
    InputWalker walker(path);
    std::string found;
    InputKind kind;
    while (walker.Next(&found, &kind)) visit(found, kind);
}

BaseFolder::BaseFolder(const std::string& path) {
    known_ = platform::StatusOfPath(path, &base_) && base_.isFolder;
}

bool BaseFolder::IsBase(const std::string& folder) {
    auto found = answers_.find(folder);
    if (found != answers_.end()) return found->second;
    platform::FileStatus status;
    const bool same = platform::StatusOfPath(folder, &status) && status.SameFile(base_);
    answers_.emplace(folder, same);
    return same;
}

bool BaseFolder::FolderOf(const std::string& file, std::string* folder) {
    if (!known_) return false;
    std::string name, fileFolder;
    SplitPath(file, &name, &fileFolder);
    if (fileFolder.empty()) fileFolder.push_back('/');  // a file of the root folder
    // From the file's own folder up to the root, the nearest folder that is the base.
    for (std::string candidate = fileFolder;;) {
        if (IsBase(candidate)) {
            folder->clear();
            if (candidate != fileFolder) {
                folder->append(fileFolder, candidate == "/" ? 1 : candidate.size() + 1);
            }
            return true;
        }
        if (candidate == "/") return false;
        const size_t slash = candidate.rfind('/');
        candidate.resize(slash == 0 ? 1 : slash);
    }
}

}  // namespace kavrin
