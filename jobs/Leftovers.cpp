// SPDX-License-Identifier: MIT
#include "jobs/Leftovers.h"

#include <vector>

#include "jobs/Destination.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin {

int RemoveLeftovers(const std::string& folder, int64_t nowSeconds, int64_t maxAgeSeconds,
                    uint32_t owner) {
    std::vector<std::string> names;
    if (!platform::ListFolder(folder, &names)) return 0;
    int removed = 0;
    for (const std::string& name : names) {
        if (IsTemporaryName(name) &&
            platform::DeleteStaleFile(JoinPath(folder, name), owner, nowSeconds - maxAgeSeconds)) {
            ++removed;
        }
    }
    return removed;
}

}  // namespace kavrin
