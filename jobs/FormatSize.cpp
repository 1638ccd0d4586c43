// SPDX-License-Identifier: MIT
#include "jobs/FormatSize.h"

#include <cstdio>

namespace kavrin {

std::string FormatSize(uint64_t bytes) {
    char text[48];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024000) {
        std::snprintf(text, sizeof text, "%.1fK", static_cast<double>(bytes) * 0.0009765625);
    } else {
        std::snprintf(text, sizeof text, "%.3fM", static_cast<double>(bytes) * 9.765625e-07);
    }
    return text;
}

std::string FormatRatio(uint64_t part, uint64_t whole) {
    if (whole == 0) return "";
    unsigned __int128 percent = static_cast<unsigned __int128>(part) * 100 / whole;
    char text[48];
    std::snprintf(text, sizeof text, "%llu%%", static_cast<unsigned long long>(percent));
    return text;
}

std::string FormatModeBits(DeltaMode mode) {
    int bits = DeltaModeBits(mode);
    if (bits < 0) return "";
    return std::to_string(bits) + "-bit";
}

}  // namespace kavrin
