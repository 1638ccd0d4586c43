// SPDX-License-Identifier: MIT
// The shared heart of `kvn mount`, free of FUSE: opens archives with their indexes and serves
// reads of their restored bytes to many threads at once.
//
// - Opening: the archive's header is read from the archive itself; its index comes from
//   memory, from the index folder (IndexStore.h: used only when the header agrees with it), or
//   is built (IndexBuilder.h). An archive that fails its checks cannot be opened (EIO), and that
//   failure is remembered for its version; a failure of the machine (descriptors, memory, a read
//   error) is not: it is reported with its own errno and the next open tries again.
// - Builds: an archive that restores little is walked at once on the opener's thread; a larger
//   one gets the engine's parallel pass when no other pass runs and its memory fits, and is
//   walked otherwise, so no open waits for another archive's build (only, when memory is short,
//   for room). Opens of an archive being indexed wait for its build; a build that no opener
//   waits for any more (each was interrupted) stops, and the next open builds it again.
// - Reads decode only the spans they touch, through a cache of decoded spans bounded in bytes
//   and shared by every archive; a span being decoded is waited for, never decoded twice. A
//   span that restores far more than it holds is kept compact (SpanForm.h), so every read's
//   work is bounded by what it returns plus a constant, whatever an archive holds.
// - A kept index is a cache, never the truth: the restored bytes each span ends with are checked
//   against the next span's lead whenever both are known, and a span that fails through a kept
//   index has the index built again once before the archive is called damaged.
// - Memory: the cache's bound covers the decoded spans, the decoders' working memory, the
//   working memory of builds in progress and the indexes held in memory, for any thread count.
// - Read-ahead: a read that goes on where the last one on the archive ended has the next spans
//   decoded by the library's own threads.
// - Faults: every read checks that the archive is still the version opened (through its
//   descriptor and its path); otherwise, and for a damaged span, the read gives EIO and one
//   line goes to the log, while every other archive keeps working.
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
#include <vector>

#include "engine/EngineObserver.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/ArchiveIndex.h"
#include "mount/BlockDecode.h"
#include "mount/IndexStore.h"
#include "mount/SpanForm.h"

namespace kavrin {

inline constexpr uint64_t kDefaultCacheBytes = 64ull << 20;

struct LibraryOptions {
    uint64_t cacheBytes = kDefaultCacheBytes;     // decoded spans and working memory, at most
    uint32_t threads = 2;                         // decoders, read-ahead threads and build threads
    std::string indexFolder;                      // empty: indexes are kept in memory only
    std::function<void(const std::string&)> log;  // one line per fault; any thread
};

// What the library knows of one version of an archive, shared by every open of it.
struct ArchiveState {
    std::mutex mutex;  // guards every field below (`waiting` is atomic besides)
    std::condition_variable changed;
    bool building = true;
    std::shared_ptr<const ArchiveIndex> index;  // null while building, or when it failed
    uint64_t generation = 0;                    // which index: spans are cached under it
    bool fromStore = false;                     // loaded from the index folder
    bool rebuilt = false;                       // built again after a failure through it
    std::string failure;                        // damage in the archive, remembered
    int systemError = 0;                        // the last build's failure of the machine
    std::atomic<int> waiting{0};                // opens waiting for its build
    // The restored bytes each span ends with, once one of its decodes has shown them.
    std::vector<RestoredTail> tails;
    std::vector<bool> tailKnown;
};

// One open archive, shared by every handle open on it.
struct OpenArchive {
    std::string path;
    platform::FileHandle file = platform::kInvalidFile;
    platform::FileVersion version;
    uint32_t sourceSize = 0;  // the header's, read from the archive when it was opened
    std::shared_ptr<ArchiveState> state;
    std::atomic<uint64_t> lastEnd{0};  // where the last read ended, for read-ahead
    // The index in use now and its generation; null when the archive failed its checks.
    std::shared_ptr<const ArchiveIndex> Index(uint64_t* generation = nullptr) const;
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
    // restored bytes. Null with `*error` an errno value when it cannot be opened: EIO when it
    // fails its checks, EINTR when `wanted` (asked now and then while the open waits for a
    // build) turned false, or the errno of what the machine lacked.
    std::shared_ptr<OpenArchive> Open(const std::string& path, int* error,
                                      const std::function<bool()>& wanted = {});

    // Reads restored bytes [offset, offset + length) into `out`: the bytes read (fewer only at
    // the end of the file), or -EIO (-ENOMEM when memory was short).
    int64_t Read(const std::shared_ptr<OpenArchive>& archive, uint8_t* out, size_t length,
                 uint64_t offset);

    // Ends builds in progress (they fail as "stopped"); later opens build nothing.
    void Stop() { stopping_ = true; }

    // For `kvn mount --index`: makes sure the index folder holds a sound index of the archive
    // version at `path` when it is large enough to be kept. Returns false with `why` when it
    // could not be indexed. `observer` sees the build's progress and can stop it.
    bool EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                      std::string* why);

