#include "mount/ArchiveLibrary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "mount/IndexBuilder.h"

namespace kavrin {
namespace {

// An archive whose index build leaves enough free memory behind to give back at once.
constexpr uint64_t kLargeBuild = 8 << 20;

// Indexes remembered in memory, at most; the oldest are forgotten first (open archives keep
// theirs).
constexpr size_t kRememberedIndexes = 16384;

auto Tie(const platform::FileVersion& v) {
    return std::tie(v.device, v.inode, v.size, v.modifiedSeconds, v.modifiedNanos, v.changedSeconds,
                    v.changedNanos);
}

std::string Range(uint64_t from, uint64_t to) {
    return "bytes " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

bool VersionLess::operator()(const platform::FileVersion& a, const platform::FileVersion& b) const {
    return Tie(a) < Tie(b);
}

bool ArchiveLibrary::BlockKey::operator<(const BlockKey& other) const {
    return std::make_tuple(Tie(version), block) < std::make_tuple(Tie(other.version), other.block);
}

OpenArchive::~OpenArchive() {
    platform::CloseFile(file);
}

bool StillTheSame(const OpenArchive& archive) {
    platform::FileVersion open, named;
    return platform::VersionOf(archive.file, &open) && open == archive.version &&
           platform::VersionAt(archive.path, &named) && named == archive.version;
}

// The observer of a build: stops with the library, and passes progress on when asked to.
class ArchiveLibrary::BuildObserver : public EngineObserver {
public:
    BuildObserver(const std::atomic<bool>& stopping, EngineObserver* outer)
        : stopping_(stopping), outer_(outer) {}
    bool IsRunning() override { return !stopping_ && (outer_ == nullptr || outer_->IsRunning()); }
    void BeginProgress(uint32_t steps) override {
        if (outer_) outer_->BeginProgress(steps);
    }
    void StepProgress() override {
        if (outer_) outer_->StepProgress();
    }
    void ResetProgress() override {
        if (outer_) outer_->ResetProgress();
    }
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool) override {}

private:
    const std::atomic<bool>& stopping_;
    EngineObserver* outer_;
};

ArchiveLibrary::ArchiveLibrary(LibraryOptions options)
    : options_(std::move(options)), store_(options_.indexFolder) {
    options_.threads = std::clamp<uint32_t>(options_.threads, 1, 64);
    for (uint32_t i = 0; i < options_.threads; ++i) {
        decoders_.push_back(std::make_unique<BlockDecoder>());
        freeDecoders_.push_back(decoders_.back().get());
    }
    for (uint32_t i = 0; i < options_.threads; ++i) {
        aheadThreads_.emplace_back([this] { ReadAheadWorker(); });
    }
}

ArchiveLibrary::~ArchiveLibrary() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        aheadStop_ = true;
    }
    aheadWake_.notify_all();
    for (std::thread& thread : aheadThreads_) thread.join();
}

void ArchiveLibrary::LogOnce(const std::string& key, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        if (!logged_.insert(key).second) return;
    }
    if (options_.log) options_.log(line);
}

