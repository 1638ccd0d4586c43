// SPDX-License-Identifier: MIT
// How many processors this process may run on: the CPUs of its affinity mask (taskset, a
// cgroup's cpuset, a batch scheduler's allocation), not the machine's, capped by the CPU quota
// of its control group (`docker run --cpus`, a Kubernetes CPU limit, systemd's CPUQuota=).
// Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kavrin::platform {

// At least 1, never more than the affinity mask holds.
uint32_t UsableProcessors();

// The CPU quota of this process's control group and of every group above it, as a whole number
// of processors (quota / period rounded up, at least 1), or nothing when no group sets one.
// cgroup v2 `cpu.max`, cgroup v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us`. The groups are found
// through `proc/self/cgroup` and `proc/self/mountinfo` below `root` ("" or "/" for the real
// system; a test hands a folder holding a fake tree), else at the usual `sys/fs/cgroup` paths.
// Unreadable or malformed files count as no limit.
std::optional<uint32_t> CgroupCpuLimit(const std::string& root);

}  // namespace kavrin::platform
