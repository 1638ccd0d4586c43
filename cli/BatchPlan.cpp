// SPDX-License-Identifier: MIT
#include "cli/BatchPlan.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "cli/Translate.h"
#include "engine/Status.h"
#include "engine/format/ArchiveFormat.h"
#include "jobs/InputWalk.h"
#include "jobs/Naming.h"

namespace kavrin::cli {
namespace {

// Tells whether folders lie inside one given folder, by identity: a spelling through a link
// or with "./" in it is the same folder.
class InsideFolder {
public:
    explicit InsideFolder(const std::string& folder) {
        known_ = !folder.empty() && platform::StatusOfPath(folder, &folder_);
    }
    // True when `folder` is the given folder or lies below it.
    bool operator()(const std::string& folder) {
        if (!known_ || folder.empty()) return false;
        auto found = answers_.find(folder);
        if (found != answers_.end()) return found->second;
        platform::FileStatus status;
        bool inside = platform::StatusOfPath(folder, &status) && status.SameFile(folder_);
        if (!inside) {
            const size_t slash = folder.rfind('/');
            if (slash != std::string::npos && slash > 0) inside = (*this)(folder.substr(0, slash));
        }
        answers_.emplace(folder, inside);
        return inside;
    }

private:
    bool known_ = false;
    platform::FileStatus folder_;
    std::map<std::string, bool> answers_;
};

// Why the queue's rules refuse a path.
std::string IllegalReason(const std::string& path) {
    platform::PathAttributes attributes = platform::QueryAttributes(path);
    if (!attributes.exists) {
        // A folder below PATH_MAX bytes of path exists, but no system call takes its path.
        if (errno == ENAMETOOLONG) {
            return Tr("name too long: its path is longer than the system takes (PATH_MAX)");
        }
        return platform::IsLink(path) ? Tr("Illegal file attribute (a link that leads nowhere)")
                                      : Tr("no such file or folder");
    }
    if (attributes.isHidden) return Tr("Illegal file attribute (hidden)");
    return Tr("Illegal file attribute (not a regular file)");
}

// True when the file begins with the archive magic.
bool StartsWithMagic(const std::string& path) {
    platform::FileHandle file = platform::OpenForRead(path);
    ArchiveHeader header;
    const bool archive =
        file != platform::kInvalidFile &&
        ReadArchiveHeader(file, &header, HeaderField::TypeText) != HeaderStatus::NotArchive;
    platform::CloseFile(file);
    return archive;
}

// True when the file could be read and does not begin with the archive magic.
bool ReadableNonArchive(const std::string& path) {
    platform::FileHandle file = platform::OpenForRead(path);
    if (file == platform::kInvalidFile) return false;
    ArchiveHeader header;
    const bool other =
        ReadArchiveHeader(file, &header, HeaderField::TypeText) == HeaderStatus::NotArchive;
    platform::CloseFile(file);
    return other;
}

// Whether a walk of `command` takes the file `path`: what the command is for.
bool WalkTakes(BatchCommand command, const std::string& path) {
    switch (command) {
        case BatchCommand::Compress:
            return !IsArchivePath(path);
        case BatchCommand::Expand:
            return IsArchivePath(path);
        case BatchCommand::Process:
            break;
    }
    return true;
}

// An absolute path without "." and ".." components or doubled slashes, worked out on its
// spelling (as the user gave it, links left as they are).
std::string LexicallyNormal(const std::string& absolute) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= absolute.size()) {
        size_t slash = absolute.find('/', at);
        if (slash == std::string::npos) slash = absolute.size();
        const std::string part = absolute.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string path;
    for (const std::string& part : parts) path += "/" + part;
    return path.empty() ? "/" : path;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Standard input as a batch item: a redirected file as it is, a pipe kept whole first.
BatchItem StandardInputItem(const PlanOptions& options) {
    BatchItem item;
    item.shownPath = kStandardInput;
    item.path = platform::PathOfOpenFile(options.standardInput);
    const platform::PathAttributes attributes = platform::QueryAttributes(item.path);
    if (attributes.isRegular) {
        item.size = attributes.size;
        return item;
    }
    item.legal = false;
    if (!attributes.exists) {
        const int error = errno;
        item.refusal = Say(
            [&] { return Format(Tr("-: can't read standard input: %s"), {std::strerror(error)}); });
        return item;
    }
    if (isatty(options.standardInput)) {
        item.refusal = Say([] {
            return Tr("-: standard input is a terminal: redirect a file or a pipe into kvn");
        });
        return item;
    }
    const std::string folder = platform::TemporaryFolder();
    const platform::FileHandle spool =
        platform::SpoolToUnnamedFile(options.standardInput, folder, options.spoolLimit);
    if (spool == platform::kInvalidFile) {
        const int error = errno;
        item.refusalTransient = IsMachineError(error);
        item.refusal = Say([&] {
            return Format(Tr("-: can't keep standard input in %s: %s"),
                          {Printable(folder), std::strerror(error)});
        });
        return item;
    }
    item.held = std::make_shared<const HeldFile>(spool);
    item.path = platform::PathOfOpenFile(spool);
    item.size = platform::QueryAttributes(item.path).size;
    item.legal = true;
    return item;
}

}  // namespace

std::string ShardSpelling(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(at, slash - at);
        if (part == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (part == ".." && absolute) {
            // The root's ".." is the root.
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string spelled = absolute ? "/" : "";
    for (const std::string& part : parts) {
        if (!spelled.empty() && spelled.back() != '/') spelled += '/';
        spelled += part;
    }
    return spelled.empty() ? "." : spelled;
}

uint32_t ShardOf(const std::string& path, uint32_t count) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : ShardSpelling(path)) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return count == 0 ? 0 : static_cast<uint32_t>(hash % count);
}

ListRead ReadPathList(platform::FileHandle file, bool nulSeparated, std::vector<std::string>* paths,
                      uint64_t* line) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> entries;
    ListRead verdict = ListRead::Ok;
    *line = 1;
    std::string entry;
    // Takes the entry that ends here; the first one the system could not open as it stands
    // refuses the list.
    const auto take = [&] {
        if (verdict == ListRead::Ok) {
            if (entry.find('\0') != std::string::npos) {
                verdict = ListRead::NulInLine;
            } else if (entry.size() >= PATH_MAX) {
                verdict = ListRead::TooLong;
            } else if (!entry.empty()) {
                // A list holds paths: "-" there is a file of that name, as tar and rsync take it.
                entries.push_back(entry == kStandardInput ? "./-" : entry);
            }
            if (verdict == ListRead::Ok) ++*line;
        }
        entry.clear();
    };
    char buffer[65536];
    for (;;) {
        const int64_t got = platform::ReadFull(file, buffer, sizeof buffer);
        if (got < 0) return ListRead::Unreadable;
        for (int64_t i = 0; i < got; ++i) {
            if (buffer[i] != separator) {
                entry.push_back(buffer[i]);
            } else {
                take();
            }
        }
        if (got == 0) break;
    }
    if (!entry.empty()) take();
    if (verdict != ListRead::Ok) return verdict;
    paths->insert(paths->end(), entries.begin(), entries.end());
    return ListRead::Ok;
}