std::shared_ptr<const ArchiveIndex> ArchiveLibrary::IndexFor(const std::string& path,
                                                             const platform::FileVersion& version,
                                                             EngineObserver* observer,
                                                             std::string* why, bool* built) {
    std::unique_lock<std::mutex> lock(indexMutex_);
    auto found = indexes_.find(version);
    if (found != indexes_.end()) {
        // Held by its own pointer: the map may forget the entry while this waits.
        std::shared_ptr<IndexEntry> entry = found->second;
        indexChanged_.wait(lock, [&] { return !entry->building; });
        *why = entry->failure;
        return entry->index;
    }
    auto entry = std::make_shared<IndexEntry>();
    indexes_.emplace(version, entry);
    indexOrder_.push_back(version);
    while (indexOrder_.size() > kRememberedIndexes) {
        auto oldest = indexes_.find(indexOrder_.front());
        if (oldest != indexes_.end() && !oldest->second->building) indexes_.erase(oldest);
        indexOrder_.pop_front();
    }
    lock.unlock();

    std::shared_ptr<ArchiveIndex> index = std::make_shared<ArchiveIndex>();
    std::string failure;
    if (!store_.Load(version, index.get())) {
        std::lock_guard<std::mutex> oneBuild(buildMutex_);
        // The pass's working memory comes out of the cache while it runs: its window and
        // blocks in flight, its decoders, and the start of the file it keeps.
        const uint64_t t = options_.threads;
        const uint64_t working =
            ((t + 3) + 2 * (t + 2) + 4 * t) * (1ull << 20) + options_.cacheBytes / 8;
        {
            std::unique_lock<std::mutex> cacheLock(cacheMutex_);
            reserved_ += working;
            Evict(cacheLock, 0);
        }
        BuildObserver buildObserver(stopping_, observer);
        // What the build restores of the file's start is kept, as far as an eighth of the
        // cache: a small file is then read without being decoded a second time.
        IndexBuild build =
            BuildIndex(path, version, options_.threads, buildObserver, options_.cacheBytes / 8);
        if (build.ok) {
            *index = std::move(build.index);
            KeepRestored(version, *index, build.restoredStart);
            if (IndexStore::Keeps(index->blocks.size())) store_.Save(*index);
            if (built) *built = true;
        } else {
            index.reset();
            failure = build.why;
        }
        // A large pass's working memory is free again; it goes back before the cache regrows.
        build = IndexBuild{};
        if (version.size > kLargeBuild) platform::ReleaseFreeMemory();
        std::lock_guard<std::mutex> cacheLock(cacheMutex_);
        reserved_ -= working;
    }
    lock.lock();
    entry->building = false;
    entry->index = index;
    entry->failure = failure;
    // A stopped build is not remembered: the next open tries again.
    if (failure == "stopped") {
        found = indexes_.find(version);
        if (found != indexes_.end() && found->second == entry) indexes_.erase(found);
    }
    lock.unlock();
    indexChanged_.notify_all();
    *why = failure;
    return index;
}

void ArchiveLibrary::KeepRestored(const platform::FileVersion& version, const ArchiveIndex& index,
                                  const std::vector<uint8_t>& restored) {
    std::unique_lock<std::mutex> lock(cacheMutex_);
    for (size_t j = 0; j < index.blocks.size() && index.BlockEnd(j) <= restored.size(); ++j) {
        const uint64_t from = index.blocks[j].restoredOffset;
        const uint64_t size = index.BlockEnd(j) - from;
        const BlockKey key{version, j};
        if (size > options_.cacheBytes / 2 || cache_.count(key) != 0) continue;
        auto entry = std::make_shared<CacheEntry>();
        if (!entry->bytes.Allocate(size)) return;
        std::memcpy(entry->bytes.data(), restored.data() + from, size);
        entry->charge = size;
        entry->ready = true;
        Evict(lock, size);
        cache_.emplace(key, entry);
        cached_ += size;
        lru_.push_front(key);
        entry->lru = lru_.begin();
    }
}

std::shared_ptr<OpenArchive> ArchiveLibrary::Open(const std::string& path, int* error) {
    auto archive = std::make_shared<OpenArchive>();
    archive->path = path;
    archive->file = platform::OpenShared(path);
    if (archive->file == platform::kInvalidFile ||
        !platform::VersionOf(archive->file, &archive->version)) {
        *error = errno != 0 ? errno : EIO;
        return nullptr;
    }
    std::string why;
    archive->index = IndexFor(path, archive->version, nullptr, &why, nullptr);
    if (!archive->index) {
        LogOnce("index " + path + std::to_string(archive->version.changedNanos),
                path + ": can't be read (" + why + "); every read of it gives EIO");
    }
    return archive;
}

bool ArchiveLibrary::EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                                  std::string* why) {
    platform::FileVersion version;
    *built = false;
    if (!platform::VersionAt(path, &version)) {
        *why = std::strerror(errno);
        return false;
    }
    return IndexFor(path, version, &observer, why, built) != nullptr;
}

