// SPDX-License-Identifier: MIT
#include "platform/Processors.h"

#include <sched.h>

#include <thread>

namespace kavrin::platform {

uint32_t UsableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<uint32_t>(count);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace kavrin::platform
