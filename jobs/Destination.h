// SPDX-License-Identifier: MIT
// Creating a result so that it appears only when it is complete.
//
// A destination is written under a hidden temporary name in the final folder, private to its
// owner (mode 0600) until it is a result. A job that ends Done renames it over the final name;
// any other outcome deletes it. An interrupted, failed or crashed job therefore never leaves a
// partial file under the final name, and a file the user agreed to replace survives a failed
// job. Folder walks skip the temporary names, since they begin with '.'.
//
// A temporary name is ".kvn~" (a marker no one's own names carry), a tag of eight random letters
// and four check letters derived from those and the rest of the name, '~' and the final name
// (shortened to fit): ".kvn~q1w2e3r4abcd~Kick.kvn". Only a name of exactly this form, check
// letters right, is taken for one of ours.
//
// Any thread; one DestinationFile belongs to one job.
#pragma once

#include <string>
#include <string_view>

#include "platform/File.h"

namespace kavrin {

enum class Disposition {
    CreateAlways,  // replace an existing file when the job is done
    CreateNew,     // never replace: fail when the final name exists
};

struct DestinationFile {
    platform::FileHandle file = platform::kInvalidFile;
    std::string finalPath;
    std::string temporaryPath;
};

// The most folder-creation passes: one missing level is created per pass.
inline constexpr int kMaxFolderPasses = 129;

// Where the folders a result needs come from. The last `levels` folders of the result's path
// stand for the folders of `sourceFolder` at the same depth (kvn -r -o keeps each file's folders
// below its base): the file's own folder for `sourceFolder`, the one above for its parent, and
// so on. One of them that has to be made takes its source folder's permission bits (with its
// owner's own, so that results can be written into it); every other folder is made as mkdir
// makes it (0777 minus the umask).
struct FolderOrigin {
    std::string sourceFolder;
    int levels = 0;
};

// Creates the temporary file for `path` (mode 0600), creating missing folders one level per
// pass, from the highest missing one down. Refuses (false, errno EINVAL) a destination whose
// name is an entry of the open `source` itself, and (EISDIR) one that is a folder; with
// CreateNew, (EEXIST) one where anything stands, a link leading nowhere included. Returns false
// with nothing created when the file cannot be made.
bool CreateDestinationFile(const std::string& path, Disposition disposition,
                           platform::FileHandle source, DestinationFile* destination,
                           const FolderOrigin& origin = {});

// Renames the finished temporary file over the final name, closing it first if it is still
// open. With `durable`, the file is synced before and its folder after the rename, so that the
// result is on disk before a caller deletes the source. Returns false when the sync, close or
// rename failed: the temporary file is deleted and the final name shows what it showed before
// (a file it replaced is kept under a second name until the folder sync has succeeded).
bool CommitDestination(DestinationFile& destination, Disposition disposition, bool durable);

// Closes and deletes the temporary file; the final name is never touched.
void AbandonDestination(DestinationFile& destination);

// A new temporary name for a result named `finalName`, of the form above.
std::string TemporaryNameFor(std::string_view finalName);

// True for the names of the form above, and for no other: CreateDestinationFile's temporary
// files (and the second names of results being replaced).
bool IsTemporaryName(std::string_view name);

}  // namespace kavrin