uint64_t ArchiveLibrary::CachedBytes() {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return cached_;
}

BlockDecoder* ArchiveLibrary::TakeDecoder() {
    std::unique_lock<std::mutex> lock(decoderMutex_);
    decoderFree_.wait(lock, [&] { return !freeDecoders_.empty(); });
    BlockDecoder* decoder = freeDecoders_.back();
    freeDecoders_.pop_back();
    return decoder;
}

void ArchiveLibrary::GiveDecoder(BlockDecoder* decoder) {
    {
        std::lock_guard<std::mutex> lock(decoderMutex_);
        freeDecoders_.push_back(decoder);
    }
    decoderFree_.notify_one();
}

// Drops the least recently used ready blocks until `room` more bytes fit. Blocks that readers
// still hold stay alive with them and go when the last one lets go.
void ArchiveLibrary::Evict(std::unique_lock<std::mutex>&, uint64_t room) {
    while (cached_ + reserved_ + room > options_.cacheBytes && !lru_.empty()) {
        auto victim = cache_.find(lru_.back());
        lru_.pop_back();
        cached_ -= victim->second->charge;
        cache_.erase(victim);
    }
}

std::shared_ptr<ArchiveLibrary::CacheEntry> ArchiveLibrary::Block(OpenArchive& archive, size_t j,
                                                                  bool wait) {
    const ArchiveIndex& index = *archive.index;
    const BlockKey key{archive.version, j};
    const uint64_t size = index.BlockEnd(j) - index.blocks[j].restoredOffset;
    std::unique_lock<std::mutex> lock(cacheMutex_);
    auto found = cache_.find(key);
    if (found != cache_.end()) {
        // Read-ahead never waits for a block another thread decodes: it goes on to the next.
        if (!wait) return found->second;
        std::shared_ptr<CacheEntry> entry = found->second;
        blockReady_.wait(lock, [&] { return entry->ready || entry->failed; });
        if (entry->failed) return nullptr;
        auto again = cache_.find(key);  // it may have been dropped, or dropped and decoded anew
        if (again != cache_.end() && again->second == entry) {
            lru_.splice(lru_.begin(), lru_, entry->lru);
        }
        return entry;
    }
    auto entry = std::make_shared<CacheEntry>();
    entry->charge = size;
    Evict(lock, size);
    cache_.emplace(key, entry);
    cached_ += size;
    lock.unlock();

    BlockStatus status = BlockStatus::NoMemory;
    if (entry->bytes.Allocate(size)) {
        BlockDecoder* decoder = TakeDecoder();
        status = decoder->DecodeIndexed(archive.file, index, j, 0, size, entry->bytes.data());
        GiveDecoder(decoder);
        // What the threads' heaps keep free of their reads goes back after every decode (a
        // block takes tens of milliseconds; this, microseconds), so that the mount stays
        // within its cache and its decoders.
        platform::ReleaseFreeMemory();
    }

    lock.lock();
    if (status == BlockStatus::Ok) {
        entry->ready = true;
        lru_.push_front(key);
        entry->lru = lru_.begin();
        // Blocks decoded side by side were charged while none of them could be dropped: the
        // bound holds again once they are ready.
        Evict(lock, 0);
    } else {
        entry->failed = true;
        cached_ -= entry->charge;
        cache_.erase(key);
    }
    lock.unlock();
    blockReady_.notify_all();
    if (status != BlockStatus::Ok) {
        LogOnce("block " + archive.path + std::to_string(archive.version.changedNanos) + "/" +
                    std::to_string(j),
                archive.path + ": " + Range(index.blocks[j].restoredOffset, index.BlockEnd(j)) +
                    " can't be read (" + DescribeBlockStatus(status) + "); reads of them give EIO");
        return nullptr;
    }
    return entry;
}

