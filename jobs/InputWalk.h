// SPDX-License-Identifier: MIT
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
#include <map>
#include <string>
#include <vector>

#include "platform/File.h"

namespace kavrin {

enum class InputKind {
    File,              // a regular file to process
    IllegalAttribute,  // missing, hidden or not a regular file: refused with the message
};

// The same walk one step at a time, so that a long walk can yield between steps. It keeps the
// names of the folders it is in, never more.
class InputWalker {
public:
    explicit InputWalker(std::string path);
    // The next path the walk finds and what it is; false when the walk is over.
    bool Next(std::string* path, InputKind* kind);

private:
    struct Level {
        std::string prefix;  // the folder with its '/'
        std::vector<std::string> names;
        size_t next = 0;
    };
    // Reports `found` (true) or, for a folder, enters it (false).
    bool Visit(const std::string& found, bool named, std::string* path, InputKind* kind);

    std::string start_;
    bool started_ = false;
    std::vector<Level> levels_;
};

// Calls `visit(path, kind)` for `path` itself or, for a folder, for everything the walk finds
// in it. The paths passed on are `path` joined with the entry names by '/'.
void WalkInput(const std::string& path,
               const std::function<void(const std::string& path, InputKind kind)>& visit);

// The folder files are placed below by kvn -r --base. A file lies below it when a folder on the
// file's path is that very folder (device and inode), however either is spelt: a base named
// through a symbolic link, or a file named through one, is found all the same.
class BaseFolder {
public:
    explicit BaseFolder(const std::string& path);
    // The folder of `file` (an absolute path without "." or ".." parts) below the base, as `file`
    // spells it: "" for a file of the base itself. False when no folder on its path is the base.
    bool FolderOf(const std::string& file, std::string* folder);

private:
    bool IsBase(const std::string& folder);

    bool known_ = false;
    platform::FileStatus base_;
    std::map<std::string, bool> answers_;  // folder path: whether it is the base
};

}  // namespace kavrin
