// How a path given by the user becomes files to process: the queue's rules, shared by the
// window's AddToQueue and by kvn's folder arguments, so a batch sees exactly what a drop on
// the queue would.
//
// - A path that does not exist, whose name begins with '.', or that is neither a regular file
//   nor a folder (FIFO, socket, device) is refused: "Illegal file attribute". Such a path is
//   never opened, so a FIFO cannot block anything.
// - A folder is walked: its entries in name (byte) order, every name beginning with '.' skipped
//   (this also skips the hidden temporary files of unfinished results), each other entry
//   handled by these same rules, without a depth limit. A link to a folder met inside a walk
//   is not entered, so no walk can loop; a link the user names is followed. A folder that
//   cannot be listed adds nothing and says nothing.
// - A regular file is handed on.
//
// Any thread; the walk calls back synchronously, in order, and may be re-entered by a callback.
#pragma once

#include <functional>
#include <string>

namespace kavrin {

enum class InputKind {
    File,              // a regular file to process
    IllegalAttribute,  // missing, hidden or not a regular file: refused with the message
};

// Calls `visit(path, kind)` for `path` itself or, for a folder, for everything the walk finds
// in it. The paths passed on are `path` joined with the entry names by '/'.
void WalkInput(const std::string& path,
               const std::function<void(const std::string& path, InputKind kind)>& visit);

}  // namespace kavrin
