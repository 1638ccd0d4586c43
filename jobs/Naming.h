// SPDX-License-Identifier: MIT
// The naming rules shared by the window's dispatcher, the queue and `kvn`: what counts as an
// archive, where a result goes and what it is called. Pure functions on byte strings; paths
// use '/' and file names keep their exact bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kavrin {

inline constexpr std::string_view kArchiveExtension = "kvn";

// Names keep their dots: an archive is named after its source's name up to the source name's
// last dot, and the text after that dot is the type text the archive stores (Piano.C4.mf.wav
// gives Piano.C4.mf.kvn holding "wav"). A name without a dot, or one that ends in a dot, is
// kept whole and stores an empty type text (readme gives readme.kvn, take. gives take..kvn).
// Expansion gives the archive's name without its ".kvn", plus a dot and the stored type text
// when that is not empty. So every name round-trips, and an archive named by the older
// first-dot rule (one dot in its name, the rest of the source's name in its type text)
// restores exactly as before.

// The position of the last '.' of a file name that has text after it, or the name's length
// (no dot, or a dot at the end). For a.b.wav the text from there is ".wav".
size_t FindExtension(std::string_view name);

// The type text a file's name gives: the text after its last dot; empty when there is none.
std::string_view TypeTextOf(std::string_view name);

// The one test of an archive's name, shared by the queue, the dispatcher, `kvn` and the mount:
// it ends in ".kvn" in any letter case (take.2.kvn and LOOP.KVN pass, take.kvn2 does not).
// A file is an archive when its name passes and it starts with the archive magic.
bool IsArchiveName(std::string_view name);
// The same test on a full path's name.
bool IsArchivePath(std::string_view path);

// Splits at the last '/': the folder before it (without the '/', empty when the '/' is the
// first byte or there is none) and the name after it.
void SplitPath(std::string_view path, std::string* name, std::string* folder);

// folder + '/' + name; a file of the root folder (empty folder text) gives "/name".
std::string JoinPath(std::string_view folder, std::string_view name);

// The folder a result goes to, ending in '/': the source's own folder ("/" for the root
// folder) or the defined folder. Empty when the defined folder is empty.
std::string DestinationFolder(bool sameDir, std::string_view sourceFolder,
                              std::string_view definedFolder);

// A compressed file's name and the type text it stores, by the rule above. False when the
// type text would not fit the header (more than 255 bytes).
bool NameForCompression(std::string_view sourceName, std::string* archiveName,
                        std::string* typeText);

// The one rule for a type text, shared by expansion and by compression's --type: it holds no '/'
// and no NUL byte, so that it can never name a file outside the archive's folder.
bool IsSafeTypeText(std::string_view typeText);

// A restored file's name, by the rule above: the archive's name without its ".kvn" (or, for an
// archive named otherwise, without the text from its last dot), a dot and the stored type text
// (no dot when that is empty). False when the stored type text is unsafe (a '/' or a NUL byte)
// or the name would be empty, "." or "..": a crafted archive can never name a file outside its
// folder.
bool NameForExpansion(std::string_view archiveName, std::string_view typeText,
                      std::string* restoredName);

// Every stem an archive restoring to `restoredName` can have: the whole name (an empty type
// text) and the name up to each of its dots, longest first. The mount looks for an archive
// under each, plus ".kvn".
std::vector<std::string> ArchiveStemsFor(std::string_view restoredName);

}  // namespace kavrin
