#include "mount/IndexBuilder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/ArchiveFormat.h"
#include "engine/BlockCrc.h"
#include "engine/JobProcedures.h"
#include "engine/StreamBits.h"
#include "mount/BlockDecode.h"

namespace kavrin {
namespace {

// The walk reads this much from a block's start: a bzip2 block at level 9 takes at most about
// 1 MB, so its end always lies inside.
constexpr size_t kWalkWindow = 2 << 20;
// Decodes a walk tries for one block before it gives up: each false magic inside a block's
// data costs one.
constexpr int kWalkAttempts = 32;

struct Reported {
    uint64_t startBit, endBit, offset, length;
    bool leadKnown = false;
    uint8_t lead[kDeltaLeadBytes] = {};
};

// Keeps what the pass reports, and the restored bytes before each reported block.
class Recorder : public ExpansionListener {
public:
    Recorder(std::vector<uint8_t>& start, uint64_t keep) : start_(start), keep_(keep) {}

    void OnBlock(uint64_t startBit, uint64_t endBit, uint64_t offset, uint64_t length) override {
        blocks.push_back({startBit, endBit, offset, length});
        if (offset <= restored) Resolve(blocks.back(), nullptr, 0);
    }
    void OnRestored(const uint8_t* bytes, size_t length) override {
        for (size_t j = firstPending_; j < blocks.size(); ++j) {
            if (!blocks[j].leadKnown && blocks[j].offset <= restored + length) {
                Resolve(blocks[j], bytes, length);
            }
        }
        while (firstPending_ < blocks.size() && blocks[firstPending_].leadKnown) ++firstPending_;
        if (restored < keep_) {
            start_.insert(start_.end(), bytes,
                          bytes + std::min<uint64_t>(length, keep_ - restored));
        }
        tail_.Push(bytes, length);
        restored += length;
    }

    std::vector<Reported> blocks;
    uint64_t restored = 0;

private:
    // The lead of a block at or after `restored`, from the kept tail and the chunk now seen.
    void Resolve(Reported& block, const uint8_t* bytes, size_t length) {
        if (block.offset < restored || block.offset > restored + length) return;
        const uint64_t count = std::min<uint64_t>(block.offset, kDeltaLeadBytes);
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t at = block.offset - count + k;
            block.lead[k] =
                at >= restored ? bytes[at - restored] : tail_.bytes[tail_.length - (restored - at)];
        }
        block.leadKnown = true;
    }

    RestoredTail tail_;
    size_t firstPending_ = 0;
    std::vector<uint8_t>& start_;
    uint64_t keep_;
};

// Where a walk starts: a block or end magic, the restored offset there, the restored bytes
// before it, and the combined CRC of its stream's blocks before it when it is known.
struct WalkState {
    uint64_t bit = 0;
    uint64_t restored = 0;
    uint8_t lead[kDeltaLeadBytes] = {};
    uint32_t streamCrc = 0;
    bool crcKnown = true;
};

class Walker {
public:
    Walker(platform::FileHandle file, const ArchiveHeader& header, uint64_t payloadBytes,
           EngineObserver& observer)
        : file_(file), header_(header), payloadBits_(8 * payloadBytes), observer_(observer) {}

    bool Walk(WalkState state, std::vector<IndexedBlock>* blocks, uint32_t* walked,
              std::string* why);

private:
    bool Load(uint64_t bit) {
        base_ = bit / 8;
        const uint64_t want = std::min<uint64_t>(kWalkWindow, payloadBits_ / 8 - base_);
        window_.Clear();
        if (!window_.Reserve(want + 8)) return false;
        const int64_t got =
            platform::ReadAt(file_, window_.data(), want, header_.headerLength + base_);
        if (got != static_cast<int64_t>(want)) return false;
        window_.Commit(want);
        return true;
    }
    bool Holds(uint64_t bit, uint64_t bits) const {
        return bit + bits <= 8 * (base_ + window_.size());
    }
    uint64_t Bits(uint64_t bit, unsigned count) const {
        return ReadBits(window_.data(), bit - 8 * base_, count);
    }

