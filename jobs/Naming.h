// The naming rules shared by the window's dispatcher, the queue and `kvn`: what counts as an
// archive, where a result goes and what it is called. Pure functions on byte strings; paths
// use '/' and file names keep their exact bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavrin {

inline constexpr std::string_view kArchiveExtension = "kvn";

// The position of the first '.' of a file name, or its length when it has none. For a.b.wav
// the text from there is ".b.wav".
size_t FindExtension(std::string_view name);

// The dispatcher's test: the full path is at least 5 bytes long and ends in '.' and "kvn" in
// any letter case. take.2.kvn passes it.
bool IsArchivePath(std::string_view path);

// The queue's test: the text from the name's first dot is exactly ".kvn" in any case. The
// extension of take.2.kvn is ".2.kvn", so that file does not pass it.
bool HasArchiveExtension(std::string_view name);

// Splits at the last '/': the folder before it (without the '/', empty when the '/' is the
// first byte or there is none) and the name after it.
void SplitPath(std::string_view path, std::string* name, std::string* folder);

// folder + '/' + name; a file of the root folder (empty folder text) gives "/name".
std::string JoinPath(std::string_view folder, std::string_view name);

// The folder a result goes to, ending in '/': the source's own folder ("/" for the root
// folder) or the defined folder. Empty when the defined folder is empty.
std::string DestinationFolder(bool sameDir, std::string_view sourceFolder,
                              std::string_view definedFolder);

// A compressed file's name: the source name up to its first dot, then ".kvn"; its type text is
// everything after that first dot (further dots included, empty without a dot). False when the
// type text would not fit the header (more than 255 bytes).
bool NameForCompression(std::string_view sourceName, std::string* archiveName,
                        std::string* typeText);

// A restored file's name: the archive name up to its first dot, a dot and the stored type
// text. False when the stored type text is unsafe: it holds a '/' or a NUL byte, or the name
// would be "." or "..". A crafted archive can never name a file outside its folder.
bool NameForExpansion(std::string_view archiveName, std::string_view typeText,
                      std::string* restoredName);

}  // namespace kavrin
