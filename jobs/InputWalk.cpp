// SPDX-License-Identifier: MIT
#include "jobs/InputWalk.h"

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

}  // namespace kavrin
