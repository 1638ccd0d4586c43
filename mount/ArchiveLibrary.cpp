// SPDX-License-Identifier: MIT
#include "mount/ArchiveLibrary.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <tuple>

#include "mount/IndexBuilder.h"
#include "platform/PageBuffer.h"

namespace kavrin {
namespace {

// Indexes remembered in memory, at most; the oldest of closed archives are forgotten first,
// also once indexes take more than a quarter of the cache's bound.
constexpr size_t kRememberedIndexes = 16384;
// An archive that restores at most this much is walked at once: a few blocks, a moment.
constexpr uint64_t kSmallBuild = 8 << 20;
// An archive whose build leaves enough free memory behind to give back at once.
constexpr uint64_t kLargeBuild = 8 << 20;
// How often a wait asks whether it is still wanted.
constexpr auto kWantedPoll = std::chrono::milliseconds(100);

// The working memory of the engine's parallel pass on `t` threads: its window, the blocks in
// flight with their output, each worker's codec and its own.
uint64_t EngineWorking(uint64_t t) {
    return (8 * t + 14) << 20;
}

// What a span is charged in the cache before its form is made.
uint64_t PlannedCharge(uint64_t size, uint64_t cacheBytes) {
    return KeepsCompact(size, cacheBytes) ? std::min<uint64_t>(size, 1 << 20) : size + 4096;
}

auto Tie(const platform::FileVersion& v) {
    return std::tie(v.device, v.inode, v.size, v.modifiedSeconds, v.modifiedNanos, v.changedSeconds,
                    v.changedNanos);
}

std::string Range(uint64_t from, uint64_t to) {
    return "bytes " + std::to_string(from) + " to " + std::to_string(to);
}

// A key for the log: one line per fault of one version of one archive.
std::string Key(const char* what, const std::string& path, const platform::FileVersion& v) {
    return std::string(what) + " " + path + " " + std::to_string(v.changedSeconds) + "." +
           std::to_string(v.changedNanos);
}

bool SameLead(const RestoredTail& tail, const IndexedSpan& span) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(span.restoredOffset, 8));
    return tail.length == length && std::memcmp(tail.bytes, span.lead, length) == 0;
}

}  // namespace

bool VersionLess::operator()(const platform::FileVersion& a, const platform::FileVersion& b) const {
    return Tie(a) < Tie(b);
}

bool ArchiveLibrary::SpanKey::operator<(const SpanKey& other) const {
    return std::make_tuple(Tie(version), generation, span) <
           std::make_tuple(Tie(other.version), other.generation, other.span);
}

OpenArchive::~OpenArchive() {
    platform::CloseFile(file);
}

std::shared_ptr<const ArchiveIndex> OpenArchive::Index(uint64_t* generation) const {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (generation != nullptr) *generation = state->generation;
    return state->index;
}

bool StillTheSame(const OpenArchive& archive) {
    platform::FileVersion open, named;
    return platform::VersionOf(archive.file, &open) && open == archive.version &&
           platform::VersionAt(archive.path, &named) && named == archive.version;
}

// The observer of a build: stops with the library, and once no open waits for it any more;
// passes progress on when asked to.
class ArchiveLibrary::BuildObserver : public EngineObserver {
public:
    BuildObserver(const std::atomic<bool>& stopping, EngineObserver* outer, ArchiveState& state,
                  const std::function<bool()>& wanted)
        : stopping_(stopping), outer_(outer), state_(state), wanted_(wanted) {}
    bool IsRunning() override {
        if (stopping_ || (outer_ != nullptr && !outer_->IsRunning())) return false;
        if (wanted_ && !dropped_ && !wanted_()) {
            dropped_ = true;
            --state_.waiting;
        }
        return state_.waiting > 0;
    }
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
    // The opener that started the build, if it still waits.
    bool Dropped() const { return dropped_; }

private:
    const std::atomic<bool>& stopping_;
    EngineObserver* outer_;
    ArchiveState& state_;
    const std::function<bool()>& wanted_;
    bool dropped_ = false;
};

