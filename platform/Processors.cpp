// SPDX-License-Identifier: MIT
#include "platform/Processors.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace kavrin::platform {
namespace {

// The first line of a small file, without its newline; nothing when it cannot be read.
std::optional<std::string> FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

// A whole decimal number, the entire text; nothing for anything else.
std::optional<int64_t> Whole(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const bool negative = text[0] == '-';
    if (text.size() == (negative ? 1u : 0u)) return std::nullopt;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return static_cast<int64_t>(value);
}

// quota / period rounded up, at least 1; nothing for no limit (a negative quota is v1's "max")
// or for a period that cannot be one.
std::optional<uint32_t> Processors(int64_t quota, int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const int64_t count = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<uint32_t>(std::clamp<int64_t>(count, 1, UINT32_MAX));
}

// The limit one group folder sets itself.
std::optional<uint32_t> LimitOf(const std::string& folder, bool v2) {
    if (v2) {
        // "max 100000" or "150000 100000"; the period may be left out (default 100000).
        const auto line = FirstLine(folder + "/cpu.max");
        if (!line) return std::nullopt;
        std::istringstream words(*line);
        std::string quota, period = "100000", extra;
        if (!(words >> quota) || quota == "max") return std::nullopt;
        words >> period;
        if (words >> extra) return std::nullopt;
        const auto q = Whole(quota), p = Whole(period);
        if (!q || !p) return std::nullopt;
        return Processors(*q, *p);
    }
    const auto quota = FirstLine(folder + "/cpu.cfs_quota_us");
    const auto period = FirstLine(folder + "/cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    const auto q = Whole(*quota), p = Whole(*period);
    if (!q || !p) return std::nullopt;
    return Processors(*q, *p);
}

std::optional<uint32_t> Smaller(std::optional<uint32_t> a, std::optional<uint32_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The tightest limit from `folder` up to the mount point `top` (a group's parents limit it too).
std::optional<uint32_t> LimitUpTo(std::string folder, const std::string& top, bool v2) {
    std::optional<uint32_t> limit;
    for (;;) {
        limit = Smaller(limit, LimitOf(folder, v2));
        if (folder.size() <= top.size()) return limit;
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash < top.size()) return limit;
        folder.resize(slash);
    }
}

std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by)) parts.push_back(part);
    return parts;
}

// mountinfo escapes blanks and backslashes in paths as octal (\040).
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Mount {
    std::string root;   // the group the mount shows at its mount point
    std::string point;  // where it is mounted
    bool v2 = false;
};

// The cgroup mounts that carry the cpu controller (v1) or the unified tree (v2).
std::vector<Mount> CpuMounts(const std::string& base) {
    std::vector<Mount> mounts;
    std::ifstream in(base + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root point options [optional...] - type source super-options
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        const auto front = Split(line.substr(0, dash), ' ');
        const auto back = Split(line.substr(dash + 3), ' ');
        if (front.size() < 5 || back.size() < 3) continue;
        Mount mount{Unescape(front[3]), Unescape(front[4]), back[0] == "cgroup2"};
        if (!mount.v2) {
            if (back[0] != "cgroup") continue;
            const auto options = Split(back[2], ',');
            if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
        }
        mounts.push_back(mount);
    }
    return mounts;
}

std::string PointOf(const std::string& base, const Mount& mount) {
    return base + (mount.point == "/" ? "" : mount.point);
}

// The folder of group `path` below a mount, or nothing when the mount does not show it.
std::optional<std::string> FolderOf(const std::string& base, const Mount& mount,
                                    const std::string& path) {
    std::string relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path == mount.root) {
        relative = "/";
    } else if (path.compare(0, mount.root.size() + 1, mount.root + "/") == 0) {
        relative = path.substr(mount.root.size());
    } else if (path == "/") {
        // A cgroup namespace shows its own root as "/": the mount is that group.
        relative = "/";
    } else {
        return std::nullopt;
    }
    if (relative == "/") relative.clear();
    return PointOf(base, mount) + relative;
}

}  // namespace

std::optional<uint32_t> CgroupCpuLimit(const std::string& root) {
    const std::string base = root == "/" ? "" : root;
    const auto mounts = CpuMounts(base);
    std::optional<uint32_t> limit;
    bool found = false;
    std::ifstream groups(base + "/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        // hierarchy-id:controllers:path; "0::path" is the unified (v2) tree.
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        if (!v2) {
            const auto names = Split(controllers, ',');
            if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
        }
        for (const Mount& mount : mounts) {
            if (mount.v2 != v2) continue;
            const auto folder = FolderOf(base, mount, path);
            if (!folder) continue;
            found = true;
            limit = Smaller(limit, LimitUpTo(*folder, PointOf(base, mount), v2));
        }
    }
    if (found) return limit;
    // No mount table to go by: the usual places of a container's own group.
    return Smaller(LimitOf(base + "/sys/fs/cgroup", true),
                   LimitOf(base + "/sys/fs/cgroup/cpu", false));
}

uint32_t UsableProcessors() {
    uint32_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<uint32_t>(CPU_COUNT(&set));
    if (count == 0) count = std::thread::hardware_concurrency();
    if (count == 0) count = 1;
    if (const auto limit = CgroupCpuLimit("/")) count = std::min(count, *limit);
    return count;
}

}  // namespace kavrin::platform
