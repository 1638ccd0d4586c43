// SPDX-License-Identifier: MIT
// Listens to the engine's expansion pass for an index build: keeps the blocks it reports and
// the restored bytes before each, and hands blocks to the span collector as soon as their lead
// is known, all but the last one reported, which the walk may have to take up; so only a few
// are held at any time. Also keeps the file's first restored bytes when asked to.
//
// Called on the pass's thread that reports, then on the build's thread.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "engine/ExpansionListener.h"
#include "mount/SpanCollector.h"
#include "platform/File.h"

namespace kavrin {

class PassRecorder : public ExpansionListener {
public:
    // `file` is the archive (its header `headerLength` bytes long): each block's CRC is read
    // from it. The first `keep` restored bytes go to `start`.
    PassRecorder(platform::FileHandle file, uint32_t headerLength, std::vector<uint8_t>& start,
                 uint64_t keep, SpanCollector& collector);

    void OnBlock(uint64_t startBit, uint64_t endBit, uint64_t offset, uint64_t length) override;
    void OnRestored(const uint8_t* bytes, size_t length) override;

    // Hands the collector every block with a known lead (but the last one, unless `all`),
    // with its CRC read from the payload. False when a read failed (errno says why).
    bool Pass(bool all);
    // The last block reported, not handed on yet; null when none was reported.
    const Placed* Last() const {
        return reported_ == 0 || blocks_.empty() ? nullptr : &blocks_.back().placed;
    }
    // Whether every block reported but the last has been handed on.
    bool AllButLastPassed() const {
        return reported_ == 0 || (blocks_.size() == 1 && blocks_.back().leadKnown);
    }

    uint64_t restored = 0;    // the restored bytes reported so far
    bool outOfOrder = false;  // a block was reported before one it follows

private:
    struct Reported {
        Placed placed;
        bool leadKnown = false;
    };
    // The lead of a block at or after `restored`, from the kept tail and the chunk now seen.
    void Resolve(Reported& block, const uint8_t* bytes, size_t length);

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

}  // namespace kavrin