// The library's decoders, lent to a walk one block at a time.
class ArchiveLibrary::PoolDecoders : public DecoderSource {
public:
    explicit PoolDecoders(ArchiveLibrary& library) : library_(library) {}
    BlockDecoder* Take() override { return library_.TakeDecoder(); }
    void Give(BlockDecoder* decoder) override {
        decoder->Trim();
        library_.GiveDecoder(decoder);
    }

private:
    ArchiveLibrary& library_;
};

ArchiveLibrary::ArchiveLibrary(LibraryOptions options)
    : options_(std::move(options)), store_(options_.indexFolder) {
    options_.threads = std::clamp<uint32_t>(options_.threads, 1, 64);
    // Each decoder keeps its working memory: as many as a quarter of the cache's bound holds.
    // Two of them live in the room the bound leaves beside the cache; the others' memory comes
    // out of the cache.
    const auto affordable =
        static_cast<uint32_t>(std::max<uint64_t>(1, options_.cacheBytes / (4 * kDecoderBytes)));
    const uint32_t count = std::min(options_.threads, affordable);
    for (uint32_t i = 0; i < count; ++i) {
        decoders_.push_back(std::make_unique<BlockDecoder>());
        freeDecoders_.push_back(decoders_.back().get());
    }
    reserved_ = count > 2 ? (count - 2) * kDecoderBytes : 0;
    for (uint32_t i = 0; i < count; ++i) {
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

std::shared_ptr<OpenArchive> ArchiveLibrary::Open(const std::string& path, int* error,
                                                  const std::function<bool()>& wanted) {
    auto archive = std::make_shared<OpenArchive>();
    archive->path = path;
    errno = 0;
    archive->file = platform::OpenShared(path);
    if (archive->file == platform::kInvalidFile ||
        !platform::VersionOf(archive->file, &archive->version)) {
        *error = errno != 0 ? errno : EIO;
        return nullptr;
    }
    // What the header says comes from the archive itself, whatever an index holds.
    uint8_t bytes[kHeaderFixedBytes + kMaxTypeText];
    const int64_t got = platform::ReadAt(archive->file, bytes, sizeof bytes, 0);
    if (got < 0) {
        *error = errno != 0 ? errno : EIO;
        return nullptr;
    }
    ArchiveHeader header;
    std::string damage;
    if (ParseArchiveHeader(bytes, static_cast<size_t>(got), &header) != HeaderStatus::Ok) {
        damage = "bad file format";
    } else if (!IsStoredDeltaMode(header.deltaMode)) {
        damage = "damaged archive: unknown filter mode " + std::to_string(header.deltaMode);
    }
    if (!damage.empty()) {
        LogOnce(Key("index", path, archive->version),
                path + ": can't be read (" + damage + "); opening it gives EIO");
        *error = EIO;
        return nullptr;
    }
    const Outcome outcome = IndexFor(path, archive->version, header, nullptr, wanted, nullptr);
    if (!outcome.state) {
        if (outcome.error == EIO) {
            LogOnce(Key("index", path, archive->version),
                    path + ": can't be read (" + outcome.why + "); opening it gives EIO");
        } else if (outcome.error != EINTR) {
            LogOnce(Key("busy", path, archive->version) + std::to_string(outcome.error),
                    path + ": can't be opened now (" + outcome.why + ": " +
                        std::strerror(outcome.error) + "); the next open tries again");
        }
        *error = outcome.error;
        return nullptr;
    }
    archive->state = outcome.state;
    archive->sourceSize = header.sourceSize;
    return archive;
}

bool ArchiveLibrary::EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                                  std::string* why) {
    *built = false;
    platform::FileVersion version;
    platform::FileHandle file = platform::OpenShared(path);
    if (file == platform::kInvalidFile || !platform::VersionOf(file, &version)) {
        *why = std::strerror(errno);
        platform::CloseFile(file);
        return false;
    }
    uint8_t bytes[kHeaderFixedBytes + kMaxTypeText];
    const int64_t got = platform::ReadAt(file, bytes, sizeof bytes, 0);
    platform::CloseFile(file);
    ArchiveHeader header;
    if (got < 0 ||
        ParseArchiveHeader(bytes, static_cast<size_t>(got), &header) != HeaderStatus::Ok) {
        *why = got < 0 ? std::strerror(errno) : "bad file format";
        return false;
    }
    if (!IsStoredDeltaMode(header.deltaMode)) {
        *why = "damaged archive: unknown filter mode " + std::to_string(header.deltaMode);
        return false;
    }
    const Outcome outcome = IndexFor(path, version, header, &observer, {}, built);
    *why = outcome.why;
    return outcome.state != nullptr;
}

ArchiveLibrary::Outcome ArchiveLibrary::IndexFor(const std::string& path,
                                                 const platform::FileVersion& version,
                                                 const ArchiveHeader& header,
                                                 EngineObserver* observer,
                                                 const std::function<bool()>& wanted, bool* built) {
    // A build stopped because every opener waiting for it had gone may end just as another
    // open comes to wait: that open builds again.
    for (int tries = 0;; ++tries) {
        Outcome outcome = IndexOnce(path, version, header, observer, wanted, built);
        if (outcome.state || outcome.error != EINTR || tries == 3 || stopping_ ||
            (wanted && !wanted()) || (observer != nullptr && !observer->IsRunning())) {
            return outcome;
        }
    }
}

ArchiveLibrary::Outcome ArchiveLibrary::IndexOnce(
    const std::string& path, const platform::FileVersion& version, const ArchiveHeader& header,
    EngineObserver* observer, const std::function<bool()>& wanted, bool* built) {
    std::shared_ptr<ArchiveState> state;
    bool mine = false;
    {
        std::unique_lock<std::mutex> lock(indexMutex_);
        auto found = indexes_.find(version);
        if (found != indexes_.end()) {
            state = found->second;
        } else {
            state = std::make_shared<ArchiveState>();
            state->waiting = 1;
            indexes_.emplace(version, state);
            indexOrder_.push_back(version);
            mine = true;
            ForgetIndexes(lock);
        }
    }
    if (mine) Build(path, version, header, *state, observer, wanted, false, built);

    std::unique_lock<std::mutex> lock(state->mutex);
    if (!mine && state->building) {
        ++state->waiting;
        while (state->building) {
            lock.unlock();  // `wanted` may take its own locks
            const bool gone = stopping_ || (wanted && !wanted());
            lock.lock();
            if (gone) {
                --state->waiting;
                return {nullptr, EINTR, "interrupted"};
            }
            if (state->building) state->changed.wait_for(lock, kWantedPoll);
        }
        --state->waiting;
    }
    if (state->index) return {state, 0, ""};
    if (!state->failure.empty()) return {nullptr, EIO, state->failure};
    return {nullptr, state->systemError != 0 ? state->systemError : EIO,
            state->systemError == EINTR ? "interrupted" : "the machine failed"};
}

void ArchiveLibrary::Build(const std::string& path, const platform::FileVersion& version,
                           const ArchiveHeader& header, ArchiveState& state,
                           EngineObserver* observer, const std::function<bool()>& wanted,
                           bool rebuild, bool* built) {
    auto index = std::make_shared<ArchiveIndex>();
    if (!rebuild) {
        const IndexStore::LoadStatus loaded = store_.Load(version, index.get());
        // A kept index whose header fields disagree with the archive's own is not used.
        if (loaded == IndexStore::LoadStatus::Loaded &&
            index->headerLength == header.headerLength && index->sourceSize == header.sourceSize &&
            index->deltaMode == header.deltaMode) {
            Install(state, index, true);
            return;
        }
        if (loaded == IndexStore::LoadStatus::NotPrivate) {
            LogOnce("private " + store_.folder(),
                    store_.folder() +
                        ": not yours alone (another user's, or writable by "
                        "others); no index kept there is used");
        }
    }

    BuildObserver buildObserver(stopping_, observer, state, wanted);
    const std::function<bool()> running = [&] { return buildObserver.IsRunning(); };
    // What the build restores is kept when the whole file fits an eighth of the cache: a small
    // file is then read without being decoded a second time.
    const uint64_t keep = header.sourceSize <= options_.cacheBytes / 8 ? header.sourceSize : 0;
    const uint64_t payload = version.size - header.headerLength;
    BuildPlan plan;
    plan.keepRestored = keep;
    plan.walkOnly = true;
    PoolDecoders pool(*this);
    plan.decoders = &pool;
    uint64_t working = std::min(payload, kWalkWindow) + keep;
    if (header.sourceSize > kSmallBuild) {
        // One engine pass at a time, on as many threads as the bound leaves room for; any
        // other build walks, so that no open waits for another archive's pass.
        std::lock_guard<std::mutex> lock(indexMutex_);
        const uint64_t room =
            options_.cacheBytes - std::min(options_.cacheBytes, decoders_.size() * kDecoderBytes);
        uint32_t threads = 0;
        for (uint32_t t = 2; t <= std::max<uint32_t>(options_.threads, 2); ++t) {
            if (EngineWorking(t) + keep <= room) threads = t;
        }
        if (!engineBusy_ && threads != 0) {
            engineBusy_ = true;
            plan.walkOnly = false;
            plan.threads = threads;
            working = EngineWorking(threads) + keep;
        }
    }
    IndexBuild build;
    const bool reserved = Reserve(working, running);
    if (reserved) {
        build = BuildIndex(path, version, plan, buildObserver);
    } else {
        build.stopped = true;
        build.why = "stopped";
    }
    if (!plan.walkOnly) {
        std::lock_guard<std::mutex> lock(indexMutex_);
        engineBusy_ = false;
    }
    std::shared_ptr<ArchiveIndex> made;
    if (build.ok) {
        *index = std::move(build.index);
        made = index;
    }
    std::vector<uint8_t> restored = std::move(build.restoredStart);
    const bool stopped = build.stopped;
    const int systemError = build.systemError;
    const std::string why = build.why;
    build = IndexBuild{};
    if (made) {
        Install(state, made, false);
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            generation = state.generation;
        }
        KeepRestored(version, generation, *made, restored);
        std::string unsaved;
        if (IndexStore::Keeps(*made) && !store_.folder().empty() && !store_.Save(*made, &unsaved)) {
            LogOnce("save " + store_.folder(), store_.folder() + ": indexes can't be kept there (" +
                                                   unsaved +
                                                   "); archives are indexed again at each mount");
        }
        if (built) *built = true;
    }
    restored = std::vector<uint8_t>();
    // A large build's working memory is free again; it goes back before the cache regrows.
    if (version.size > kLargeBuild || header.sourceSize > kLargeBuild) {
        platform::ReleaseFreeMemory();
    }
    if (reserved) Unreserve(working);
    if (made) return;

    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.building = false;
        if (state.index) dropped = state.index->Footprint();
        state.index.reset();
        if (stopped || systemError != 0) {
            // Not the archive's fault: the next open tries again.
            state.systemError = stopped ? EINTR : systemError;
        } else {
            state.failure = why;
        }
    }
    state.changed.notify_all();
    if (dropped != 0) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        indexBytes_ -= std::min(dropped, indexBytes_);
    }
    if (stopped || systemError != 0) {
        std::lock_guard<std::mutex> lock(indexMutex_);
        auto found = indexes_.find(version);
        if (found != indexes_.end() && found->second.get() == &state) indexes_.erase(found);
    }
}

