// SPDX-License-Identifier: MIT
#include "mount/BuildRunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/PageBuffer.h"

namespace kavrin {
namespace {

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

// The observer of a build: stops with the library, and once no open waits for it any more;
// passes progress on when asked to.
class BuildObserver : public EngineObserver {
public:
    BuildObserver(const std::atomic<bool>& stopping, EngineObserver* outer, ArchiveState& state,
                  const std::function<bool()>& wanted)
        : stopping_(stopping), outer_(outer), state_(state), wanted_(wanted) {}
    bool IsRunning() override {
        if (stopping_ || (outer_ != nullptr && !outer_->IsRunning())) return false;
        if (wanted_ && !dropped_ && !wanted_()) {
            dropped_ = true;  // the opener that started the build waits no more
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

private:
    const std::atomic<bool>& stopping_;
    EngineObserver* outer_;
    ArchiveState& state_;
    const std::function<bool()>& wanted_;
    bool dropped_ = false;
};

}  // namespace

BuildRunner::Outcome BuildRunner::IndexFor(const std::string& path,
                                           const platform::FileVersion& version,
                                           const ArchiveHeader& header, EngineObserver* observer,
                                           const std::function<bool()>& wanted, bool* built) {
    // A build stopped because every opener waiting for it had gone may end just as another
    // open comes to wait: that open builds again.
    for (int tries = 0;; ++tries) {
        Outcome outcome = IndexOnce(path, version, header, observer, wanted, built);
        if (outcome.state || outcome.failure.kind() != FailureKind::Stopped || tries == 3 ||
            rooms_.stopping || (wanted && !wanted()) ||
            (observer != nullptr && !observer->IsRunning())) {
            return outcome;
        }
    }
}

BuildRunner::Outcome BuildRunner::IndexOnce(const std::string& path,
                                            const platform::FileVersion& version,
                                            const ArchiveHeader& header, EngineObserver* observer,
                                            const std::function<bool()>& wanted, bool* built) {
    bool mine = false;
    const std::shared_ptr<ArchiveState> state = rooms_.table.FindOrAdd(version, &mine);
    if (!mine) return Await(state, wanted);
    Build(path, version, header, *state, observer, wanted, false, built);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->index) return {state, Status()};
    return {nullptr, state->failure};
}

BuildRunner::Outcome BuildRunner::Await(const std::shared_ptr<ArchiveState>& state,
                                        const std::function<bool()>& wanted) {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->building) {
        ++state->waiting;
        while (state->building) {
            lock.unlock();  // `wanted` may take its own locks
            const bool gone = rooms_.stopping || (wanted && !wanted());
            lock.lock();
            if (gone) {
                --state->waiting;
                return {nullptr, Status::Stop()};
            }
            if (state->building) state->changed.wait_for(lock, kWantedPoll);
        }
        --state->waiting;
    }
    if (state->index) return {state, Status()};
    return {nullptr, state->failure};
}

void BuildRunner::Build(const std::string& path, const platform::FileVersion& version,
                        const ArchiveHeader& header, ArchiveState& state, EngineObserver* observer,
                        const std::function<bool()>& wanted, bool rebuild, bool* built) {
    if (!rebuild && UseKept(version, header, state)) return;
    BuildObserver buildObserver(rooms_.stopping, observer, state, wanted);
    const std::function<bool()> running = [&] { return buildObserver.IsRunning(); };
    uint64_t working = 0;
    const BuildPlan plan = Plan(version, header, &working);
    IndexBuild build;
    const bool reserved = rooms_.cache.Reserve(working, running);
    if (reserved) {
        build = BuildIndex(path, version, plan, buildObserver);
    } else {
        build.status = Status::Stop();
    }
    if (!plan.walkOnly) engineBusy_ = false;
    if (build.ok) {
        Adopt(version, state, build);
        if (built) *built = true;
    }
    const Status failure = build.status;
    build = IndexBuild{};
    // A large build's working memory is free again; it goes back before the cache regrows.
    if (version.size > kLargeBuild || header.sourceSize > kLargeBuild) {
        platform::ReleaseFreeMemory();
    }
    if (reserved) rooms_.cache.Unreserve(working);
    if (!failure.ok()) rooms_.table.Fail(version, state, failure);
}

bool BuildRunner::UseKept(const platform::FileVersion& version, const ArchiveHeader& header,
                          ArchiveState& state) {
    auto index = std::make_shared<ArchiveIndex>();
    const IndexStore::LoadStatus loaded = rooms_.store.Load(version, index.get());
    // A kept index whose header fields disagree with the archive's own is not used.
    if (loaded == IndexStore::LoadStatus::Loaded && index->headerLength == header.headerLength &&
        index->sourceSize == header.sourceSize && index->deltaMode == header.deltaMode) {
        rooms_.table.Install(state, std::move(index), true);
        return true;
    }
    if (loaded == IndexStore::LoadStatus::NotPrivate) {
        const std::string& folder = rooms_.store.folder();
        rooms_.log.Once("private " + folder,
                        folder +
                            ": not yours alone (another user's, or writable by others); no "
                            "index kept there is used");
    }
    return false;
}

BuildPlan BuildRunner::Plan(const platform::FileVersion& version, const ArchiveHeader& header,
                            uint64_t* working) {
    const uint64_t bound = rooms_.cache.bound();
    // What the build restores is kept when the whole file fits an eighth of the cache: a small
    // file is then read without being decoded a second time.
    const uint64_t keep = header.sourceSize <= bound / 8 ? header.sourceSize : 0;
    BuildPlan plan;
    plan.keepRestored = keep;
    plan.walkOnly = true;
    plan.decoders = &rooms_.decoders;
    *working = std::min(version.size - header.headerLength, kWalkWindow) + keep;
    if (header.sourceSize <= kSmallBuild) return plan;
    // One engine pass at a time, on as many threads as the bound leaves room for; any other
    // build walks, so that no open waits for another archive's pass.
    const uint64_t room = bound - std::min<uint64_t>(bound, rooms_.decoders.size() * kDecoderBytes);
    uint32_t threads = 0;
    for (uint32_t t = 2; t <= std::max<uint32_t>(threads_, 2); ++t) {
        if (EngineWorking(t) + keep <= room) threads = t;
    }
    bool idle = false;
    if (threads != 0 && engineBusy_.compare_exchange_strong(idle, true)) {
        plan.walkOnly = false;
        plan.threads = threads;
        *working = EngineWorking(threads) + keep;
    }
    return plan;
}

void BuildRunner::Adopt(const platform::FileVersion& version, ArchiveState& state,
                        IndexBuild& build) {
    auto index = std::make_shared<const ArchiveIndex>(std::move(build.index));
    const uint64_t generation = rooms_.table.Install(state, index, false);
    rooms_.reader.KeepRestored(version, generation, *index, build.restoredStart);
    build.restoredStart = std::vector<uint8_t>();
    std::string unsaved;
    const std::string& folder = rooms_.store.folder();
    if (IndexStore::Keeps(*index) && !folder.empty() && !rooms_.store.Save(*index, &unsaved)) {
        rooms_.log.Once("save " + folder, folder + ": indexes can't be kept there (" + unsaved +
                                              "); archives are indexed again at each mount");
    }
}

bool BuildRunner::RebuildOnce(OpenArchive& archive,
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
    rooms_.log.Once(FaultLog::Key("rebuild", archive.path, archive.version),
                    archive.path + ": its kept index disagrees with the archive; indexed again");
    ArchiveHeader header;
    const Status read = ReadArchiveHeaderAt(archive.file, &header);
    if (read.ok()) {
        Build(archive.path, archive.version, header, state, nullptr, {}, true, nullptr);
    } else {
        rooms_.table.Fail(archive.version, state, read);
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.index) {
        rooms_.log.Once(FaultLog::Key("index", archive.path, archive.version),
                        archive.path + ": can't be read (" + state.failure.message() +
                            "); reading it gives EIO");
    }
    return state.index != nullptr;
}

}  // namespace kavrin
