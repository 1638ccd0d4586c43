#include "cli/BatchPlan.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "cli/Display.h"
#include "engine/ArchiveFormat.h"
#include "jobs/Destination.h"
#include "jobs/InputWalk.h"
#include "jobs/Leftovers.h"
#include "jobs/Naming.h"

namespace kavrin::cli {
namespace {

constexpr uint64_t kLargestSource = 0xFFFFFFFFull;

std::string Reason() {
    return std::strerror(errno);
}

bool IsBelow(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    if (folder == "/") return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

// Why the queue's rules refuse a path.
std::string IllegalReason(const std::string& path) {
    platform::PathAttributes attributes = platform::QueryAttributes(path);
    if (!attributes.exists) {
        return platform::IsLink(path) ? "Illegal file attribute (a link that leads nowhere)"
                                      : "no such file or folder";
    }
    if (attributes.isHidden) return "Illegal file attribute (hidden)";
    return "Illegal file attribute (not a regular file)";
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::vector<BatchItem> CollectItems(const std::vector<std::string>& inputs,
                                    const PlanOptions& options) {
    const std::string output =
        options.outputFolder.empty() ? "" : platform::MakeAbsolute(options.outputFolder);
    std::vector<BatchItem> items;
    for (const std::string& given : inputs) {
        // The same joining as the walk's: the walked paths begin with this.
        const std::string prefix = !given.empty() && given.back() != '/' ? given + "/" : given;
        WalkInput(given, [&](const std::string& found, InputKind kind) {
            BatchItem item;
            item.shownPath = found;
            item.path = platform::MakeAbsolute(found);
            const bool walked = found != given;
            if (walked) {
                if (IsBelow(item.path, output)) return;
                std::string name;
                SplitPath(found.substr(prefix.size()), &name, &item.relativeFolder);
            }
            item.legal = kind == InputKind::File;
            if (item.legal) item.size = platform::QueryAttributes(found).size;
            items.push_back(std::move(item));
        });
    }
    return items;
}

Planner::Planner(const PlanOptions& options, const std::vector<BatchItem>& items, Console& console)
    : options_(options), console_(console) {
    if (!options.outputFolder.empty()) outputFolder_ = platform::MakeAbsolute(options.outputFolder);
    for (const BatchItem& item : items) {
        if (item.legal) sources_.insert(item.path);
    }
}

void Planner::Refuse(BatchItem& item, const std::string& message) {
    platform::CloseFile(item.source);
    item.outcome.result = ItemResult::Failed;
    item.outcome.action = "ERROR";
    item.outcome.problem = true;
    item.outcome.messages.push_back(message);
}

void Planner::Skip(BatchItem& item) {
    platform::CloseFile(item.source);
    item.outcome.result = ItemResult::Skipped;
    item.outcome.action = "skipped";
}

bool Planner::NameResult(BatchItem& item, std::string* folder, std::string* shownFolder,
                         std::string* name) {
    const std::string shown = Printable(item.shownPath);
    if (item.expand) {
        ArchiveHeader header;
        HeaderStatus status = ReadArchiveHeader(item.source, &header, HeaderField::TypeText);
        std::string sourceName, sourceFolder;
        SplitPath(item.path, &sourceName, &sourceFolder);
        bool named =
            status == HeaderStatus::Ok && NameForExpansion(sourceName, header.typeText, name);
        if (status == HeaderStatus::ReadError) {
            Refuse(item, "Can't read file: " + shown + ": " + Reason());
            return false;
        }
        if (!named || !platform::SeekTo(item.source, 0)) {
            std::string detail = status == HeaderStatus::Truncated ? " (truncated header)"
                                 : status == HeaderStatus::Ok      ? " (unsafe type text)"
                                                                   : "";
            Refuse(item, shown + ": Bad file format" + detail);
            return false;
        }
    } else {
        uint64_t size = 0;
        if (platform::GetFileSize(item.source, &size) && size > kLargestSource) {
            Refuse(item, shown + ": too large: archives hold files below 4 GiB");
            return false;
        }
        std::string sourceName, sourceFolder;
        SplitPath(item.path, &sourceName, &sourceFolder);
        if (!NameForCompression(sourceName, name, &item.typeText)) {
            Refuse(item, shown + ": the extension is longer than 255 bytes");
            return false;
        }
    }

    if (outputFolder_.empty()) {
        std::string sourceName, sourceFolder;
        SplitPath(item.path, &sourceName, &sourceFolder);
        *folder = DestinationFolder(true, sourceFolder, "");
        std::string shownName, shownSourceFolder;
        SplitPath(item.shownPath, &shownName, &shownSourceFolder);
        *shownFolder = item.shownPath.find('/') == std::string::npos ? ""
                       : shownSourceFolder.empty()                   ? "/"
                                                                     : shownSourceFolder + "/";
    } else {
        *folder = DestinationFolder(false, "", outputFolder_);
        *shownFolder = DestinationFolder(false, "", WithoutTrailingSlashes(options_.outputFolder));
        if (options_.keepTree && !item.relativeFolder.empty()) {
            *folder += item.relativeFolder + "/";
            *shownFolder += item.relativeFolder + "/";
        }
    }
    return true;
}

bool Planner::ResolveExisting(BatchItem& item, const std::string& shownDestination) {
    platform::PathAttributes existing = platform::QueryAttributes(item.destinationPath);
    item.disposition = Disposition::CreateNew;
    if (!existing.exists) return true;
    if (existing.isFolder) {
        Refuse(item, "Can't create file " + shownDestination + ": it is a folder");
        return false;
    }
    if (platform::IsSameFile(item.source, item.destinationPath)) {
        Refuse(item, "Can't create file " + shownDestination + ": it is the source itself");
        return false;
    }
    switch (options_.overwrite) {
        case OverwritePolicy::Force:
            item.disposition = Disposition::CreateAlways;
            return true;
        case OverwritePolicy::NoClobber:
            Skip(item);
            return false;
        case OverwritePolicy::Ask:
            break;
    }
    if (!console_.CanAsk()) {
        Refuse(item, "File already exists: " + shownDestination +
                         " (use -f to overwrite or -n to skip); skipped");
        return false;
    }
    switch (console_.AskOverwrite(shownDestination)) {
        case OverwriteAnswer::All:
            options_.overwrite = OverwritePolicy::Force;
            [[fallthrough]];
        case OverwriteAnswer::Yes:
            item.disposition = Disposition::CreateAlways;
            return true;
        case OverwriteAnswer::No:
            Skip(item);
            return false;
        case OverwriteAnswer::Cancel:
            break;
    }
    platform::CloseFile(item.source);
    cancelled_ = true;
    item.outcome.result = ItemResult::Canceled;
    item.outcome.action = "canceled";
    item.outcome.problem = true;
    return false;
}

bool Planner::Prepare(BatchItem& item) {
    const std::string shown = Printable(item.shownPath);
    if (!item.legal) {
        std::string reason = IllegalReason(item.path);
        Refuse(item, reason.rfind("Illegal", 0) == 0
                         ? "Can't add this file: " + shown + ": " + reason
                         : shown + ": " + reason);
        return false;
    }
    item.source = platform::OpenForRead(item.path);
    if (item.source == platform::kInvalidFile) {
        std::string why = errno == EWOULDBLOCK ? "in use by another program" : Reason();
        Refuse(item, "Can't open file: " + shown + ": " + why);
        return false;
    }
    item.stamped = platform::ReadFileStamp(item.source, &item.stamp);
    item.expand = options_.command == BatchCommand::Expand ||
                  (options_.command == BatchCommand::Process && IsArchivePath(item.path));

    std::string folder, shownFolder, name;
    if (!NameResult(item, &folder, &shownFolder, &name)) return false;
    item.destinationPath = folder + name;
    const std::string shownDestination = Printable(shownFolder + name);

    // Two files of one batch never write the same result, and no result replaces a file the
    // batch reads: either would lose data whatever order the jobs ran in. With -n an existing
    // result is skipped first, so a batch run again over its own results goes through cleanly.
    if (claimed_.count(item.destinationPath)) {
        Refuse(item, shown + ": another file of this batch already goes to " + shownDestination);
        return false;
    }
    if (options_.overwrite == OverwritePolicy::NoClobber &&
        platform::QueryAttributes(item.destinationPath).exists) {
        Skip(item);
        return false;
    }
    if (item.destinationPath != item.path && sources_.count(item.destinationPath)) {
        Refuse(item, shown + ": the result " + shownDestination +
                         " is also an input of this batch; left alone");
        return false;
    }
    if (!ResolveExisting(item, shownDestination)) return false;

    // Leftovers of killed runs go before this run writes into the folder for the first time.
    std::string folderPath = WithoutTrailingSlashes(folder);
    if (cleanedFolders_.insert(folderPath).second) {
        RemoveLeftovers(folderPath, static_cast<int64_t>(std::time(nullptr)),
                        options_.leftoverAgeSeconds);
    }

    if (!CreateDestinationFile(item.destinationPath, item.disposition, item.source,
                               &item.destination)) {
        std::string why = errno == EINVAL ? "it is the source itself" : Reason();
        Refuse(item, "Can't create file " + shownDestination + ": " + why);
        return false;
    }
    claimed_.insert(item.destinationPath);
    return true;
}

}  // namespace kavrin::cli