void ArchiveLibrary::Install(ArchiveState& state, std::shared_ptr<const ArchiveIndex> index,
                             bool fromStore) {
    const uint64_t footprint = index->Footprint();
    uint64_t before = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.index) before = state.index->Footprint();
        state.tails.assign(index->spans.size(), RestoredTail{});
        state.tailKnown.assign(index->spans.size(), false);
        state.index = std::move(index);
        state.generation = nextGeneration_++;
        state.fromStore = fromStore;
        state.building = false;
        state.failure.clear();
        state.systemError = 0;
    }
    state.changed.notify_all();
    std::unique_lock<std::mutex> lock(cacheMutex_);
    indexBytes_ = indexBytes_ + footprint - std::min(before, indexBytes_);
    Evict(lock, 0);
}

void ArchiveLibrary::ForgetIndexes(std::unique_lock<std::mutex>&) {
    uint64_t held = 0;
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        held = indexBytes_;
    }
    size_t look = indexOrder_.size();
    while (look-- > 0 &&
           (indexOrder_.size() > kRememberedIndexes || held > options_.cacheBytes / 4)) {
        const platform::FileVersion oldest = indexOrder_.front();
        indexOrder_.pop_front();
        auto found = indexes_.find(oldest);
        if (found == indexes_.end()) continue;
        // An open archive, or one being built, keeps its index.
        if (found->second.use_count() > 1) {
            indexOrder_.push_back(oldest);
            continue;
        }
        uint64_t footprint = 0;
        {
            std::lock_guard<std::mutex> lock(found->second->mutex);
            if (found->second->building) {
                indexOrder_.push_back(oldest);
                continue;
            }
            if (found->second->index) footprint = found->second->index->Footprint();
        }
        indexes_.erase(found);
        std::lock_guard<std::mutex> lock(cacheMutex_);
        indexBytes_ -= std::min(footprint, indexBytes_);
        held = indexBytes_;
    }
}

