// SPDX-License-Identifier: MIT
// How many processors this process may run on: the CPUs of its affinity mask (taskset, a
// cgroup's cpuset, a batch scheduler's allocation), not the machine's. Any thread.
#pragma once

#include <cstdint>

namespace kavrin::platform {

// At least 1.
uint32_t UsableProcessors();

}  // namespace kavrin::platform
