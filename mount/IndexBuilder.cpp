// SPDX-License-Identifier: MIT
#include "mount/IndexBuilder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/format/ArchiveFormat.h"

namespace kavrin {
namespace {

// The walk loads its window again once less than this is left ahead of a block: a bzip2 block
// at level 9 takes at most about 1 MB, so its end lies inside.
constexpr uint64_t kWalkAhead = kWalkWindow / 2;
// Bits of an end magic and the stream CRC after it.
constexpr uint64_t kTrailerBits = kMagicBits + kCrcBits;

// One block placed: its bits, its output, the restored bytes before it and its CRC.
struct Placed {
    uint64_t startBit = 0, endBit = 0, offset = 0, length = 0;
    uint8_t lead[kDeltaLeadBytes] = {};
    uint32_t crc = 0;
};

// Gathers placed blocks and whole streams into spans (ArchiveIndex.h), in payload order. A
// stream is held back while it is small enough to be gathered whole; once it is not, its blocks
// are gathered among themselves.
class SpanCollector {
public:
    explicit SpanCollector(std::vector<IndexedSpan>& spans) : spans_(spans) {}

    // A stream opens at `startBit`: 0 for the payload's first, else the bit of its header.
    void StreamStarts(uint64_t startBit) {
        streamStart_ = startBit;
        streamSmall_ = true;
        streamRestored_ = 0;
        pending_.clear();
    }
    void Block(const Placed& block) {
        if (!streamSmall_) {
            AddBlock(block);
            return;
        }
        pending_.push_back(block);
        streamRestored_ += block.length;
        if (block.endBit - streamStart_ > 8 * kSpanPayloadBytes ||
            streamRestored_ > kSpanRestoredBytes) {
            streamSmall_ = false;
            Close();
            for (const Placed& held : pending_) AddBlock(held);
            pending_.clear();
        }
    }
    // The stream ends: its end magic and CRC end before payload byte `endByte`.
    void StreamEnds(uint64_t endByte) {
        const uint64_t endBit = 8 * endByte;
        if (!streamSmall_) {
            Close();  // its last span ends at its end magic
        } else if (pending_.empty()) {
            // A stream without blocks restores nothing: inside a span of streams it is decoded
            // on the way, elsewhere it lies between spans.
            if (open_ && open_->kind == SpanKind::Streams &&
                endBit - open_->startBit <= 8 * kSpanPayloadBytes) {
                open_->endBit = endBit;
            }
        } else if (open_ && open_->kind == SpanKind::Streams &&
                   endBit - open_->startBit <= 8 * kSpanPayloadBytes &&
                   openRestored_ + streamRestored_ <= kSpanRestoredBytes) {
            open_->endBit = endBit;
            openRestored_ += streamRestored_;
        } else {
            Close();
            Open(streamStart_, endBit, pending_.front(), SpanKind::Streams, streamRestored_);
        }
        pending_.clear();
        streamSmall_ = true;
    }
    void Finish() { Close(); }

private:
    void AddBlock(const Placed& block) {
        if (open_ && open_->kind == SpanKind::Blocks &&
            block.endBit - open_->startBit <= 8 * kSpanPayloadBytes &&
            openRestored_ + block.length <= kSpanRestoredBytes) {
            open_->endBit = block.endBit;
            open_->blocksCrc = CombineBlockCrc(open_->blocksCrc, block.crc);
            openRestored_ += block.length;
            return;
        }
        Close();
        Open(block.startBit, block.endBit, block, SpanKind::Blocks, block.length);
        open_->blocksCrc = block.crc;
    }
    void Open(uint64_t startBit, uint64_t endBit, const Placed& first, SpanKind kind,
              uint64_t restored) {
        open_ = IndexedSpan{};
        open_->startBit = startBit;
        open_->endBit = endBit;
        open_->restoredOffset = first.offset;
        std::memcpy(open_->lead, first.lead, kDeltaLeadBytes);
        open_->kind = kind;
        openRestored_ = restored;
    }
    void Close() {
        if (open_) spans_.push_back(*open_);
        open_.reset();
    }