bool ArchiveLibrary::RebuildOnce(OpenArchive& archive,
                                 const std::shared_ptr<const ArchiveIndex>& failed) {
    ArchiveState& state = *archive.state;
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        if (state.building) state.changed.wait(lock, [&] { return !state.building; });
        if (state.index != failed) return state.index != nullptr;
        if (!state.fromStore || state.rebuilt) return false;
        state.rebuilt = true;
        state.building = true;
        state.waiting = 1;
    }
    LogOnce(Key("rebuild", archive.path, archive.version),
            archive.path + ": its kept index disagrees with the archive; indexed again");
    uint8_t bytes[kHeaderFixedBytes + kMaxTypeText];
    const int64_t got = platform::ReadAt(archive.file, bytes, sizeof bytes, 0);
    ArchiveHeader header;
    if (got < 0 ||
        ParseArchiveHeader(bytes, static_cast<size_t>(got), &header) != HeaderStatus::Ok) {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.building = false;
        }
        state.changed.notify_all();
        return false;
    }
    Build(archive.path, archive.version, header, state, nullptr, {}, true, nullptr);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.index) {
        LogOnce(Key("index", archive.path, archive.version),
                archive.path + ": can't be read (" +
                    (state.failure.empty() ? "the machine failed" : state.failure) +
                    "); reading it gives EIO");
    }
    return state.index != nullptr;
}

