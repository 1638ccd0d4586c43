// SPDX-License-Identifier: MIT
// The window's four settings, in group "Settings" of the per-user store of organisation
// "Tellmark", application "Kavrin" (~/.config/Tellmark/Kavrin.conf): "DelSrc", "SameDir",
// "Optimize" and "DstDir", read when the window opens and written when it goes.
//
// A missing value keeps the window's constructor value. A stored value the window could not
// use is corrected as it is read: a flag other than 0 or 1 takes its default, an optimization
// outside 0 to 5 becomes 0 (Auto), a folder longer than 259 bytes is cut, and an empty folder
// counts as missing.
//
// Window thread only.
#pragma once

#include <cstdint>
#include <string>

namespace kavrin {

// The most bytes a destination folder keeps (the window's 260-byte field with its terminator).
inline constexpr size_t kMaxDestDir = 259;

struct WindowSettings {
    int32_t deleteSource = 0;  // "DelSrc"
    int32_t sameDir = 1;       // "SameDir"
    int32_t optimize = 0;      // "Optimize"
    std::string destDir;       // "DstDir", exact bytes
};

// Reads the stored settings over `defaults`, correcting what cannot be used.
WindowSettings ReadSettings(const WindowSettings& defaults);

// Writes the settings in the order of the list above; the folder only when it is not empty.
void WriteSettings(const WindowSettings& settings);

// `text` cut to at most `limit` bytes, never inside a UTF-8 sequence.
std::string CutToBytes(const std::string& text, size_t limit);

}  // namespace kavrin
