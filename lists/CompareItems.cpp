// SPDX-License-Identifier: MIT
#include "lists/CompareItems.h"

namespace kavrin {

double SortValue(std::string_view text) {
    // Read here rather than by atof, whose decimal separator is the C library's locale: the
    // lists write the one of the user's language ("12,5K" in German).
    double value = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
    }
    if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        double scale = 0.1;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10) {
            value += (text[at] - '0') * scale;
        }
    }
    if (text.find('K') != std::string_view::npos) {
        value *= 1024;
    } else if (text.find('M') != std::string_view::npos) {
        value *= 1024000;
    }
    return value;
}

int CompareItems(int32_t a, int32_t b, std::string_view textA, std::string_view textB, int column) {
    if (a < 0) return 1;
    if (b < 0) return -1;
    if (column <= 2) {
        // Byte by byte as unsigned characters, the shorter text first when it is a prefix.
        const int order = textA.compare(textB);
        if (order != 0) return order < 0 ? -1 : 1;
    } else {
        const double valueA = SortValue(textA);
        const double valueB = SortValue(textB);
        if (valueA != valueB) return valueA < valueB ? -1 : 1;
    }
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace kavrin