void ArchiveLibrary::KeepRestored(const platform::FileVersion& version, uint64_t generation,
                                  const ArchiveIndex& index, const std::vector<uint8_t>& restored) {
    std::unique_lock<std::mutex> lock(cacheMutex_);
    for (size_t j = 0; j < index.spans.size() && index.SpanEnd(j) <= restored.size(); ++j) {
        const uint64_t from = index.spans[j].restoredOffset;
        const uint64_t size = index.SpanSize(j);
        const SpanKey key{version, generation, j};
        if (KeepsCompact(size, options_.cacheBytes) || cache_.count(key) != 0) continue;
        auto entry = std::make_shared<CacheEntry>();
        if (!SpanForm::FromRestored(restored.data() + from, size, from, index.spans[j].lead,
                                    &entry->form)) {
            return;
        }
        entry->charge = entry->form.Footprint();
        entry->ready = true;
        Evict(lock, entry->charge);
        cache_.emplace(key, entry);
        cached_ += entry->charge;
        lru_.push_front(key);
        entry->lru = lru_.begin();
    }
}

uint64_t ArchiveLibrary::CachedBytes() {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return cached_;
}

uint64_t ArchiveLibrary::ReservedBytes() {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return reserved_ + indexBytes_;
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

bool ArchiveLibrary::Reserve(uint64_t bytes, const std::function<bool()>& wanted) {
    std::unique_lock<std::mutex> lock(cacheMutex_);
    // A build waits only while another build's working memory leaves no room for its own.
    const auto full = [&] {
        return buildsReserving_ > 0 && reserved_ + indexBytes_ + bytes > options_.cacheBytes;
    };
    while (full()) {
        lock.unlock();  // `wanted` may take its own locks
        if (!wanted()) return false;
        lock.lock();
        if (full()) roomFreed_.wait_for(lock, kWantedPoll);
    }
    reserved_ += bytes;
    ++buildsReserving_;
    Evict(lock, 0);
    return true;
}

void ArchiveLibrary::Unreserve(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        reserved_ -= bytes;
        --buildsReserving_;
    }
    roomFreed_.notify_all();
}

