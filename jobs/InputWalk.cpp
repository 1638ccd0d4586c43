#include "jobs/InputWalk.h"

#include "platform/File.h"

namespace kavrin {
namespace {

void Walk(const std::string& path, bool named,
          const std::function<void(const std::string&, InputKind)>& visit) {
    platform::PathAttributes attributes = platform::QueryAttributes(path);
    if (!attributes.exists || attributes.isHidden || attributes.isSystem) {
        visit(path, InputKind::IllegalAttribute);
        return;
    }
    if (!attributes.isFolder) {
        visit(path, InputKind::File);
        return;
    }
    if (!named && platform::IsLink(path)) return;  // never follow a link out of a walk
    std::vector<std::string> names;
    if (!platform::ListFolder(path, &names)) return;
    // Every folder but one already ending in '/' (the root) needs a separator, whatever its
    // length: "x" holds "x/a.wav".
    const std::string prefix = path.back() != '/' ? path + "/" : path;
    for (const std::string& name : names) {
        if (name[0] == '.') continue;
        Walk(prefix + name, false, visit);
    }
}

}  // namespace

void WalkInput(const std::string& path,
               const std::function<void(const std::string& path, InputKind kind)>& visit) {
    Walk(path, true, visit);
}

}  // namespace kavrin
