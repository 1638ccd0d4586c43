#include "mount/ArchiveIndex.h"

#include <algorithm>
#include <cstring>

#include "engine/BlockCrc.h"

namespace kavrin {
namespace {

constexpr char kIndexMagic[4] = {'K', 'V', 'N', 'I'};
constexpr uint8_t kIndexFormat = 1;
constexpr size_t kFixedBytes = 4 + 4 + 4 + 4 + 7 * 8 + 4;
constexpr size_t kBlockBytes = 3 * 8 + kDeltaLeadBytes;
// A block holds at least its magic, its CRC and a few bytes of tables.
constexpr uint64_t kMinBlockBits = 48 + 32 + 32;

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

size_t ArchiveIndex::BlockAt(uint64_t offset) const {
    auto after = std::upper_bound(
        blocks.begin(), blocks.end(), offset,
        [](uint64_t value, const IndexedBlock& block) { return value < block.restoredOffset; });
    return after == blocks.begin() ? 0 : static_cast<size_t>(after - blocks.begin() - 1);
}

std::string EncodeIndex(const ArchiveIndex& index) {
    std::string out(kIndexMagic, 4);
    Put(out, kIndexFormat, 1);
    Put(out, index.deltaMode, 1);
    Put(out, 0, 2);
    Put(out, index.headerLength, 4);
    Put(out, index.sourceSize, 4);
    const platform::FileVersion& v = index.version;
    for (uint64_t field :
         {v.device, v.inode, v.size, static_cast<uint64_t>(v.modifiedSeconds),
          static_cast<uint64_t>(v.modifiedNanos), static_cast<uint64_t>(v.changedSeconds),
          static_cast<uint64_t>(v.changedNanos)}) {
        Put(out, field, 8);
    }
    Put(out, index.blocks.size(), 4);
    for (const IndexedBlock& block : index.blocks) {
        Put(out, block.startBit, 8);
        Put(out, block.endBit, 8);
        Put(out, block.restoredOffset, 8);
        out.append(reinterpret_cast<const char*>(block.lead), kDeltaLeadBytes);
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
    read.sourceSize = static_cast<uint32_t>(Get(p, 4));
    platform::FileVersion& v = read.version;
    v.device = Get(p, 8);
    v.inode = Get(p, 8);
    v.size = Get(p, 8);
    v.modifiedSeconds = static_cast<int64_t>(Get(p, 8));
    v.modifiedNanos = static_cast<int64_t>(Get(p, 8));
    v.changedSeconds = static_cast<int64_t>(Get(p, 8));
    v.changedNanos = static_cast<int64_t>(Get(p, 8));
    const uint64_t count = Get(p, 4);
    if (count != static_cast<uint64_t>(end - p) / kBlockBytes ||
        count * kBlockBytes != static_cast<uint64_t>(end - p)) {
        return false;
    }
    read.blocks.resize(count);
    for (IndexedBlock& block : read.blocks) {
        block.startBit = Get(p, 8);
        block.endBit = Get(p, 8);
        block.restoredOffset = Get(p, 8);
        std::memcpy(block.lead, p, kDeltaLeadBytes);
        p += kDeltaLeadBytes;
    }
    if (!IndexHoldsTogether(read)) return false;
    *index = std::move(read);
    return true;
}

bool IndexHoldsTogether(const ArchiveIndex& index) {
    if (index.version.size < index.headerLength) return false;
    const uint64_t payloadBits = 8 * (index.version.size - index.headerLength);
    if (index.blocks.empty()) return index.sourceSize == 0;
    if (index.blocks.front().restoredOffset != 0) return false;
    uint64_t bitFloor = 0;
    for (size_t j = 0; j < index.blocks.size(); ++j) {
        const IndexedBlock& block = index.blocks[j];
        const uint64_t end = index.BlockEnd(j);
        if (block.startBit < bitFloor || block.endBit < block.startBit + kMinBlockBits ||
            block.endBit > payloadBits || end <= block.restoredOffset ||
            end - block.restoredOffset > kMaxBlockOutput) {
            return false;
        }
        bitFloor = block.endBit;
    }
    return index.blocks.back().restoredOffset < index.sourceSize;
}

}  // namespace kavrin