int64_t ArchiveLibrary::Read(const std::shared_ptr<OpenArchive>& handle, uint8_t* out,
                             size_t length, uint64_t offset) {
    OpenArchive& archive = *handle;
    if (!archive.index) return -EIO;
    if (!StillTheSame(archive)) {
        LogOnce("changed " + archive.path + std::to_string(archive.version.changedNanos),
                archive.path + ": changed or removed while open; reads of it give EIO");
        return -EIO;
    }
    const ArchiveIndex& index = *archive.index;
    if (offset >= index.sourceSize || length == 0) return 0;
    const uint64_t end = std::min<uint64_t>(offset + length, index.sourceSize);
    const bool sequential = archive.lastEnd.exchange(end) == offset;
    size_t j = index.BlockAt(offset);
    uint64_t at = offset;
    while (at < end) {
        const uint64_t blockStart = index.blocks[j].restoredOffset;
        const uint64_t blockEnd = index.BlockEnd(j);
        const uint64_t to = std::min(end, blockEnd);
        if (blockEnd - blockStart > options_.cacheBytes / 2) {
            // Too large to keep: decoded for this read alone.
            BlockDecoder* decoder = TakeDecoder();
            const BlockStatus status = decoder->DecodeIndexed(
                archive.file, index, j, at - blockStart, to - blockStart, out + (at - offset));
            GiveDecoder(decoder);
            if (status != BlockStatus::Ok) {
                LogOnce("block " + archive.path + std::to_string(archive.version.changedNanos) +
                            "/" + std::to_string(j),
                        archive.path + ": " + Range(blockStart, blockEnd) + " can't be read (" +
                            DescribeBlockStatus(status) + "); reads of them give EIO");
                return -EIO;
            }
        } else {
            std::shared_ptr<CacheEntry> entry = Block(archive, j);
            if (!entry) return -EIO;
            std::memcpy(out + (at - offset), entry->bytes.data() + (at - blockStart), to - at);
        }
        at = to;
        if (at < end) ++j;
    }
    if (sequential && j + 1 < index.blocks.size()) ReadAhead(handle, j + 1);
    // Another check after decoding: bytes of an archive that changed meanwhile are not given.
    if (!StillTheSame(archive)) return -EIO;
    return static_cast<int64_t>(end - offset);
}

void ArchiveLibrary::ReadAhead(const std::shared_ptr<OpenArchive>& archive, size_t next) {
    const ArchiveIndex& index = *archive->index;
    // The blocks ahead and the one being read must fit half the cache, or they would push
    // each other out before they are read.
    uint64_t room = options_.cacheBytes / 2;
    const uint64_t current = index.BlockEnd(next - 1) - index.blocks[next - 1].restoredOffset;
    room = room > current ? room - current : 0;
    std::lock_guard<std::mutex> lock(aheadMutex_);
    for (size_t j = next; j < index.blocks.size() && j < next + options_.threads; ++j) {
        const uint64_t size = index.BlockEnd(j) - index.blocks[j].restoredOffset;
        if (size > room || aheadQueue_.size() >= 4 * options_.threads) break;
        room -= size;
        {
            std::lock_guard<std::mutex> cacheLock(cacheMutex_);
            if (cache_.count(BlockKey{archive->version, j}) != 0) continue;
        }
        // Each read of a block asks again for the same blocks ahead: queue each once.
        const bool queued = std::any_of(aheadQueue_.begin(), aheadQueue_.end(), [&](auto& item) {
            return item.second == j && item.first.lock() == archive;
        });
        if (!queued) aheadQueue_.emplace_back(archive, j);
    }
    aheadWake_.notify_all();
}

void ArchiveLibrary::ReadAheadWorker() {
    std::unique_lock<std::mutex> lock(aheadMutex_);
    for (;;) {
        aheadWake_.wait(lock, [&] { return aheadStop_ || !aheadQueue_.empty(); });
        if (aheadStop_) return;
        auto [weak, j] = aheadQueue_.front();
        aheadQueue_.pop_front();
        lock.unlock();
        if (std::shared_ptr<OpenArchive> archive = weak.lock()) Block(*archive, j, false);
        lock.lock();
    }
}

}  // namespace kavrin