std::vector<BatchItem> CollectItems(const std::vector<std::string>& inputs,
                                    const PlanOptions& options) {
    InsideFolder insideOutput(
        options.outputFolder.empty() ? "" : platform::MakeAbsolute(options.outputFolder));
    const bool baseGiven = !options.base.empty();
    const std::string base =
        LexicallyNormal(platform::MakeAbsolute(baseGiven ? options.base : "."));
    // -r keeps a file's folder below the base; one that lies elsewhere has none to keep. The
    // base is found on the file's path by identity, so either may be named through a link.
    BaseFolder baseFolder(base);
    const auto placeBelowBase = [&](BatchItem& item) {
        if (!item.legal || baseFolder.FolderOf(LexicallyNormal(item.path), &item.relativeFolder)) {
            return;
        }
        item.legal = false;
        item.refusal = Say([&] {
            return Format(Tr("%s: not below the base folder %s, so -r has no path to keep for it "
                             "(see --base)"),
                          {Printable(item.shownPath), Printable(base)});
        });
    };
    std::vector<BatchItem> items;
    for (const std::string& given : inputs) {
        if (given == kStandardInput) {
            items.push_back(StandardInputItem(options));
            continue;
        }
        // The same joining as the walk's: the walked paths begin with this.
        const std::string prefix = !given.empty() && given.back() != '/' ? given + "/" : given;
        // Results asked for among their sources: the output folder is the walked one or holds it.
        const bool outputHoldsWalk = insideOutput(platform::MakeAbsolute(given));
        WalkInput(given, [&](const std::string& found, InputKind kind) {
            BatchItem item;
            item.shownPath = found;
            item.path = platform::MakeAbsolute(found);
            const bool walked = found != given;
            if (walked) {
                std::string name, folder;
                SplitPath(item.path, &name, &folder);
                if (!outputHoldsWalk && insideOutput(folder)) return;
                if (kind == InputKind::File && !WalkTakes(options.command, found)) {
                    // A file named like an archive that is none is no result of kvn's: it is
                    // left out, but not silently.
                    if (options.command != BatchCommand::Compress ||
                        !ReadableNonArchive(item.path)) {
                        return;
                    }
                    item.skip = Say([&] {
                        return Format(Tr("%s: named like an archive, but it is none; left out "
                                         "(name it on its own to compress it)"),
                                      {Printable(found)});
                    });
                }
                SplitPath(found.substr(prefix.size()), &name, &item.relativeFolder);
            }
            item.legal = kind == InputKind::File;
            if (item.legal) item.size = platform::QueryAttributes(found).size;
            if (options.keepTree && (baseGiven || !walked)) placeBelowBase(item);
            items.push_back(std::move(item));
        });
    }
    if (options.shardCount > 0) {
        std::erase_if(items, [&](const BatchItem& item) {
            return ShardOf(item.shownPath, options.shardCount) + 1 != options.shardIndex;
        });
    }
    return items;
}

