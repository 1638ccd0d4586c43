// SPDX-License-Identifier: MIT
#include "mount/SpanReader.h"

#include <algorithm>
#include <cstring>

#include "platform/PageBuffer.h"

namespace kavrin {
namespace {

bool SameLead(const RestoredTail& tail, const IndexedSpan& span) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(span.restoredOffset, 8));
    return tail.length == length && std::memcmp(tail.bytes, span.lead, length) == 0;
}

// Whether span `j`'s lead agrees with the tail of span j - 1, as far as it is known.
bool LeadAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j) {
    if (j == 0) return true;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.index.get() != &index || !state.tailKnown[j - 1]) return true;
    return SameLead(state.tails[j - 1], index.spans[j]);
}

// Records span `j`'s tail; whether it agrees with the lead of span j + 1.
bool TailAgrees(ArchiveState& state, const ArchiveIndex& index, size_t j,
                const RestoredTail& tail) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.index.get() != &index) return true;
    state.tails[j] = tail;
    state.tailKnown[j] = true;
    return j + 1 == index.spans.size() || SameLead(tail, index.spans[j + 1]);
}

}  // namespace

SpanReader::Result SpanReader::Span(OpenArchive& archive, const ArchiveIndex& index,
                                    uint64_t generation, size_t j, bool wait) {
    const SpanKey key{archive.version, generation, j};
    const SpanCache::Found found = cache_.Find(key, cache_.PlannedCharge(index.SpanSize(j)), wait);
    if (!found.mine) return {found.entry, found.status};
    Result result = Decode(archive, index, j, *found.entry);
    cache_.Finish(key, found.entry, result.status);
    if (result.status == BlockStatus::Ok) result.entry = found.entry;
    return result;
}

SpanReader::Result SpanReader::Decode(OpenArchive& archive, const ArchiveIndex& index, size_t j,
                                      CachedSpan& entry) {
    Result result;
    if (!LeadAgrees(*archive.state, index, j)) {
        return {nullptr, BlockStatus::Damaged, true};
    }
    const IndexedSpan& span = index.spans[j];
    const uint64_t size = index.SpanSize(j);
    FormBuilder builder(static_cast<DeltaMode>(index.deltaMode), index.sourceSize,
                        span.restoredOffset, size, span.lead, KeepsCompact(size, cache_.bound()));
    BlockDecoder* decoder = decoders_.Take();
    ++decodes_;
    result.status = decoder->DecodeSpan(archive.file, index, j, builder);
    decoders_.Give(decoder);
    if (result.status == BlockStatus::Ok && !builder.Finish(&entry.form)) {
        result.status = BlockStatus::NoMemory;
    }
    if (result.status == BlockStatus::Ok &&
        !TailAgrees(*archive.state, index, j, entry.form.tail())) {
        result.status = BlockStatus::Damaged;
        result.inconsistent = true;
    }
    // What the threads' heaps keep free of their reads goes back after every decode (a span
    // takes tens of milliseconds; this, microseconds), so that the mount stays within its cache
    // and its decoders.
    platform::ReleaseFreeMemory();
    return result;
}

void SpanReader::KeepRestored(const platform::FileVersion& version, uint64_t generation,
                              const ArchiveIndex& index, const std::vector<uint8_t>& restored) {
    for (size_t j = 0; j < index.spans.size() && index.SpanEnd(j) <= restored.size(); ++j) {
        const uint64_t from = index.spans[j].restoredOffset;
        const uint64_t size = index.SpanSize(j);
        const SpanKey key{version, generation, j};
        if (KeepsCompact(size, cache_.bound()) || cache_.Holds(key)) continue;
        auto entry = std::make_shared<CachedSpan>();
        if (!SpanForm::FromRestored(restored.data() + from, size, from, index.spans[j].lead,
                                    &entry->form)) {
            return;
        }
        cache_.Keep(key, std::move(entry));
    }
}

}  // namespace kavrin