    std::vector<IndexedSpan>& spans_;
    std::optional<IndexedSpan> open_;
    uint64_t openRestored_ = 0;
    uint64_t streamStart_ = 0;
    bool streamSmall_ = true;
    uint64_t streamRestored_ = 0;
    std::vector<Placed> pending_;
};

// Restores a block through the delta filter, keeping its last restored bytes and, up to
// `keepUpTo` of the file, the restored bytes themselves.
class Restorer {
public:
    Restorer(DeltaMode mode, uint64_t fileSize, std::vector<uint8_t>& kept, uint64_t keepUpTo)
        : mode_(mode), fileSize_(fileSize), kept_(kept), keepUpTo_(keepUpTo) {}
    // The block restoring from `offset` after the restored bytes `lead`; its last ones in *tail.
    void Restore(const CompactBlock& block, uint64_t offset, const uint8_t* lead,
                 RestoredTail* tail) {
        DeltaResume delta(mode_, fileSize_, offset, lead);
        tail->length = static_cast<size_t>(std::min<uint64_t>(offset, kDeltaLeadBytes));
        std::memcpy(tail->bytes, lead, tail->length);
        piece_.resize(kChunkSize);
        RunCursor cursor;
        uint64_t at = offset;
        for (uint64_t left = block.restoredLength; left > 0;) {
            const size_t n = ExpandRuns(block.compact(), block.length, cursor, piece_.data(),
                                        static_cast<size_t>(std::min<uint64_t>(left, kChunkSize)));
            if (n == 0) break;
            delta.Decode(piece_.data(), n);
            tail->Push(piece_.data(), n);
            if (at < keepUpTo_) {
                const size_t keep = static_cast<size_t>(std::min<uint64_t>(n, keepUpTo_ - at));
                kept_.insert(kept_.end(), piece_.begin(), piece_.begin() + keep);
            }
            at += n;
            left -= n;
        }
    }

private:
    DeltaMode mode_;
    uint64_t fileSize_;
    std::vector<uint8_t>& kept_;
    uint64_t keepUpTo_;
    std::vector<uint8_t> piece_;
};

// A decoder of the build's own, when the caller lends none.
class OwnDecoder : public DecoderSource {
public:
    BlockDecoder* Take() override { return &decoder_; }
    void Give(BlockDecoder*) override {}

private:
    BlockDecoder decoder_;
};

struct Failure {
    std::string why;
    int systemError = 0;  // 0: the archive's own damage
};

// Keeps what the pass reports, and the restored bytes before each reported block. Blocks go on
// to the collector as soon as their lead is known, all but the last one reported, which the
// walk may have to take up; so only a few are held at any time.
class Recorder : public ExpansionListener {
public:
    Recorder(platform::FileHandle file, uint32_t headerLength, std::vector<uint8_t>& start,
             uint64_t keep, SpanCollector& collector)
        : file_(file),
          headerLength_(headerLength),
          start_(start),
          keep_(keep),
          collector_(collector) {}

    void OnBlock(uint64_t startBit, uint64_t endBit, uint64_t offset, uint64_t length) override {
        if (reported_ > 0 && (offset <= lastOffset_ || (lastLength_ != kUnknownBlockOutput &&
                                                        offset != lastOffset_ + lastLength_))) {
            outOfOrder = true;
        }
        ++reported_;
        lastOffset_ = offset;
        lastLength_ = length;
        Reported block;
        block.placed.startBit = startBit;
        block.placed.endBit = endBit;
        block.placed.offset = offset;
        block.placed.length = length;
        blocks_.push_back(block);
        if (offset <= restored) Resolve(blocks_.back(), nullptr, 0);
        Pass(false);
    }
    void OnRestored(const uint8_t* bytes, size_t length) override {
        for (Reported& block : blocks_) {
            if (!block.leadKnown && block.placed.offset <= restored + length) {
                Resolve(block, bytes, length);
            }
        }
        if (restored < keep_) {
            start_.insert(start_.end(), bytes,
                          bytes + std::min<uint64_t>(length, keep_ - restored));
        }
        tail_.Push(bytes, length);
        restored += length;
        Pass(false);
    }

    // Hands the collector every block with a known lead (but the last one, unless `all`),
    // with its CRC read from the payload. False when a read failed.
    bool Pass(bool all) {
        while (!readFailed_ && blocks_.size() > (all ? 0u : 1u) && blocks_.front().leadKnown) {
            Placed& placed = blocks_.front().placed;
            uint8_t crc[5];
            const uint64_t at = placed.startBit + kMagicBits;
            if (platform::ReadAt(file_, crc, sizeof crc, headerLength_ + at / 8) !=
                static_cast<int64_t>(sizeof crc)) {
                readFailed_ = true;
                break;
            }
            placed.crc = static_cast<uint32_t>(ReadBits(crc, at % 8, kCrcBits));
            collector_.Block(placed);
            blocks_.pop_front();
        }
        return !readFailed_;
    }
    // The last block reported, not handed on yet; null when none was reported.
    const Placed* Last() const {
        return reported_ == 0 || blocks_.empty() ? nullptr : &blocks_.back().placed;
    }
    // Whether every block reported but the last has been handed on.
    bool AllButLastPassed() const {
        return reported_ == 0 || (blocks_.size() == 1 && blocks_.back().leadKnown);
    }

