// SPDX-License-Identifier: MIT
#include "mount/ArchiveIndex.h"

#include <algorithm>
#include <cstring>

#include "engine/codec/BlockCrc.h"

namespace kavrin {
namespace {

constexpr char kIndexMagic[4] = {'K', 'V', 'N', 'I'};
// Format 3 keeps the restored size and offsets in 8 bytes (format 2 had 4: archives of 4 GiB
// and more); an index of another format is refused and built again.
constexpr uint8_t kIndexFormat = 3;
constexpr size_t kFixedBytes = 4 + 4 + 4 + 8 + 7 * 8 + 4;
// Payload bits in 6 bytes (archives below 32 TB), restored offsets in 8.
constexpr size_t kSpanBytes = 6 + 6 + 8 + kDeltaLeadBytes + 4 + 1;
constexpr uint64_t kMaxBit = (1ull << 48) - 1;
// A block holds at least its magic, its CRC and a few bytes of tables.
constexpr uint64_t kMinBlockBits = 48 + 32 + 32;
// A stream holds at least its header (but the payload's first), an end magic and a CRC.
constexpr uint64_t kMinStreamBits = 48 + 32;

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t Get(const uint8_t*& p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += bytes;
    return value;
}

}  // namespace

size_t ArchiveIndex::SpanAt(uint64_t offset) const {
    auto after = std::upper_bound(
        spans.begin(), spans.end(), offset,
        [](uint64_t value, const IndexedSpan& span) { return value < span.restoredOffset; });
    return after == spans.begin() ? 0 : static_cast<size_t>(after - spans.begin() - 1);
}

std::string EncodeIndex(const ArchiveIndex& index) {
    std::string out(kIndexMagic, 4);
    Put(out, kIndexFormat, 1);
    Put(out, index.deltaMode, 1);
    Put(out, 0, 2);
    Put(out, index.headerLength, 4);
    Put(out, index.sourceSize, 8);
    const platform::FileVersion& v = index.version;
    for (uint64_t field :
         {v.device, v.inode, v.size, static_cast<uint64_t>(v.modifiedSeconds),
          static_cast<uint64_t>(v.modifiedNanos), static_cast<uint64_t>(v.changedSeconds),
          static_cast<uint64_t>(v.changedNanos)}) {
        Put(out, field, 8);
    }
    Put(out, index.spans.size(), 4);
    for (const IndexedSpan& span : index.spans) {
        Put(out, span.startBit, 6);
        Put(out, span.endBit, 6);
        Put(out, span.restoredOffset, 8);
        out.append(reinterpret_cast<const char*>(span.lead), kDeltaLeadBytes);
        Put(out, span.blocksCrc, 4);
        Put(out, static_cast<uint8_t>(span.kind), 1);
    }
    Put(out, BlockCrcOf(reinterpret_cast<const uint8_t*>(out.data()), out.size()), 4);
    return out;
}

bool DecodeIndex(const std::string& bytes, ArchiveIndex* index) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() < kFixedBytes + 4 || std::memcmp(p, kIndexMagic, 4) != 0) return false;
    const uint8_t* end = p + bytes.size() - 4;
    const uint8_t* crcAt = end;
    if (Get(crcAt, 4) != BlockCrcOf(p, bytes.size() - 4)) return false;
    p += 4;
    if (Get(p, 1) != kIndexFormat) return false;
    ArchiveIndex read;
    read.deltaMode = static_cast<uint8_t>(Get(p, 1));
    Get(p, 2);
    read.headerLength = static_cast<uint32_t>(Get(p, 4));
    read.sourceSize = Get(p, 8);
    platform::FileVersion& v = read.version;
    v.device = Get(p, 8);
    v.inode = Get(p, 8);
    v.size = Get(p, 8);
    v.modifiedSeconds = static_cast<int64_t>(Get(p, 8));
    v.modifiedNanos = static_cast<int64_t>(Get(p, 8));
    v.changedSeconds = static_cast<int64_t>(Get(p, 8));
    v.changedNanos = static_cast<int64_t>(Get(p, 8));
    const uint64_t count = Get(p, 4);
    if (count != static_cast<uint64_t>(end - p) / kSpanBytes ||
        count * kSpanBytes != static_cast<uint64_t>(end - p)) {
        return false;
    }
    read.spans.resize(count);
    for (IndexedSpan& span : read.spans) {
        span.startBit = Get(p, 6);
        span.endBit = Get(p, 6);
        span.restoredOffset = Get(p, 8);
        std::memcpy(span.lead, p, kDeltaLeadBytes);
        p += kDeltaLeadBytes;
        span.blocksCrc = static_cast<uint32_t>(Get(p, 4));
        const uint64_t kind = Get(p, 1);
        if (kind > static_cast<uint8_t>(SpanKind::Streams)) return false;
        span.kind = static_cast<SpanKind>(kind);
    }
    if (!IndexHoldsTogether(read)) return false;
    *index = std::move(read);
    return true;
}

bool IndexHoldsTogether(const ArchiveIndex& index) {
    if (index.version.size < index.headerLength || index.version.size > kMaxBit / 8) return false;
    const uint64_t payloadBits = 8 * (index.version.size - index.headerLength);
    if (index.spans.empty()) return index.sourceSize == 0;
    if (index.spans.front().restoredOffset != 0) return false;
    uint64_t bitFloor = 0;
    for (size_t j = 0; j < index.spans.size(); ++j) {
        const IndexedSpan& span = index.spans[j];
        const uint64_t end = index.SpanEnd(j);
        const uint64_t minBits = span.kind == SpanKind::Blocks ? kMinBlockBits : kMinStreamBits;
        // Streams begin and end on bytes; a later stream begins with its own header.
        const bool streamsAligned =
            span.kind != SpanKind::Streams ||
            (span.startBit % 8 == 0 && span.endBit % 8 == 0 &&
             (span.startBit == 0 || span.endBit >= span.startBit + 32 + minBits));
        if (span.startBit < bitFloor || span.endBit < span.startBit + minBits ||
            span.endBit > payloadBits || span.endBit - span.startBit > 8 * kMaxSpanPayloadBytes ||
            !streamsAligned || end <= span.restoredOffset ||
            end - span.restoredOffset > kMaxBlockOutput) {
            return false;
        }
        bitFloor = span.endBit;
    }
    return index.spans.back().restoredOffset < index.sourceSize;
}

}  // namespace kavrin
