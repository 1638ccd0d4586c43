// SPDX-License-Identifier: MIT
#include "engine/codec/CpuFeatures.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kavrin {
namespace {

struct Features {
    bool avx2 = false;  // with BMI2: the flags the AVX2 units are compiled with
    bool clmul = false;
};

Features Detect() {
    Features features;
#if defined(__x86_64__)
    __builtin_cpu_init();
    features.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    features.clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
#endif
    return features;
}

const Features& Found() {
    static const Features features = Detect();
    return features;
}

bool AllowedAtStart() {
    const char* portable = std::getenv("KAVRIN_PORTABLE");
    return portable == nullptr || std::strcmp(portable, "1") != 0;
}

std::atomic<bool>& Allowed() {
    static std::atomic<bool> allowed{AllowedAtStart()};
    return allowed;
}

}  // namespace

bool CanRun(VectorUnit unit) {
    if (!Allowed().load(std::memory_order_relaxed)) return false;
    switch (unit) {
        case VectorUnit::Avx2:
            return Found().avx2;
        case VectorUnit::Clmul:
            return Found().clmul;
    }
    return false;
}

void AllowVectorUnits(bool allow) {
    Allowed().store(allow, std::memory_order_relaxed);
}

}  // namespace kavrin
