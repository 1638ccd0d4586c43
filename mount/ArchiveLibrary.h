// The shared heart of `kvn mount`, free of FUSE: opens archives with their indexes and serves
// reads of their restored bytes to many threads at once.
//
// - Indexes: on the first open of an archive version its index comes from memory, from the
//   index folder (IndexStore.h), or is built (IndexBuilder.h); builds run one at a time, each on
//   every core, and an open of an archive being indexed waits for that build. A failed build is
//   remembered for that version: the archive still opens, and every read of it gives EIO.
// - Reads decode only the blocks they touch, through a cache of decoded blocks bounded in bytes
//   and shared by every archive; a block being decoded is waited for, never decoded twice. A
//   block larger than half the cache is decoded for each read and not kept.
// - Memory: the cache's bound also covers the working memory of an index build while it runs
//   (the cache gives up blocks for it).
// - Read-ahead: a read that goes on where the last one on the archive ended has the next blocks
//   decoded by the library's own threads.
// - Faults: every read checks that the archive is still the version opened (through its
//   descriptor and its path); otherwise, and for a damaged block, the read gives EIO and one
//   line goes to the log, while the rest of the archive and every other one keep working.
//
// Threads: every public function may be called from any thread at once. The destructor stops
// builds in progress and joins the read-ahead threads; no call may be running then.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/EngineObserver.h"
#include "mount/ArchiveIndex.h"
#include "mount/BlockDecode.h"
#include "mount/IndexStore.h"
#include "platform/PageBuffer.h"

namespace kavrin {

inline constexpr uint64_t kDefaultCacheBytes = 64ull << 20;

struct LibraryOptions {
    uint64_t cacheBytes = kDefaultCacheBytes;     // decoded blocks kept, at most
    uint32_t threads = 2;                         // decoders, read-ahead threads and build threads
    std::string indexFolder;                      // empty: indexes are kept in memory only
    std::function<void(const std::string&)> log;  // one line per fault; any thread
};

// One open archive, shared by every handle open on it.
struct OpenArchive {
    std::string path;
    platform::FileHandle file = platform::kInvalidFile;
    platform::FileVersion version;
    std::shared_ptr<const ArchiveIndex> index;  // null when the archive could not be indexed
    std::atomic<uint64_t> lastEnd{0};           // where the last read ended, for read-ahead
    ~OpenArchive();
};

// An order of versions, to key maps with them.
struct VersionLess {
    bool operator()(const platform::FileVersion& a, const platform::FileVersion& b) const;
};

class ArchiveLibrary {
public:
    explicit ArchiveLibrary(LibraryOptions options);
    ~ArchiveLibrary();
    ArchiveLibrary(const ArchiveLibrary&) = delete;
    ArchiveLibrary& operator=(const ArchiveLibrary&) = delete;

    // Opens the archive at `path` (a regular file with the archive magic) for reading its
    // restored bytes. Null with `*error` an errno value when it cannot be opened at all.
    std::shared_ptr<OpenArchive> Open(const std::string& path, int* error);

    // Reads restored bytes [offset, offset + length) into `out`: the bytes read (fewer only at
    // the end of the file), or -EIO.
    int64_t Read(const std::shared_ptr<OpenArchive>& archive, uint8_t* out, size_t length,
                 uint64_t offset);

    // Ends builds in progress (they fail as "stopped"); later opens build nothing.
    void Stop() { stopping_ = true; }

    // For `kvn mount --index`: makes sure the index folder holds a sound index of the archive
    // version at `path` when it is large enough to be kept. Returns false with `why` when it
    // could not be indexed. `observer` sees the build's progress and can stop it.
    bool EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                      std::string* why);

    // What the cache holds now, in bytes (for tests).
    uint64_t CachedBytes();

private:
    struct BlockKey {
        platform::FileVersion version;
        size_t block;
        bool operator<(const BlockKey& other) const;
    };
    struct CacheEntry {
        bool ready = false;
        bool failed = false;
        // In pages of its own, so that a dropped block goes back to the system at once.
        platform::PageBuffer bytes;
        uint64_t charge = 0;
        std::list<BlockKey>::iterator lru;  // valid once ready
    };
    struct IndexEntry {
        bool building = true;
        std::shared_ptr<const ArchiveIndex> index;
        std::string failure;
    };
    class BuildObserver;

    std::shared_ptr<const ArchiveIndex> IndexFor(const std::string& path,
                                                 const platform::FileVersion& version,
                                                 EngineObserver* observer, std::string* why,
                                                 bool* built);
    // Puts the blocks that `restored` (the file's start) holds into the cache.
    void KeepRestored(const platform::FileVersion& version, const ArchiveIndex& index,
                      const std::vector<uint8_t>& restored);
    // Block `j`'s restored bytes, from the cache or decoded now; null when it fails. Without
    // `wait`, a block another thread is decoding is returned at once, not yet ready (for
    // read-ahead, which only has to get it going).
    std::shared_ptr<CacheEntry> Block(OpenArchive& archive, size_t j, bool wait = true);
    void Evict(std::unique_lock<std::mutex>& lock, uint64_t room);
    void ReadAhead(const std::shared_ptr<OpenArchive>& archive, size_t next);
    void ReadAheadWorker();
    BlockDecoder* TakeDecoder();
    void GiveDecoder(BlockDecoder* decoder);
    void LogOnce(const std::string& key, const std::string& line);

    LibraryOptions options_;
    IndexStore store_;
    std::atomic<bool> stopping_{false};

    std::mutex indexMutex_;
    std::condition_variable indexChanged_;
    std::map<platform::FileVersion, std::shared_ptr<IndexEntry>, VersionLess> indexes_;
    std::deque<platform::FileVersion> indexOrder_;  // oldest first, for forgetting
    std::mutex buildMutex_;                         // one build at a time

    std::mutex cacheMutex_;
    std::condition_variable blockReady_;
    std::map<BlockKey, std::shared_ptr<CacheEntry>> cache_;
    std::list<BlockKey> lru_;  // ready entries, most recent first
    uint64_t cached_ = 0;      // charges of every entry in cache_
    uint64_t reserved_ = 0;    // taken from the cache by an index build in progress

    std::mutex decoderMutex_;
    std::condition_variable decoderFree_;
    std::vector<std::unique_ptr<BlockDecoder>> decoders_;
    std::vector<BlockDecoder*> freeDecoders_;

    std::mutex aheadMutex_;
    std::condition_variable aheadWake_;
    std::deque<std::pair<std::weak_ptr<OpenArchive>, size_t>> aheadQueue_;
    bool aheadStop_ = false;
    std::vector<std::thread> aheadThreads_;

    std::mutex logMutex_;
    std::set<std::string> logged_;
};

// Whether an open archive's file still is the version it was opened as.
bool StillTheSame(const OpenArchive& archive);

}  // namespace kavrin