// Drops the least recently used ready spans until `room` more bytes fit. Spans that readers
// still hold stay alive with them and go when the last one lets go.
void ArchiveLibrary::Evict(std::unique_lock<std::mutex>&, uint64_t room) {
    while (cached_ + reserved_ + indexBytes_ + room > options_.cacheBytes && !lru_.empty()) {
        auto victim = cache_.find(lru_.back());
        lru_.pop_back();
        cached_ -= victim->second->charge;
        cache_.erase(victim);
    }
}

bool ArchiveLibrary::LeadAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j) {
    if (j == 0) return true;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.index.get() != &index || !state.tailKnown[j - 1]) return true;
    return SameLead(state.tails[j - 1], index.spans[j]);
}

bool ArchiveLibrary::TailAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j,
                                const RestoredTail& tail) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.index.get() != &index) return true;
    state.tails[j] = tail;
    state.tailKnown[j] = true;
    return j + 1 == index.spans.size() || SameLead(tail, index.spans[j + 1]);
}

ArchiveLibrary::SpanResult ArchiveLibrary::Span(OpenArchive& archive, const ArchiveIndex& index,
                                                uint64_t generation, size_t j, bool wait) {
    const SpanKey key{archive.version, generation, j};
    const uint64_t size = index.SpanSize(j);
    std::unique_lock<std::mutex> lock(cacheMutex_);
    auto found = cache_.find(key);
    if (found != cache_.end()) {
        // Read-ahead never waits for a span another thread decodes: it goes on to the next.
        if (!wait) return {found->second};
        std::shared_ptr<CacheEntry> entry = found->second;
        blockReady_.wait(lock, [&] { return entry->ready || entry->failed; });
        if (entry->failed) return {nullptr, entry->status};
        auto again = cache_.find(key);  // it may have been dropped, or dropped and decoded anew
        if (again != cache_.end() && again->second == entry) {
            lru_.splice(lru_.begin(), lru_, entry->lru);
        }
        return {entry};
    }
    auto entry = std::make_shared<CacheEntry>();
    entry->charge = PlannedCharge(size, options_.cacheBytes);
    Evict(lock, entry->charge);
    cache_.emplace(key, entry);
    cached_ += entry->charge;
    lock.unlock();

    SpanResult result;
    const IndexedSpan& span = index.spans[j];
    if (!LeadAgrees(*archive.state, index, j)) {
        result.status = BlockStatus::Damaged;
        result.inconsistent = true;
    } else {
        FormBuilder builder(static_cast<DeltaMode>(index.deltaMode), index.sourceSize,
                            span.restoredOffset, size, span.lead,
                            KeepsCompact(size, options_.cacheBytes));
        BlockDecoder* decoder = TakeDecoder();
        ++spanDecodes_;
        result.status = decoder->DecodeSpan(archive.file, index, j, builder);
        decoder->Trim();
        GiveDecoder(decoder);
        if (result.status == BlockStatus::Ok && !builder.Finish(&entry->form)) {
            result.status = BlockStatus::NoMemory;
        }
        if (result.status == BlockStatus::Ok &&
            !TailAgrees(*archive.state, index, j, entry->form.tail())) {
            result.status = BlockStatus::Damaged;
            result.inconsistent = true;
        }
        // What the threads' heaps keep free of their reads goes back after every decode (a
        // span takes tens of milliseconds; this, microseconds), so that the mount stays
        // within its cache and its decoders.
        platform::ReleaseFreeMemory();
    }

    lock.lock();
    if (result.status == BlockStatus::Ok) {
        entry->ready = true;
        cached_ = cached_ - entry->charge + entry->form.Footprint();
        entry->charge = entry->form.Footprint();
        lru_.push_front(key);
        entry->lru = lru_.begin();
        // Spans decoded side by side were charged while none of them could be dropped: the
        // bound holds again once they are ready.
        Evict(lock, 0);
        result.entry = entry;
    } else {
        entry->failed = true;
        entry->status = result.status;
        cached_ -= entry->charge;
        cache_.erase(key);
    }
    lock.unlock();
    blockReady_.notify_all();
    return result;
}

