// SPDX-License-Identifier: MIT
#include "jobs/Leftovers.h"

#include <vector>

#include "jobs/Destination.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin {

int RemoveLeftovers(const std::string& folder, int64_t nowSeconds, int64_t maxAgeSeconds) {
    std::vector<std::string> names;
    if (!platform::ListFolder(folder, &names)) return 0;
    int removed = 0;
    for (const std::string& name : names) {
        if (!IsTemporaryName(name)) continue;
        const std::string path = JoinPath(folder, name);
        if (platform::IsLink(path)) continue;
        platform::PathAttributes attributes = platform::QueryAttributes(path);
        if (!attributes.isRegular) continue;
        if (nowSeconds - attributes.changedSeconds <= maxAgeSeconds) continue;
        if (platform::DeleteFile(path)) ++removed;
    }
    return removed;
}

}  // namespace kavrin