    uint64_t restored = 0;
    bool outOfOrder = false;

private:
    struct Reported {
        Placed placed;
        bool leadKnown = false;
    };
    // The lead of a block at or after `restored`, from the kept tail and the chunk now seen.
    void Resolve(Reported& block, const uint8_t* bytes, size_t length) {
        const uint64_t offset = block.placed.offset;
        if (offset < restored || offset > restored + length) return;
        const uint64_t count = std::min<uint64_t>(offset, kDeltaLeadBytes);
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t at = offset - count + k;
            block.placed.lead[k] =
                at >= restored ? bytes[at - restored] : tail_.bytes[tail_.length - (restored - at)];
        }
        block.leadKnown = true;
    }

    platform::FileHandle file_;
    uint32_t headerLength_;
    std::deque<Reported> blocks_;  // reported, not yet handed on
    uint64_t reported_ = 0;
    uint64_t lastOffset_ = 0;
    uint64_t lastLength_ = 0;
    bool readFailed_ = false;
    RestoredTail tail_;
    std::vector<uint8_t>& start_;
    uint64_t keep_;
    SpanCollector& collector_;
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
           EngineObserver& observer, DecoderSource& decoders, SpanCollector& collector,
           std::vector<uint8_t>& kept, uint64_t keepUpTo)
        : file_(file),
          header_(header),
          payloadBytes_(payloadBytes),
          observer_(observer),
          decoders_(decoders),
          collector_(collector),
          restorer_(static_cast<DeltaMode>(header.deltaMode), header.sourceSize, kept, keepUpTo) {}

    bool Walk(WalkState state, uint32_t* walked, Failure* failure);

private:
    // Makes the window start at the byte of `bit`.
    bool Load(uint64_t bit) {
        base_ = bit / 8;
        const uint64_t want = std::min<uint64_t>(kWalkWindow, payloadBytes_ - base_);
        window_.Clear();
        if (!window_.Reserve(want + 8)) return false;
        const int64_t got =
            platform::ReadAt(file_, window_.data(), want, header_.headerLength + base_);
        if (got != static_cast<int64_t>(want)) return false;
        window_.Commit(want);
        return true;
    }
    // Keeps a block starting at `bit` inside the window with room for its end after it.
    bool Cover(uint64_t bit) {
        const uint64_t end = base_ + window_.size();
        if (window_.size() > 0 && bit / 8 >= base_ &&
            (end == payloadBytes_ || (bit / 8 < end && end - bit / 8 >= kWalkAhead))) {
            return true;
        }
        return Load(bit);
    }
    bool Holds(uint64_t bit, uint64_t bits) const {
        return bit + bits <= 8 * (base_ + window_.size());
    }
    uint64_t Bits(uint64_t bit, unsigned count) const {
        return ReadBits(window_.data(), bit - 8 * base_, count);
    }

    platform::FileHandle file_;
    const ArchiveHeader& header_;
    uint64_t payloadBytes_;
    EngineObserver& observer_;
    DecoderSource& decoders_;
    SpanCollector& collector_;
    Restorer restorer_;
    ByteBuffer window_;
    uint64_t base_ = 0;  // payload byte of window_[0]
};

