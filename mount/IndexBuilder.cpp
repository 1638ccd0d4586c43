// SPDX-License-Identifier: MIT
#include "mount/IndexBuilder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/PassRecorder.h"

namespace kavrin {
namespace {

// Bits of an end magic and the stream CRC after it.
constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;

Status ReadFailure() {
    return Status::Engine(EngineError::ReadError, errno != 0 ? errno : EIO);
}

// Damage no archive writer makes, found by checks of the build's own.
Status Inconsistent(const char* what) {
    return Status::Failure(FailureKind::Damage, what);
}

// A decoder of the build's own, when the caller lends none.
class OwnDecoder : public DecoderSource {
public:
    BlockDecoder* Take() override { return &decoder_; }
    void Give(BlockDecoder*) override {}

private:
    BlockDecoder decoder_;
};

struct Closing {
    platform::FileHandle file = platform::kInvalidFile;
    ~Closing() { platform::CloseFile(file); }
};

// Opens the archive at `path`, checks that it is still `version` and reads its header.
Status OpenChecked(const std::string& path, const platform::FileVersion& version, Closing& archive,
                   ArchiveHeader* header) {
    archive.file = platform::OpenShared(path);
    platform::FileVersion now;
    if (archive.file == platform::kInvalidFile || !platform::VersionOf(archive.file, &now)) {
        return Status::System(errno, "can't open the archive");
    }
    if (!(now == version)) {
        return Status::Failure(FailureKind::Machine, "the archive changed", ESTALE);
    }
    return ReadArchiveHeaderAt(archive.file, header);
}

// The engine's pass over the archive: places every block it reports. `*walk` tells whether a
// walk must go on from `*start` for what the pass did not report.
Status RunPass(platform::FileHandle file, const ArchiveHeader& header, const BuildPlan& plan,
               uint64_t keep, EngineObserver& observer, SpanCollector& collector, IndexBuild& build,
               WalkState* start, bool* walk) {
    const uint64_t size = header.sourceSize;
    EngineContextPtr engine = CreateEngineContext();
    if (!engine) return Status::Engine(EngineError::CodecMemory);
    if (!platform::SeekTo(file, 0)) return ReadFailure();
    // Room for the restored start at once: growing it chunk by chunk would map and unmap it
    // again and again.
    build.restoredStart.reserve(keep);
    PassRecorder recorder(file, header.headerLength, build.restoredStart, keep, collector);
    // One thread reports no blocks.
    SetEngineThreads(*engine, std::max<uint32_t>(plan.threads, 2));
    DiscardSink nowhere;
    const JobOutcome outcome = ExpandJob(*engine, file, nowhere, observer, &recorder);
    build.stats = LastPassStats(*engine);
    if (outcome.result == JobResult::Cancelled) return Status::Stop();
    if (outcome.result != JobResult::Done) return outcome.status;
    if (recorder.outOfOrder || !recorder.AllButLastPassed()) {
        return Inconsistent("the expansion pass reported blocks out of order");
    }
    const Placed* last = recorder.Last();
    if (last != nullptr && last->length != kUnknownBlockOutput &&
        last->offset + last->length > size) {
        return Status::SizeLong(size);
    }
    const bool complete = last != nullptr && !build.stats.sequentialTail &&
                          last->length != kUnknownBlockOutput &&
                          last->offset + last->length == size;
    *walk = true;
    if (complete) {
        // Every block was reported: the last one ends at the stream's end magic.
        const uint64_t endMagic = last->endBit;
        if (!recorder.Pass(true)) return ReadFailure();
        collector.StreamEnds((endMagic + kTrailerBits + 7) / 8);
        *walk = false;
    } else if (last != nullptr) {
        // The walk goes on from the last block reported.
        start->bit = last->startBit;
        start->restored = last->offset;
        std::memcpy(start->lead, last->lead, kDeltaLeadBytes);
        start->crcKnown = false;  // the pass checked this stream's CRC
    } else if (size == 0 && recorder.restored == 0 && !build.stats.sequentialTail) {
        *walk = false;  // an empty payload: the pass checked its end
    }
    if (!recorder.Pass(false)) return ReadFailure();
    // The walk keeps what it restores beyond what the pass kept.
    if (*walk && start->restored < keep) build.restoredStart.resize(start->restored);
    return Status();
}

Status Run(const std::string& path, const platform::FileVersion& version, const BuildPlan& plan,
           EngineObserver& observer, IndexBuild& build) {
    Closing archive;
    ArchiveHeader header;
    if (Status opened = OpenChecked(path, version, archive, &header); !opened.ok()) return opened;
    ArchiveIndex& index = build.index;
    index.version = version;
    index.headerLength = header.headerLength;
    index.sourceSize = header.sourceSize;
    index.deltaMode = header.deltaMode;
    SpanCollector collector(index.spans);
    collector.StreamStarts(0);
    const uint64_t keep = std::min<uint64_t>(plan.keepRestored, header.sourceSize);
    WalkState start;
    bool walk = true;
    if (!plan.walkOnly) {
        const Status passed =
            RunPass(archive.file, header, plan, keep, observer, collector, build, &start, &walk);
        if (!passed.ok()) return passed;
    } else {
        build.restoredStart.reserve(keep);
    }
    if (walk) {
        OwnDecoder own;
        PayloadWalker walker(archive.file, header, version.size - header.headerLength, observer,
                             plan.decoders != nullptr ? *plan.decoders : own, collector,
                             build.restoredStart, keep);
        if (Status walked = walker.Walk(start, &build.walkedBlocks); !walked.ok()) return walked;
    }
    collector.Finish();
    if (!IndexHoldsTogether(index)) return Inconsistent("the index does not hold together");
    platform::FileVersion now;
    if (!platform::VersionOf(archive.file, &now) || !(now == version)) {
        return Status::Failure(FailureKind::Machine, "the archive changed while it was indexed",
                               ESTALE);
    }
    return Status();
}

}  // namespace

IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      const BuildPlan& plan, EngineObserver& observer) {
    IndexBuild build;
    errno = 0;
    build.status = Run(path, version, plan, observer, build);
    build.ok = build.status.ok();
    if (!build.ok) build.restoredStart.clear();
    return build;
}

}  // namespace kavrin