Planner::Planner(const PlanOptions& options, Console& console)
    : options_(options), console_(console), preparer_(options.leftoverAgeSeconds) {
    standardOutputKnown_ = platform::StatusOf(options.standardOutput, &standardOutput_);
    if (!options.outputFolder.empty()) outputFolder_ = platform::MakeAbsolute(options.outputFolder);
}

void Planner::TakeInputs(std::vector<BatchItem>* items) {
    // A name is its folder (by identity) and its last component.
    using NameKey = std::tuple<uint64_t, uint64_t, std::string>;
    const auto nameOf = [](const std::string& path, NameKey* key) {
        std::string name, folder;
        SplitPath(path, &name, &folder);
        platform::FileStatus status;
        if (!platform::StatusOfPath(folder.empty() ? "/" : folder, &status)) return false;
        *key = {status.device, status.inode, name};
        return true;
    };
    struct FirstName {
        NameKey key;
        bool keyKnown = false;
        std::string shown;
    };
    std::map<std::pair<uint64_t, uint64_t>, FirstName> firstNames;
    std::vector<BatchItem> kept;
    kept.reserve(items->size());
    for (BatchItem& item : *items) {
        platform::FileStatus file;
        if (!item.legal || !item.skip.local.empty() || !platform::StatusOfPath(item.path, &file)) {
            kept.push_back(std::move(item));
            continue;
        }
        FirstName name;
        name.keyKnown = nameOf(item.path, &name.key);
        name.shown = item.shownPath;
        if (preparer_.AddInput(item.path)) {
            firstNames.emplace(std::make_pair(file.device, file.inode), std::move(name));
            kept.push_back(std::move(item));
            continue;
        }
        const auto first = firstNames.find({file.device, file.inode});
        if (first == firstNames.end() ||
            (name.keyKnown && first->second.keyKnown && name.key == first->second.key)) {
            continue;  // the same name spelled again
        }
        const std::string firstShown = Printable(first->second.shown);
        item.skip = Say([&] {
            return Format(Tr("%s: another name of %s, which this batch takes already; left out"),
                          {Printable(item.shownPath), firstShown});
        });
        kept.push_back(std::move(item));
    }
    *items = std::move(kept);
}

std::vector<std::string> Planner::InputsOnStandardOutput(const std::vector<BatchItem>& items) {
    std::vector<std::string> shown;
    platform::FileStatus input;
    for (const BatchItem& item : items) {
        if (standardOutputKnown_ && item.legal && platform::StatusOfPath(item.path, &input) &&
            input.SameFile(standardOutput_)) {
            shown.push_back(Printable(item.shownPath));
        }
    }
    return shown;
}

