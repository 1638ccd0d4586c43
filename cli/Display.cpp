// SPDX-License-Identifier: MIT
#include "cli/Display.h"

#include <cstdint>
#include <cstdio>

namespace kavrin::cli {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when there is none (overlong
// forms, surrogates and code points beyond U+10FFFF included).
size_t SequenceLength(const std::string& bytes, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

void AppendEscaped(std::string& out, uint8_t byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
}

}  // namespace

std::string Printable(const std::string& bytes) {
    std::string out;
    for (size_t at = 0; at < bytes.size();) {
        size_t length = SequenceLength(bytes, at);
        const auto lead = static_cast<uint8_t>(bytes[at]);
        bool c0 = length == 1 && (lead < 0x20 || lead == 0x7F);
        // U+0080 to U+009F: some terminals obey them as controls (U+009B starts a sequence).
        bool c1 = length == 2 && lead == 0xC2 && static_cast<uint8_t>(bytes[at + 1]) < 0xA0;
        if (length == 0 || c0 || c1) {
            size_t end = length == 0 ? at + 1 : at + length;
            for (; at < end; ++at) AppendEscaped(out, static_cast<uint8_t>(bytes[at]));
            continue;
        }
        out.append(bytes, at, length);
        at += length;
    }
    return out;
}

bool IsValidUtf8(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        size_t length = SequenceLength(bytes, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (char c : text) {
        if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++width;
    }
    return width;
}

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

std::string PlainPath(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::string plain = absolute ? "/" : "";
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".") {
            if (!plain.empty() && plain.back() != '/') plain += '/';
            plain += part;
        }
        at = end + 1;
    }
    if (plain.empty()) return path.empty() ? path : ".";
    return plain;
}

}  // namespace kavrin::cli
