// SPDX-License-Identifier: MIT
#include "cli/MountCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Display.h"
#include "cli/Interrupt.h"
#include "cli/TerminalObserver.h"
#include "cli/Translate.h"
#include "engine/Engine.h"
#include "jobs/InputWalk.h"
#include "jobs/Naming.h"
#include "mount/ArchiveLibrary.h"
#include "mount/FuseMount.h"
#include "mount/ViewTree.h"
#include "platform/File.h"

namespace kavrin::cli {
namespace {

// Below this restored size and this archive size an archive never has enough spans (a block
// restores at least about 720 000 bytes; small streams are gathered by 64 KiB of payload) for
// its index to be kept: it is indexed when it is opened.
constexpr uint64_t kIndexAheadFrom = 3 * 720000;
constexpr uint64_t kIndexAheadFromPayload = 3 * kSpanPayloadBytes;
constexpr uint64_t kMinCache = 1 << 20;

void Message(const std::string& text) {
    std::fprintf(stderr, "kvn: %s\n", text.c_str());
}

int IndexAhead(const MountRequest& request, uint32_t threads) {
    struct Found {
        std::string path;
        std::string name;
    };
    std::vector<Found> archives;
    InputWalker walker(request.folder);
    std::string path;
    InputKind kind;
    while (walker.Next(&path, &kind)) {
        if (kind != InputKind::File) continue;
        std::string name, folder, restored;
        SplitPath(path, &name, &folder);
        uint64_t size = 0;
        if (ReadRestoredName(folder, name, &restored, &size) == Shown::Restored &&
            (size >= kIndexAheadFrom ||
             platform::QueryAttributes(path).size >= kIndexAheadFromPayload)) {
            archives.push_back({path, name});
        }
        if (Interrupted()) return InterruptedStatus();
    }
    LibraryOptions options;
    options.threads = threads;
    options.indexFolder = IndexStore::DefaultFolder();
    if (options.indexFolder.empty()) {
        Message(Tr("no folder for indexes: set HOME or XDG_CACHE_HOME"));
        return kExitFailed;
    }
    ArchiveLibrary library(options);
    int status = kExitOk;
    size_t built = 0, failed = 0;
    for (size_t i = 0; i < archives.size(); ++i) {
        char counter[48];
        std::snprintf(counter, sizeof counter, "[%zu/%zu] ", i + 1, archives.size());
        TerminalObserver observer(counter + Printable(archives[i].name), request.progress);
        bool wasBuilt = false;
        std::string why;
        const bool ok = library.EnsureStored(archives[i].path, observer, &wasBuilt, &why);
        observer.Clear();
        if (Interrupted()) return InterruptedStatus();
        if (!ok) {
            Message(Format(Tr("%s: can't be indexed: %s"), {Printable(archives[i].path), why}));
            status = kExitFailed;
            ++failed;
        } else if (wasBuilt) {
            ++built;
        }
    }
    std::printf(
        "%s\n",
        Format(Tr("%s archives to index: %s indexed now, %s already indexed, %s failed (%s)"),
               {std::to_string(archives.size()), std::to_string(built),
                std::to_string(archives.size() - built - failed), std::to_string(failed),
                Printable(options.indexFolder)})
            .c_str());
    return status;
}

}  // namespace

bool ParseCacheSize(const std::string& text, uint64_t* bytes) {
    size_t used = 0;
    unsigned long long number = 0;
    try {
        number = std::stoull(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    if (text[0] == '-' || text[0] == '+') return false;
    std::string unit = text.substr(used);
    for (char& c : unit) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    int shift = 0;
    if (unit == "" || unit == "B") {
        shift = 0;
    } else if (unit == "K" || unit == "KB" || unit == "KIB") {
        shift = 10;
    } else if (unit == "M" || unit == "MB" || unit == "MIB") {
        shift = 20;
    } else if (unit == "G" || unit == "GB" || unit == "GIB") {
        shift = 30;
    } else {
        return false;
    }
    if (number > (~0ull >> shift)) return false;
    *bytes = static_cast<uint64_t>(number) << shift;
    return true;
}

int RunMountCommand(const MountRequest& request) {
    const uint32_t threads = request.threads != 0 ? request.threads : DefaultEngineThreads();
    platform::PathAttributes folder = platform::QueryAttributes(request.folder);
    if (!folder.exists || !folder.isFolder) {
        Message(Format(Tr("%s: not a folder"), {Printable(request.folder)}));
        return kExitFailed;
    }
    if (request.indexOnly) return IndexAhead(request, threads);

    MountOptions options;
    options.folder = request.folder;
    options.mountPoint = request.mountPoint;
    options.foreground = request.foreground;
    options.threads = threads;
    options.cacheBytes = kDefaultCacheBytes;
    options.indexFolder = IndexStore::DefaultFolder();
    for (const std::string& list : request.options) {
        std::stringstream items(list);
        std::string item;
        while (std::getline(items, item, ',')) {
            if (item.rfind("cache=", 0) == 0) {
                if (!ParseCacheSize(item.substr(6), &options.cacheBytes) ||
                    options.cacheBytes < kMinCache) {
                    Message(Format(Tr("bad cache size: %s (at least 1M, as 64M or 1G)"),
                                   {item.substr(6)}));
                    return kExitUsage;
                }
            } else if (!item.empty()) {
                options.fuseOptions.push_back(item);
            }
        }
    }
    platform::PathAttributes point = platform::QueryAttributes(request.mountPoint);
    if (!point.exists || !point.isFolder) {
        Message(Format(Tr("%s: not a folder to mount on"), {Printable(request.mountPoint)}));
        return kExitFailed;
    }
    // The view reads the folder through its path: a mount over it, or inside it, would have it
    // read itself.
    if (platform::IsSameOrInside(request.mountPoint, request.folder) ||
        platform::IsSameOrInside(request.folder, request.mountPoint)) {
        Message(Format(Tr("the mount point must lie outside %s, and the folder outside the mount "
                          "point"),
                       {Printable(request.folder)}));
        return kExitFailed;
    }
    return RunMount(options);
}

int RunUmountCommand(const std::string& mountPoint) {
    return RunUnmount(mountPoint);
}

}  // namespace kavrin::cli
