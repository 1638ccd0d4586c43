// SPDX-License-Identifier: MIT
#include "platform/Processors.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/TestSupport.h"

namespace kavrin::platform {
namespace {

using test::MakeFolders;
using test::TempDir;
using test::WriteFile;

// A fake system below `dir`: the process's group lines, the mount table, and group files.
void Put(const TempDir& dir, const std::string& path, const std::string& text) {
    const std::string full = dir / path;
    MakeFolders(full.substr(0, full.rfind('/')));
    WriteFile(full, text);
}

const char* const kV2Mounts =
    "30 22 0:27 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST(ProcessorsTest, CgroupV2QuotaRoundsUpAndParentsLimitToo) {
    TempDir dir;
    Put(dir, "proc/self/mountinfo", kV2Mounts);
    Put(dir, "proc/self/cgroup", "0::/kubepods/pod1/c1\n");
    Put(dir, "sys/fs/cgroup/kubepods/pod1/c1/cpu.max", "250001 100000\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), 3u);
    // Below one processor is still one; the parent's tighter quota wins.
    Put(dir, "sys/fs/cgroup/kubepods/pod1/cpu.max", "20000 100000\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), 1u);
    // "max" is no limit, nor is a file that is not the kernel's format; the period may be absent.
    Put(dir, "sys/fs/cgroup/kubepods/pod1/cpu.max", "max 100000\n");
    Put(dir, "sys/fs/cgroup/kubepods/pod1/c1/cpu.max", "max\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), std::nullopt);
    for (const char* odd : {"1.5 100000", "150000 0", "-5 100000", "", "150000 100000 7"}) {
        Put(dir, "sys/fs/cgroup/kubepods/pod1/c1/cpu.max", odd);
        EXPECT_EQ(CgroupCpuLimit(dir.path()), std::nullopt) << odd;
    }
    Put(dir, "sys/fs/cgroup/kubepods/pod1/c1/cpu.max", "400000");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), 4u);
    // A quota set at the mount point (a container's own namespace) counts.
    Put(dir, "proc/self/cgroup", "0::/\n");
    Put(dir, "sys/fs/cgroup/cpu.max", "200000 100000\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), 2u);
}

TEST(ProcessorsTest, CgroupV1QuotaThroughTheMountTableOrTheUsualPaths) {
    TempDir dir;
    // The cpu controller shared with cpuacct, mounted showing a group (as in a container).
    Put(dir, "proc/self/mountinfo",
        "31 30 0:28 /docker/abc /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
        "34 30 0:31 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
    Put(dir, "proc/self/cgroup", "4:memory:/docker/abc\n3:cpu,cpuacct:/docker/abc\n");
    Put(dir, "sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    Put(dir, "sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    Put(dir, "sys/fs/cgroup/memory/cpu.cfs_quota_us", "50000\n");  // not the cpu hierarchy
    EXPECT_EQ(CgroupCpuLimit(dir.path()), std::nullopt);
    Put(dir, "sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), 3u);
    Put(dir, "sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "x\n");
    EXPECT_EQ(CgroupCpuLimit(dir.path()), std::nullopt);

    // No mount table: the usual folders.
    TempDir bare;
    Put(bare, "sys/fs/cgroup/cpu/cpu.cfs_quota_us", "150000\n");
    Put(bare, "sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(CgroupCpuLimit(bare.path()), 2u);
    Put(bare, "sys/fs/cgroup/cpu.max", "100000 100000\n");
    EXPECT_EQ(CgroupCpuLimit(bare.path()), 1u);
    TempDir empty;
    EXPECT_EQ(CgroupCpuLimit(empty.path()), std::nullopt);
}

bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// A real group with a quota of half a processor, the process moved into it and back: the
// cgroup v1 cpu hierarchy where there is one, else the unified tree.
TEST(ProcessorsTest, RealCgroupQuotaCapsUsableProcessors) {
    std::string mount, group;
    bool v2 = false;
    std::string line;
    std::ifstream self("/proc/self/cgroup");
    while (std::getline(self, line)) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1) == "/" ? "" : line.substr(second + 1);
        if (controllers.find(",cpu,") != std::string::npos &&
            access("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", F_OK) == 0)
            mount = "/sys/fs/cgroup/cpu", group = path;
        if (controllers == ",," && mount.empty() &&
            access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0)
            mount = "/sys/fs/cgroup", group = path, v2 = true;
    }
    if (mount.empty()) GTEST_SKIP() << "no cgroup cpu hierarchy at /sys/fs/cgroup";
    const std::string made = mount + group + "/kvn-test-" + std::to_string(getpid());
    if (mkdir(made.c_str(), 0755) != 0)
        GTEST_SKIP() << "not permitted to make a cgroup: " << made << ": " << std::strerror(errno);
    const bool set = v2 ? Write(made + "/cpu.max", "50000 100000")
                        : Write(made + "/cpu.cfs_period_us", "100000") &&
                              Write(made + "/cpu.cfs_quota_us", "50000");
    const bool joined = set && Write(made + "/cgroup.procs", std::to_string(getpid()));
    std::optional<uint32_t> limit;
    uint32_t usable = 0;
    if (joined) {
        limit = CgroupCpuLimit("/");
        usable = UsableProcessors();
        Write(mount + group + "/cgroup.procs", std::to_string(getpid()));
    }
    rmdir(made.c_str());
    if (!joined) GTEST_SKIP() << "not permitted to set a CPU quota on or join " << made;
    EXPECT_EQ(limit, 1u);
    EXPECT_EQ(usable, 1u);
}

}  // namespace
}  // namespace kavrin::platform
