// SPDX-License-Identifier: MIT
// How a folder looks through `kvn mount`: which name each real entry has in the view.
//
// - An archive (a regular file whose name ends in ".kvn" in any case and that starts with the
//   archive magic, as the queue decides) with a whole header and
//   a safe type text appears under the name its expansion gives (jobs/Naming.h), with the size
//   of its restored file.
// - It keeps its own name, and shows its own bytes, when that restored name is also the name of
//   a real entry of the folder or of another archive's restored file, when it would itself be
//   taken for an archive's name (a type text of "kvn" or "KVN" alike), or when its type text is
//   unsafe, its restored name longer than a file name may be, or its header cut short (inside
//   any field, the reserved one included).
// - Every other entry keeps its name and its bytes; folders are never renamed, so a view path's
//   folders are the real ones.
// - An archive whose header cannot be read for what the machine lacked (IsMachineError in
//   engine/Status.h: descriptors, memory, an I/O error, a network file system's answer) is not
//   guessed at: the lookup or listing that needs it fails with that errno, and the next one
//   tries again.
//
// Every answer is worked out from the folder as it is at that moment; nothing is remembered.
// Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavrin {

struct ViewEntry {
    std::string name;      // in the view
    std::string realName;  // in the folder
    bool restored = false;
    uint64_t restoredSize = 0;  // for a restored entry
};

enum class Shown {
    Restored,  // an archive shown under its restored name
    AsItself,  // anything else
    Unknown,   // its header could not be read now (errno in `*error`)
};

// How the file folder/name is shown: Restored with its restored name and size when it is an
// archive with a whole header and a safe type text.
Shown ReadRestoredName(const std::string& folder, const std::string& name, std::string* restored,
                       uint64_t* size, int* error = nullptr);

// The entries of the real folder as the view shows them. False, with errno set, when it cannot
// be listed or an archive's header cannot be read now.
bool ListView(const std::string& folder, std::vector<ViewEntry>* entries);

// The entry the view shows as `name` in the real folder: 0, ENOENT when there is none, or the
// errno of what could not be read now.
int FindInView(const std::string& folder, const std::string& name, ViewEntry* entry);

}  // namespace kavrin