    // What the cache holds now, in bytes, and what it holds back for working memory (tests).
    uint64_t CachedBytes();
    uint64_t ReservedBytes();
    // The decoders the library runs (and its read-ahead threads), after the memory bound.
    uint32_t decoders() const { return static_cast<uint32_t>(decoders_.size()); }
    // The spans decoded so far, by reads and read-ahead (tests).
    uint64_t SpanDecodes() const { return spanDecodes_; }

private:
    struct SpanKey {
        platform::FileVersion version;
        uint64_t generation;
        size_t span;
        bool operator<(const SpanKey& other) const;
    };
    struct CacheEntry {
        bool ready = false;
        bool failed = false;
        BlockStatus status = BlockStatus::Ok;  // why it failed
        SpanForm form;
        uint64_t charge = 0;
        std::list<SpanKey>::iterator lru;  // valid once ready
    };
    struct SpanResult {
        std::shared_ptr<CacheEntry> entry;
        BlockStatus status = BlockStatus::Ok;
        bool inconsistent = false;  // the index's leads disagree with what the spans restore
    };
    struct Outcome {
        std::shared_ptr<ArchiveState> state;
        int error = 0;
        std::string why;
    };
    class BuildObserver;
    class PoolDecoders;

    // The state of `version`, its index loaded or built (or its build waited for).
    Outcome IndexFor(const std::string& path, const platform::FileVersion& version,
                     const ArchiveHeader& header, EngineObserver* observer,
                     const std::function<bool()>& wanted, bool* built);
    Outcome IndexOnce(const std::string& path, const platform::FileVersion& version,
                      const ArchiveHeader& header, EngineObserver* observer,
                      const std::function<bool()>& wanted, bool* built);
    // Builds `state`'s index anew (from the store first unless `rebuild`) and installs it.
    void Build(const std::string& path, const platform::FileVersion& version,
               const ArchiveHeader& header, ArchiveState& state, EngineObserver* observer,
               const std::function<bool()>& wanted, bool rebuild, bool* built);
    // Builds the index of `path` again after a span failed through `failed`, once per
    // version. True when there is a new index to read with.
    bool RebuildOnce(OpenArchive& archive, const std::shared_ptr<const ArchiveIndex>& failed);
    void Install(ArchiveState& state, std::shared_ptr<const ArchiveIndex> index, bool fromStore);
    // Puts the spans that `restored` (the file's start) holds into the cache.
    void KeepRestored(const platform::FileVersion& version, uint64_t generation,
                      const ArchiveIndex& index, const std::vector<uint8_t>& restored);
    // Span `j`'s form, from the cache or decoded now. Without `wait`, a span another thread is
    // decoding is returned at once, not yet ready (for read-ahead, which only has to get it
    // going).
    SpanResult Span(OpenArchive& archive, const ArchiveIndex& index, uint64_t generation, size_t j,
                    bool wait = true);
    // Whether span `j`'s lead agrees with the tail of span j - 1, as far as it is known; and
    // records span j's tail.
    bool LeadAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j);
    bool TailAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j,
                    const RestoredTail& tail);
    void Evict(std::unique_lock<std::mutex>& lock, uint64_t room);
    // Takes `bytes` of the cache's bound for working memory, waiting while others' working
    // memory leaves no room; false when `wanted` turned false meanwhile.
    bool Reserve(uint64_t bytes, const std::function<bool()>& wanted);
    void Unreserve(uint64_t bytes);
    // Forgets remembered indexes of closed archives beyond the bound.
    void ForgetIndexes(std::unique_lock<std::mutex>& lock);
    void ReadAhead(const std::shared_ptr<OpenArchive>& archive, size_t next);
    void ReadAheadWorker();
    BlockDecoder* TakeDecoder();
    void GiveDecoder(BlockDecoder* decoder);
    void LogOnce(const std::string& key, const std::string& line);

    LibraryOptions options_;
    IndexStore store_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> nextGeneration_{1};
    std::atomic<uint64_t> spanDecodes_{0};

    std::mutex indexMutex_;  // the map and the order; taken before any state's mutex
    std::map<platform::FileVersion, std::shared_ptr<ArchiveState>, VersionLess> indexes_;
    std::deque<platform::FileVersion> indexOrder_;  // oldest first, for forgetting
    bool engineBusy_ = false;                       // one engine pass at a time; other builds walk

    std::mutex cacheMutex_;
    std::condition_variable blockReady_;
    std::condition_variable roomFreed_;
    std::map<SpanKey, std::shared_ptr<CacheEntry>> cache_;
    std::list<SpanKey> lru_;   // ready entries, most recent first
    uint64_t cached_ = 0;      // charges of every entry in cache_
    uint64_t reserved_ = 0;    // working memory taken from the cache's bound
    uint64_t indexBytes_ = 0;  // indexes held in memory
    int buildsReserving_ = 0;  // builds holding working memory

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