void Planner::Refuse(BatchItem& item, const Said& message) {
    item.outcome.result = ItemResult::Failed;
    item.outcome.action = "ERROR";
    item.outcome.problem = true;
    item.outcome.messages.push_back(message);
}

std::string Planner::ResultFolder(const PreparedJob& job) {
    const BatchItem& item = *current_;
    std::string folder;
    if (outputFolder_.empty()) {
        std::string sourceName, sourceFolder;
        SplitPath(job.sourcePath, &sourceName, &sourceFolder);
        folder = DestinationFolder(true, sourceFolder, "");
        std::string shownName, shownSourceFolder;
        SplitPath(item.shownPath, &shownName, &shownSourceFolder);
        shownFolder_ = item.shownPath.find('/') == std::string::npos ? ""
                       : shownSourceFolder.empty()                   ? "/"
                                                                     : shownSourceFolder + "/";
    } else {
        folder = DestinationFolder(false, "", outputFolder_);
        shownFolder_ = DestinationFolder(false, "", WithoutTrailingSlashes(options_.outputFolder));
        if (options_.keepTree && !item.relativeFolder.empty()) {
            folder += item.relativeFolder + "/";
            shownFolder_ += item.relativeFolder + "/";
        }
    }
    return folder;
}

int Planner::MirroredFolderLevels(const PreparedJob&) {
    // -r -o: the folders below the output folder are the source's folders below its base.
    const std::string& relative = current_->relativeFolder;
    if (outputFolder_.empty() || !options_.keepTree || relative.empty()) return 0;
    return 1 + static_cast<int>(std::count(relative.begin(), relative.end(), '/'));
}

bool Planner::KeepsExistingResults() {
    return options_.overwrite == OverwritePolicy::NoClobber;
}

PrepareHost::Existing Planner::DecideExisting(const PreparedJob& job) {
    // An archive of another file (Kick.kvn holding Kick.aiff, when Kick.wav is compressed) is
    // replaced only by --replace-any or an answer given for it.
    const bool otherFile = !job.existingHolds.empty() && !options_.replaceAny;
    switch (options_.overwrite) {
        case OverwritePolicy::Force:
            if (!otherFile) return Existing::Replace;
            if (!answeredAll_) return Existing::Refuse;
            break;
        case OverwritePolicy::NoClobber:
            return Existing::Keep;
        case OverwritePolicy::Ask:
            break;
    }
    if (!console_.CanAsk()) return Existing::Refuse;
    std::string name, folder;
    SplitPath(job.destinationPath, &name, &folder);
    switch (console_.AskOverwrite(Printable(shownFolder_ + name), Printable(job.existingHolds))) {
        case OverwriteAnswer::All:
            options_.overwrite = OverwritePolicy::Force;
            answeredAll_ = true;
            [[fallthrough]];
        case OverwriteAnswer::Yes:
            return Existing::Replace;
        case OverwriteAnswer::No:
            return Existing::Keep;
        case OverwriteAnswer::Cancel:
            break;
    }
    return Existing::Cancel;
}

