// SPDX-License-Identifier: MIT
// File names as `kvn` shows them. Names are bytes and need not be valid UTF-8; they are kept
// exactly for every file operation and turned into text only here, for the terminal.
#pragma once

#include <cstddef>
#include <string>

namespace kavrin::cli {

// Bytes as they may be shown on a terminal: control bytes (C0, DEL and the C1 controls) and
// bytes that are not part of valid UTF-8 become \xNN, so a crafted file name or type text
// cannot drive the terminal and an undecodable name still shows every byte.
std::string Printable(const std::string& bytes);

// True when `bytes` is well-formed UTF-8.
bool IsValidUtf8(const std::string& bytes);

// The columns `text` (valid UTF-8) takes on a terminal, counting one per character.
size_t DisplayWidth(const std::string& text);

// `path` spelled plainly, for JSON: without "." components and repeated slashes ("/a/./b//c"
// gives "/a/b/c", "./x" gives "x", "." stays "."). ".." is kept: a link before it decides where
// it leads.
std::string PlainPath(const std::string& path);

// The bytes as lower-case hexadecimal digits, two per byte.
std::string HexBytes(const std::string& bytes);

}  // namespace kavrin::cli