int64_t ArchiveLibrary::Read(const std::shared_ptr<OpenArchive>& handle, uint8_t* out,
                             size_t length, uint64_t offset) {
    OpenArchive& archive = *handle;
    bool sequential = false;
    for (int attempt = 0;; ++attempt) {
        uint64_t generation = 0;
        const std::shared_ptr<const ArchiveIndex> index = archive.Index(&generation);
        if (!index) return -EIO;
        if (!StillTheSame(archive)) {
            LogOnce(Key("changed", archive.path, archive.version),
                    archive.path + ": changed or removed while open; reads of it give EIO");
            return -EIO;
        }
        if (offset >= index->sourceSize || length == 0) return 0;
        const uint64_t end = std::min<uint64_t>(offset + length, index->sourceSize);
        if (attempt == 0) sequential = archive.lastEnd.exchange(end) == offset;
        size_t j = index->SpanAt(offset);
        uint64_t at = offset;
        bool again = false;
        while (at < end) {
            const uint64_t spanStart = index->spans[j].restoredOffset;
            const uint64_t to = std::min(end, index->SpanEnd(j));
            const SpanResult span = Span(archive, *index, generation, j);
            if (!span.entry) {
                // Through a kept index, a span that fails has the index built again first.
                if (span.status == BlockStatus::Damaged && attempt == 0 &&
                    RebuildOnce(archive, index)) {
                    again = true;
                    break;
                }
                if (span.status == BlockStatus::NoMemory) return -ENOMEM;
                LogOnce(Key("span", archive.path, archive.version) + "/" + std::to_string(j),
                        archive.path + ": " + Range(spanStart, index->SpanEnd(j)) +
                            " can't be read (" +
                            (span.inconsistent ? "they disagree with the archive's index"
                                               : DescribeBlockStatus(span.status)) +
                            "); reads of them give EIO");
                return -EIO;
            }
            span.entry->form.Read(at - spanStart, to - spanStart, out + (at - offset));
            at = to;
            if (at < end) ++j;
        }
        if (again) continue;
        if (sequential && j + 1 < index->spans.size()) ReadAhead(handle, j + 1);
        // Another check after decoding: bytes of an archive that changed meanwhile are not given.
        if (!StillTheSame(archive)) return -EIO;
        return static_cast<int64_t>(end - offset);
    }
}

void ArchiveLibrary::ReadAhead(const std::shared_ptr<OpenArchive>& archive, size_t next) {
    uint64_t generation = 0;
    const std::shared_ptr<const ArchiveIndex> index = archive->Index(&generation);
    if (!index) return;
    // The spans ahead and the one being read must fit half the cache, or they would push
    // each other out before they are read.
    uint64_t room = options_.cacheBytes / 2;
    const uint64_t current = PlannedCharge(index->SpanSize(next - 1), options_.cacheBytes);
    room = room > current ? room - current : 0;
    std::lock_guard<std::mutex> lock(aheadMutex_);
    for (size_t j = next; j < index->spans.size() && j < next + decoders_.size(); ++j) {
        const uint64_t charge = PlannedCharge(index->SpanSize(j), options_.cacheBytes);
        if (charge > room || aheadQueue_.size() >= 4 * decoders_.size()) break;
        room -= charge;
        {
            std::lock_guard<std::mutex> cacheLock(cacheMutex_);
            if (cache_.count(SpanKey{archive->version, generation, j}) != 0) continue;
        }
        // Each read of a span asks again for the same spans ahead: queue each once.
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
        if (std::shared_ptr<OpenArchive> archive = weak.lock()) {
            uint64_t generation = 0;
            const std::shared_ptr<const ArchiveIndex> index = archive->Index(&generation);
            if (index && j < index->spans.size()) Span(*archive, *index, generation, j, false);
        }
        lock.lock();
    }
}

}  // namespace kavrin
