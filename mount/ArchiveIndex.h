// The random-access index of one archive: for every bzip2 block of its payload, where its bits
// lie, where its output starts in the restored file, and the restored bytes just before that
// (what the delta filter needs to go on from there). Built by IndexBuilder.h, kept on disk by
// IndexStore.h, read by BlockDecode.h.
//
// The index belongs to one version of the archive (device, inode, size, modification and change
// time); it is never used for another. Its file form ends in a CRC and is checked field by field
// when read: a damaged or foreign index is refused, never trusted.
//
// Plain values; any thread once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mount/DeltaResume.h"
#include "platform/SharedFile.h"

namespace kavrin {

// No bzip2 block restores more than about 46 MB (a block of runs); more in an index is damage.
inline constexpr uint64_t kMaxBlockOutput = 48ull << 20;

struct IndexedBlock {
    uint64_t startBit = 0;  // payload bit of the block magic
    uint64_t endBit = 0;    // payload bit where the block's bits end (the next magic)
    uint64_t restoredOffset = 0;
    uint8_t lead[kDeltaLeadBytes] = {};  // the min(restoredOffset, 8) restored bytes before it
};

struct ArchiveIndex {
    platform::FileVersion version;  // the archive this index describes
    uint32_t headerLength = 0;      // where the payload starts
    uint32_t sourceSize = 0;        // the restored file's size: the header's, checked
    uint8_t deltaMode = 1;          // the header's mode byte
    std::vector<IndexedBlock> blocks;

    // Where block `j`'s output ends.
    uint64_t BlockEnd(size_t j) const {
        return j + 1 < blocks.size() ? blocks[j + 1].restoredOffset : sourceSize;
    }
    // The block whose output holds restored offset `offset` (< sourceSize).
    size_t BlockAt(uint64_t offset) const;
    // The bytes this index takes in memory, roughly.
    size_t Footprint() const { return sizeof *this + blocks.size() * sizeof(IndexedBlock); }
};

// The index's file form.
std::string EncodeIndex(const ArchiveIndex& index);
// Reads an index's file form. False when it is damaged, of another format version, or does
// not hold together (blocks out of order, outside the payload, restoring too much).
bool DecodeIndex(const std::string& bytes, ArchiveIndex* index);
// The checks DecodeIndex makes of the content, for an index built in memory too.
bool IndexHoldsTogether(const ArchiveIndex& index);

}  // namespace kavrin