bool Walker::Walk(WalkState s, uint32_t* walked, Failure* failure) {
    const uint64_t size = header_.sourceSize;
    const auto fail = [&](std::string why, int error = 0) {
        failure->why = std::move(why);
        failure->systemError = error;
        return false;
    };
    uint32_t level = 9;  // the block size the current stream's header gives
    for (;;) {
        if (!observer_.IsRunning()) return fail("stopped");
        if (!Cover(s.bit)) return fail("read error", errno != 0 ? errno : EIO);
        if (!Holds(s.bit, kMagicBits + kCrcBits)) {
            return fail(DescribeEngineError(EngineError::StreamTruncated));
        }
        const uint64_t magic = Bits(s.bit, kMagicBits);
        if (magic == kEndMagic) {
            if (s.crcKnown && Bits(s.bit + kMagicBits, kCrcBits) != s.streamCrc) {
                return fail(DescribeEngineError(EngineError::StreamDamaged));
            }
            const uint64_t next = (s.bit + kTrailerBits + 7) / 8;
            if (s.restored == size) {
                // The archive ends with this stream: a byte after it is damage.
                if (next < payloadBytes_)
                    return fail(Status::TrailingBytes(payloadBytes_ - next).message());
                collector_.StreamEnds(next);
                return true;
            }
            // Another stream may follow at the next byte, with its own "BZh1".."BZh9".
            uint8_t head[4];
            const bool inWindow = next >= base_ && next + 4 <= base_ + window_.size();
            if (inWindow) std::memcpy(head, window_.data() + (next - base_), 4);
            if (next + 4 > payloadBytes_ ||
                (!inWindow && platform::ReadAt(file_, head, 4, header_.headerLength + next) != 4) ||
                StreamHeaderLevel(head) == 0) {
                return fail("damaged archive: it restores " + std::to_string(s.restored) +
                            " bytes, but its header gives " + std::to_string(size));
            }
            collector_.StreamEnds(next);
            collector_.StreamStarts(8 * next);
            level = StreamHeaderLevel(head);
            s.bit = 8 * (next + 4);
            s.streamCrc = 0;
            s.crcKnown = true;
            continue;
        }
        if (magic != kBlockMagic) return fail(DescribeEngineError(EngineError::StreamDamaged));
        if (s.restored == size) {
            return fail("damaged archive: it holds more than the " + std::to_string(size) +
                        " bytes its header gives");
        }
        BlockDecoder* decoder = decoders_.Take();
        const CompactBlock* block = nullptr;
        BlockVerdict verdict = decoder->DecodeBlock(window_.data() + (s.bit / 8 - base_), s.bit,
                                                    8 * (base_ + window_.size()), &block, level);
        // A block longer than the window ahead of it: once more from its own start.
        if (verdict == BlockVerdict::Truncated && base_ != s.bit / 8 &&
            base_ + window_.size() < payloadBytes_) {
            if (!Load(s.bit)) {
                decoders_.Give(decoder);
                return fail("read error", errno != 0 ? errno : EIO);
            }
            verdict = decoder->DecodeBlock(window_.data(), s.bit, 8 * (base_ + window_.size()),
                                           &block, level);
        }
        if (verdict != BlockVerdict::Ok || block->restoredLength > size - s.restored) {
            decoders_.Give(decoder);
            if (verdict == BlockVerdict::NoMemory) return fail("not enough memory", ENOMEM);
            if (verdict == BlockVerdict::Truncated) {
                return fail(DescribeEngineError(EngineError::StreamTruncated));
            }
            if (verdict == BlockVerdict::Ok) {
                return fail("damaged archive: it holds more than the " + std::to_string(size) +
                            " bytes its header gives");
            }
            return fail(DescribeEngineError(EngineError::StreamDamaged));
        }
        Placed placed;
        placed.startBit = s.bit;
        placed.endBit = block->endBit;
        placed.offset = s.restored;
        placed.length = block->restoredLength;
        placed.crc = block->storedCrc;
        std::memcpy(placed.lead, s.lead, sizeof s.lead);
        RestoredTail tail;
        restorer_.Restore(*block, s.restored, s.lead, &tail);
        decoders_.Give(decoder);
        collector_.Block(placed);
        ++*walked;
        s.restored += placed.length;
        std::memcpy(s.lead, tail.bytes, sizeof s.lead);
        s.streamCrc = CombineBlockCrc(s.streamCrc, placed.crc);
        s.bit = placed.endBit;
    }
}

bool Fail(IndexBuild& build, std::string why, int systemError = 0) {
    build.ok = false;
    build.why = std::move(why);
    build.systemError = systemError;
    build.stopped = build.why == "stopped";
    return false;
}

