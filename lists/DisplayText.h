// SPDX-License-Identifier: MIT
// File names, paths and messages are bytes (usually UTF-8, but any bytes the file system
// allows). Widgets show QStrings. These two functions are the only crossing between them, so
// a name that is not valid UTF-8 is decoded for display only and its bytes are never replaced.
//
// Any thread.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kavrin {

// The bytes decoded in the locale's encoding; bytes it cannot decode show as U+FFFD.
QString DisplayText(std::string_view bytes);

// A name the user chose in a widget, encoded back into file-system bytes.
std::string FileSystemBytes(const QString& text);

}  // namespace kavrin