    platform::FileHandle file_;
    const ArchiveHeader& header_;
    uint64_t payloadBits_;
    EngineObserver& observer_;
    BlockDecoder decoder_;
    ByteBuffer window_;
    uint64_t base_ = 0;  // payload byte of window_[0]
    std::vector<MagicHit> hits_;
};

bool Walker::Walk(WalkState s, std::vector<IndexedBlock>* blocks, uint32_t* walked,
                  std::string* why) {
    const auto mode = static_cast<DeltaMode>(header_.deltaMode);
    const uint64_t size = header_.sourceSize;
    for (;;) {
        if (!observer_.IsRunning()) {
            *why = "stopped";
            return false;
        }
        if (!Load(s.bit)) {
            *why = "read error";
            return false;
        }
        if (!Holds(s.bit, kMagicBits + kCrcBits)) {
            *why = "truncated stream";
            return false;
        }
        const uint64_t magic = Bits(s.bit, kMagicBits);
        if (magic == kEndMagic) {
            if (s.crcKnown && Bits(s.bit + kMagicBits, kCrcBits) != s.streamCrc) {
                *why = "damaged stream (stream CRC error)";
                return false;
            }
            if (s.restored == size) return true;  // what follows is not read
            // Another stream may follow at the next byte, with its own "BZh1".."BZh9".
            const uint64_t next = (s.bit + kMagicBits + kCrcBits + 7) / 8;
            uint8_t head[4];
            if (next + 4 > payloadBits_ / 8 ||
                platform::ReadAt(file_, head, 4, header_.headerLength + next) != 4 ||
                std::memcmp(head, "BZh", 3) != 0 || head[3] < '1' || head[3] > '9') {
                *why = "the payload restores " + std::to_string(s.restored) +
                       " bytes, the header says " + std::to_string(size);
                return false;
            }
            s.bit = 8 * (next + 4);
            s.streamCrc = 0;
            s.crcKnown = true;
            continue;
        }
        if (magic != kBlockMagic) {
            *why = "damaged stream (no block where one must begin)";
            return false;
        }
        if (s.restored == size) {
            *why = "the payload restores more than the header's " + std::to_string(size) + " bytes";
            return false;
        }
        const auto blockCrc = static_cast<uint32_t>(Bits(s.bit + kMagicBits, kCrcBits));
        hits_.clear();
        const uint64_t from = s.bit - 8 * base_ + kMagicBits + kCrcBits;
        FindMagics(window_.data(), window_.size(), from / 8, window_.size(), &hits_);
        int attempts = 0;
        bool placed = false;
        for (const MagicHit& hit : hits_) {
            if (hit.bit < from) continue;
            if (++attempts > kWalkAttempts || !observer_.IsRunning()) break;
            const uint64_t end = hit.bit + 8 * base_;
            BlockOutput output;
            const BlockStatus status =
                decoder_.DecodeBits(window_.data(), s.bit, end, mode, size, s.restored, s.lead,
                                    size - s.restored, &output);
            if (status == BlockStatus::NoMemory) {
                *why = DescribeBlockStatus(status);
                return false;
            }
            if (status != BlockStatus::Ok) continue;
            IndexedBlock block;
            block.startBit = s.bit;
            block.endBit = end;
            block.restoredOffset = s.restored;
            std::memcpy(block.lead, s.lead, sizeof s.lead);
            blocks->push_back(block);
            ++*walked;
            s.restored += output.length;
            std::memcpy(s.lead, output.tail, sizeof s.lead);
            s.streamCrc = CombineBlockCrc(s.streamCrc, blockCrc);
            s.bit = end;
            placed = true;
            break;
        }
        if (!placed) {
            *why = observer_.IsRunning() ? "damaged stream (a block fails its CRC, or the "
                                           "payload restores more than the header's size)"
                                         : "stopped";
            return false;
        }
    }
}

bool Fail(IndexBuild& build, std::string why) {
    build.ok = false;
    build.why = std::move(why);
    return false;
}

bool Run(const std::string& path, const platform::FileVersion& version, uint32_t threads,
         EngineObserver& observer, uint64_t keepRestored, IndexBuild& build) {
    struct Closing {
        platform::FileHandle file = platform::kInvalidFile;
        ~Closing() { platform::CloseFile(file); }
    } archive, sink;
    archive.file = platform::OpenShared(path);
    platform::FileVersion now;
    if (archive.file == platform::kInvalidFile || !platform::VersionOf(archive.file, &now)) {
        return Fail(build, "can't open the archive");
    }
    if (!(now == version)) return Fail(build, "the archive changed");
    ArchiveHeader header;
    if (ReadArchiveHeader(archive.file, &header) != HeaderStatus::Ok) {
        return Fail(build, "bad file format");
    }
    const uint64_t payloadBytes = version.size - header.headerLength;

    std::unique_ptr<EngineContext> engine = EngineContext::Create();
    sink.file = platform::OpenNullSink();
    if (!engine || sink.file == platform::kInvalidFile || !platform::SeekTo(archive.file, 0)) {
        return Fail(build, "not enough memory");
    }
    // Room for the restored start at once: growing it chunk by chunk would map and unmap it
    // again and again.
    build.restoredStart.reserve(std::min<uint64_t>(keepRestored, header.sourceSize));
    Recorder recorder(build.restoredStart, keepRestored);
    engine->threads = std::max<uint32_t>(threads, 2);  // one thread reports no blocks
    engine->listener = &recorder;
    const JobOutcome outcome = ExpandJob(*engine, archive.file, sink.file, observer);
    build.stats = engine->passStats;
    if (outcome.result == JobResult::Cancelled) return Fail(build, "stopped");
    if (outcome.result != JobResult::Done) return Fail(build, DescribeEngineError(engine->error));

    ArchiveIndex& index = build.index;
    index.version = version;
    index.headerLength = header.headerLength;
    index.sourceSize = header.sourceSize;
    index.deltaMode = header.deltaMode;
    const uint64_t size = header.sourceSize;
    std::vector<Reported>& reported = recorder.blocks;
    for (size_t j = 0; j < reported.size(); ++j) {
        const Reported& block = reported[j];
        const bool inner = j + 1 < reported.size();
        if (!block.leadKnown || (inner && reported[j + 1].offset <= block.offset) ||
            (inner && block.length != kUnknownBlockOutput &&
             reported[j + 1].offset != block.offset + block.length)) {
            return Fail(build, "the expansion pass reported blocks out of order");
        }
    }
    const bool complete = !reported.empty() && !build.stats.sequentialTail &&
                          reported.back().length != kUnknownBlockOutput &&
                          reported.back().offset + reported.back().length == size;
    if (!reported.empty() && reported.back().length != kUnknownBlockOutput &&
        reported.back().offset + reported.back().length > size) {
        return Fail(build, "the payload restores more than the header's " + std::to_string(size) +
                               " bytes");
    }
    // Every block but the last reported one is placed; the walk goes on from that one.
    const size_t keep = complete ? reported.size() : reported.empty() ? 0 : reported.size() - 1;
    for (size_t j = 0; j < keep; ++j) {
        IndexedBlock block;
        block.startBit = reported[j].startBit;
        block.endBit = reported[j].endBit;
        block.restoredOffset = reported[j].offset;
        std::memcpy(block.lead, reported[j].lead, kDeltaLeadBytes);
        index.blocks.push_back(block);
    }
    const bool empty =
        size == 0 && reported.empty() && recorder.restored == 0 && !build.stats.sequentialTail;
    if (!complete && !empty) {
        WalkState start;
        if (!reported.empty()) {
            const Reported& last = reported.back();
            start.bit = last.startBit;
            start.restored = last.offset;
            std::memcpy(start.lead, last.lead, kDeltaLeadBytes);
            start.crcKnown = false;  // the pass checked this stream's CRC
        }
        Walker walker(archive.file, header, payloadBytes, observer);
        std::string why;
        if (!walker.Walk(start, &index.blocks, &build.walkedBlocks, &why)) {
            return Fail(build, why);
        }
    }
    if (!IndexHoldsTogether(index)) return Fail(build, "the index does not hold together");
    if (!platform::VersionOf(archive.file, &now) || !(now == version)) {
        return Fail(build, "the archive changed while it was indexed");
    }
    build.ok = true;
    return true;
}

}  // namespace

IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      uint32_t threads, EngineObserver& observer, uint64_t keepRestored) {
    IndexBuild build;
    Run(path, version, threads, observer, keepRestored, build);
    if (!build.ok) build.restoredStart.clear();
    return build;
}

}  // namespace kavrin