bool Run(const std::string& path, const platform::FileVersion& version, const BuildPlan& plan,
         EngineObserver& observer, IndexBuild& build) {
    struct Closing {
        platform::FileHandle file = platform::kInvalidFile;
        ~Closing() { platform::CloseFile(file); }
    } archive;
    archive.file = platform::OpenShared(path);
    platform::FileVersion now;
    if (archive.file == platform::kInvalidFile || !platform::VersionOf(archive.file, &now)) {
        return Fail(build, "can't open the archive", errno != 0 ? errno : EIO);
    }
    if (!(now == version)) return Fail(build, "the archive changed", ESTALE);
    ArchiveHeader header;
    switch (ReadArchiveHeader(archive.file, &header)) {
        case HeaderStatus::Ok:
            break;
        case HeaderStatus::ReadError:
            return Fail(build, "read error", errno != 0 ? errno : EIO);
        default:
            return Fail(build, "bad file format");
    }
    if (!IsStoredDeltaMode(header.deltaMode)) {
        return Fail(build, Status::UnknownMode(header.deltaMode).message());
    }
    const uint64_t payloadBytes = version.size - header.headerLength;
    const uint64_t size = header.sourceSize;
    ArchiveIndex& index = build.index;
    index.version = version;
    index.headerLength = header.headerLength;
    index.sourceSize = header.sourceSize;
    index.deltaMode = header.deltaMode;
    SpanCollector collector(index.spans);
    collector.StreamStarts(0);
    OwnDecoder own;
    DecoderSource& decoders = plan.decoders != nullptr ? *plan.decoders : own;
    const uint64_t keep = std::min<uint64_t>(plan.keepRestored, size);
    WalkState start;
    bool walk = true;

    if (!plan.walkOnly) {
        EngineContextPtr engine = CreateEngineContext();
        if (!engine) return Fail(build, "not enough memory", ENOMEM);
        if (!platform::SeekTo(archive.file, 0)) {
            return Fail(build, "read error", errno != 0 ? errno : EIO);
        }
        // Room for the restored start at once: growing it chunk by chunk would map and unmap
        // it again and again.
        build.restoredStart.reserve(keep);
        Recorder recorder(archive.file, header.headerLength, build.restoredStart, keep, collector);
        // One thread reports no blocks.
        SetEngineThreads(*engine, std::max<uint32_t>(plan.threads, 2));
        DiscardSink nowhere;
        const JobOutcome outcome = ExpandJob(*engine, archive.file, nowhere, observer, &recorder);
        build.stats = LastPassStats(*engine);
        if (outcome.result == JobResult::Cancelled) return Fail(build, "stopped");
        if (outcome.result != JobResult::Done) {
            const Status& status = outcome.status;
            return Fail(build, status.message(), status.IsMachine() ? status.systemError() : 0);
        }
        if (recorder.outOfOrder || !recorder.AllButLastPassed()) {
            return Fail(build, "the expansion pass reported blocks out of order");
        }
        const Placed* last = recorder.Last();
        if (last != nullptr && last->length != kUnknownBlockOutput &&
            last->offset + last->length > size) {
            return Fail(build, "the payload restores more than the header's " +
                                   std::to_string(size) + " bytes");
        }
        const bool complete = last != nullptr && !build.stats.sequentialTail &&
                              last->length != kUnknownBlockOutput &&
                              last->offset + last->length == size;
        if (complete) {
            // Every block was reported: the last one ends at the stream's end magic.
            const uint64_t endMagic = last->endBit;
            if (!recorder.Pass(true)) return Fail(build, "read error", errno != 0 ? errno : EIO);
            collector.StreamEnds((endMagic + kTrailerBits + 7) / 8);
            walk = false;
        } else if (last != nullptr) {
            // The walk goes on from the last block reported.
            start.bit = last->startBit;
            start.restored = last->offset;
            std::memcpy(start.lead, last->lead, kDeltaLeadBytes);
            start.crcKnown = false;  // the pass checked this stream's CRC
        } else if (size == 0 && recorder.restored == 0 && !build.stats.sequentialTail) {
            walk = false;  // an empty payload: the pass checked its end
        }
        if (!recorder.Pass(false)) return Fail(build, "read error", errno != 0 ? errno : EIO);
        // The walk keeps what it restores beyond what the pass kept.
        if (walk && start.restored < keep) build.restoredStart.resize(start.restored);
    } else {
        build.restoredStart.reserve(keep);
    }
    if (walk) {
        Walker walker(archive.file, header, payloadBytes, observer, decoders, collector,
                      build.restoredStart, keep);
        Failure failure;
        if (!walker.Walk(start, &build.walkedBlocks, &failure)) {
            return Fail(build, failure.why, failure.systemError);
        }
    }
    collector.Finish();
    if (!IndexHoldsTogether(index)) return Fail(build, "the index does not hold together");
    if (!platform::VersionOf(archive.file, &now) || !(now == version)) {
        return Fail(build, "the archive changed while it was indexed", ESTALE);
    }
    build.ok = true;
    return true;
}

}  // namespace

IndexBuild BuildIndex(const std::string& path, const platform::FileVersion& version,
                      const BuildPlan& plan, EngineObserver& observer) {
    IndexBuild build;
    errno = 0;
    Run(path, version, plan, observer, build);
    if (!build.ok) build.restoredStart.clear();
    return build;
}

}  // namespace kavrin