std::string Planner::RefusalText(const BatchItem& item, const PrepareResult& result) const {
    const std::string shown = Printable(item.shownPath);
    const std::string& to = item.shownDestination;
    const std::string why = std::strerror(result.error);
    switch (result.status) {
        case PrepareStatus::Ready:
        case PrepareStatus::Skipped:
        case PrepareStatus::Cancelled:
            break;
        case PrepareStatus::SourceUnopenable:
            return Format(
                Tr("Can't open file: %s: %s"),
                {shown,
                 result.error == EWOULDBLOCK ? std::string(Tr("in use by another program")) : why});
        case PrepareStatus::HeaderUnreadable:
            return Format(Tr("Can't read file: %s: %s"), {shown, why});
        case PrepareStatus::NotArchive:
            return Format(Tr("%s: Bad file format"), {shown});
        case PrepareStatus::HeaderTruncated:
            return Format(Tr("%s: Bad file format (truncated header)"), {shown});
        case PrepareStatus::UnsafeTypeText:
            return Format(Tr("%s: Bad file format (unsafe type text)"), {shown});
        case PrepareStatus::TypeTextTooLong:
            return Format(Tr("%s: the extension is longer than 255 bytes"), {shown});
        case PrepareStatus::NoResultFolder:
            return Format(Tr("%s: no folder for the result"), {shown});
        case PrepareStatus::ResultTaken:
            return Format(Tr("%s: another file of this batch already goes to %s"), {shown, to});
        case PrepareStatus::ResultIsInput:
            return Format(Tr("%s: the result %s is also an input of this batch; left alone"),
                          {shown, to});
        case PrepareStatus::ResultIsFolder:
            return Format(Tr("Can't create file %s: it is a folder"), {to});
        case PrepareStatus::ResultIsSource:
            return Format(Tr("Can't create file %s: it is the source itself"), {to});
        case PrepareStatus::Refused:
            if (!item.job.existingHolds.empty()) {
                return Format(Tr("File already exists: %s holds another file, %s (use "
                                 "--replace-any to replace it or -n to skip); failed"),
                              {to, Printable(item.job.existingHolds)});
            }
            return Format(Tr("File already exists: %s (use -f to overwrite or -n to skip); "
                             "failed"),
                          {to});
        case PrepareStatus::CreateFailed:
            return Format(Tr("Can't create file %s: %s"), {to, why});
    }
    return "";
}

void Planner::Tell(BatchItem& item, const PrepareResult& result) {
    // A file another program holds, or a failure of the machine's, may pass on another run.
    item.outcome.transient = (result.status == PrepareStatus::SourceUnopenable ||
                              result.status == PrepareStatus::HeaderUnreadable ||
                              result.status == PrepareStatus::CreateFailed) &&
                             IsMachineError(result.error);
    switch (result.status) {
        case PrepareStatus::Ready:
            return;
        case PrepareStatus::Skipped:
            item.outcome.result = ItemResult::Skipped;
            item.outcome.action = "skipped";
            return;
        case PrepareStatus::Cancelled:
            cancelled_ = true;
            item.outcome.result = ItemResult::Canceled;
            item.outcome.action = "canceled";
            item.outcome.problem = true;
            return;
        default:
            Refuse(item, Say([&] { return RefusalText(item, result); }));
            return;
    }
}

bool Planner::Prepare(BatchItem& item) {
    const std::string shown = Printable(item.shownPath);
    if (!item.skip.local.empty()) {
        item.outcome.result = ItemResult::Skipped;
        item.outcome.action = "skipped";
        item.outcome.messages.push_back(item.skip);
        return false;
    }
    if (!item.legal && !item.refusal.local.empty()) {
        Refuse(item, item.refusal);
        item.outcome.transient = item.refusalTransient;
        return false;
    }
    if (!item.legal) {
        const platform::PathAttributes attributes = platform::QueryAttributes(item.path);
        const bool there = attributes.exists || platform::IsLink(item.path);
        Refuse(item, Say([&] {
                   const std::string reason = IllegalReason(item.path);
                   return there ? Format(Tr("Can't add this file: %s: %s"), {shown, reason})
                                : Format(Tr("%s: %s"), {shown, reason});
               }));
        return false;
    }
    JobKind kind = options_.command == BatchCommand::Compress ? JobKind::Compress
                   : options_.command == BatchCommand::Expand ? JobKind::Expand
                                                              : JobKind::ByName;
    // Standard input has no name to tell an archive by: its magic tells.
    if (kind == JobKind::ByName && item.shownPath == kStandardInput) {
        kind = StartsWithMagic(item.path) ? JobKind::Expand : JobKind::Compress;
    }
    current_ = &item;
    shownFolder_.clear();
    const PrepareResult result = options_.toStdout
                                     ? preparer_.PrepareStream(item.path, kind, options_.typeText,
                                                               options_.standardOutput, &item.job)
                                     : preparer_.Prepare(item.path, kind, *this, &item.job);
    current_ = nullptr;
    if (options_.toStdout) item.shownDestination = Tr("standard output");
    if (!item.job.destinationPath.empty()) {
        std::string name, folder;
        SplitPath(item.job.destinationPath, &name, &folder);
        item.shownDestination = Printable(shownFolder_ + name);
    }
    Tell(item, result);
    return result.status == PrepareStatus::Ready;
}

}  // namespace kavrin::cli
