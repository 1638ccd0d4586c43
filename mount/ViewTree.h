// How a folder looks through `kvn mount`: which name each real entry has in the view.
//
// - An archive (a regular file whose name ends in ".kvn" in any case and that starts with the
//   archive magic, as the queue decides) with a whole header and
//   a safe type text appears under the name its expansion gives (jobs/Naming.h), with the size
//   of its restored file.
// - It keeps its own name, and shows its own bytes, when that restored name is also the name of
//   a real entry of the folder or of another archive's restored file, or when its type text is
//   unsafe, its restored name longer than a file name may be, or its header cut short.
// - Every other entry keeps its name and its bytes; folders are never renamed, so a view path's
//   folders are the real ones.
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
    uint32_t restoredSize = 0;  // for a restored entry
};

// What the archive at folder/name restores to: true with its restored name and size when it
// is an archive with a whole header and a safe type text.
bool ReadRestoredName(const std::string& folder, const std::string& name, std::string* restored,
                      uint32_t* size);

// The entries of the real folder as the view shows them. False when it cannot be listed.
bool ListView(const std::string& folder, std::vector<ViewEntry>* entries);

// The entry the view shows as `name` in the real folder; false when there is none.
bool FindInView(const std::string& folder, const std::string& name, ViewEntry* entry);

}  // namespace kavrin
