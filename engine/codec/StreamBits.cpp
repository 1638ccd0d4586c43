// SPDX-License-Identifier: MIT
#include "engine/codec/StreamBits.h"

#include <array>
#include <cstring>

namespace kavrin {
namespace {

constexpr uint64_t kMask48 = (1ull << 48) - 1;

// Which two-byte values a magic can leave at an even offset: for each magic and each of the
// eight bit offsets it can start at, bytes 1 to 5 of the seven it touches are fixed, and the
// first even offset after its start byte falls on byte 1 or byte 2.
constexpr std::array<uint64_t, 1024> MakePairFilter() {
    std::array<uint64_t, 1024> filter{};
    for (uint64_t magic : {kBlockMagic, kEndMagic}) {
        for (unsigned shift = 0; shift < 8; ++shift) {
            const uint64_t placed = magic << (8 - shift);  // seven bytes, byte 0 the highest
            for (unsigned d = 1; d <= 2; ++d) {
                const auto high = static_cast<uint32_t>((placed >> (8 * (6 - d))) & 0xFF);
                const auto low = static_cast<uint32_t>((placed >> (8 * (5 - d))) & 0xFF);
                const uint32_t pair = (high << 8) | low;
                filter[pair >> 6] |= 1ull << (pair & 63);
            }
        }
    }
    return filter;
}

constexpr std::array<uint64_t, 1024> kPairFilter = MakePairFilter();

void CheckWord(uint64_t bitOfByte, uint64_t word56, std::vector<MagicHit>* hits) {
    for (unsigned shift = 0; shift < 8; ++shift) {
        const uint64_t value = (word56 >> (8 - shift)) & kMask48;
        if (value == kBlockMagic) hits->push_back({bitOfByte + shift, MagicKind::Block});
        if (value == kEndMagic) hits->push_back({bitOfByte + shift, MagicKind::End});
    }
}

}  // namespace

uint64_t ReadBits(const uint8_t* data, uint64_t bit, unsigned count) {
    uint64_t value = 0;
    uint64_t byte = bit / 8;
    unsigned skip = static_cast<unsigned>(bit % 8);
    unsigned have = 0;
    while (have < skip + count) {
        value = (value << 8) | data[byte++];
        have += 8;
    }
    value >>= have - skip - count;
    return count == 64 ? value : value & ((1ull << count) - 1);
}

bool ParseOneBlockStream(const uint8_t* stream, size_t length, OneBlock* block) {
    // Header, block magic and CRC, end magic and combined CRC: at least 24 bytes.
    if (length < 24 || std::memcmp(stream, kBzipHeader, 4) != 0) return false;
    if (ReadBits(stream, kHeaderBits, kMagicBits) != kBlockMagic) return false;
    const auto crc = static_cast<uint32_t>(ReadBits(stream, kHeaderBits + kMagicBits, kCrcBits));
    const uint64_t totalBits = 8ull * length;
    for (unsigned padding = 0; padding < 8; ++padding) {
        const uint64_t end = totalBits - padding;
        if (padding > 0 && ReadBits(stream, end, padding) != 0) continue;
        const uint64_t trailer = end - kMagicBits - kCrcBits;
        if (ReadBits(stream, trailer, kMagicBits) == kEndMagic &&
            ReadBits(stream, trailer + kMagicBits, kCrcBits) == crc) {
            block->blockCrc = crc;
            block->blockBits = trailer - kHeaderBits;
            return true;
        }
    }
    return false;
}

size_t BitAppender::AppendValue(uint64_t value, unsigned count, uint8_t* out) {
    if (count == 0) return 0;
    value &= (1ull << count) - 1;
    unsigned total = pendingBits_ + count;
    uint64_t bits = (static_cast<uint64_t>(pending_) << 56) | (value << (64 - total));
    size_t written = 0;
    while (total >= 8) {
        out[written++] = static_cast<uint8_t>(bits >> 56);
        bits <<= 8;
        total -= 8;
    }
    pending_ = static_cast<uint8_t>(bits >> 56);
    pendingBits_ = total;
    return written;
}

size_t BitAppender::Append(const uint8_t* source, uint64_t fromBit, uint64_t count, uint8_t* out) {
    size_t written = 0;
    source += fromBit / 8;
    const auto lead = static_cast<unsigned>(fromBit % 8);
    if (lead != 0 && count > 0) {
        const unsigned take = count < 8 - lead ? static_cast<unsigned>(count) : 8 - lead;
        written += AppendValue(source[0] >> (8 - lead - take), take, out);
        count -= take;
        ++source;
    }
    const uint64_t whole = count / 8;
    if (whole > 0) {
        if (pendingBits_ == 0) {
            std::memcpy(out + written, source, whole);
        } else {
            // Every output byte is the tail of one source byte and the head of the next.
            const unsigned right = pendingBits_;
            const unsigned left = 8 - right;
            uint8_t* to = out + written;
            to[0] = static_cast<uint8_t>(pending_ | (source[0] >> right));
            for (uint64_t i = 1; i < whole; ++i) {
                to[i] = static_cast<uint8_t>((source[i - 1] << left) | (source[i] >> right));
            }
            pending_ = static_cast<uint8_t>(source[whole - 1] << left);
        }
        written += whole;
    }
    const auto tail = static_cast<unsigned>(count % 8);
    if (tail != 0) written += AppendValue(source[whole] >> (8 - tail), tail, out + written);
    return written;
}

size_t BitAppender::Finish(uint8_t* out) {
    if (pendingBits_ == 0) return 0;
    out[0] = pending_;
    pending_ = 0;
    pendingBits_ = 0;
    return 1;
}

void FindMagics(const uint8_t* data, size_t length, size_t fromByte, size_t toByte,
                std::vector<MagicHit>* hits) {
    if (toByte > length) toByte = length;
    if (fromByte >= toByte) return;
    // Start bytes whose seven bytes all lie inside the data go through the pair filter.
    const size_t fastEnd = length >= 7 ? (toByte < length - 6 ? toByte : length - 6) : 0;
    size_t q = fromByte;
    if (q < fastEnd) {
        size_t i = (fromByte + 1 + 1) & ~static_cast<size_t>(1);  // first even offset > fromByte
        for (; i <= fastEnd + 1; i += 2) {
            const uint32_t pair = (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
            if ((kPairFilter[pair >> 6] >> (pair & 63) & 1) == 0) continue;
            for (size_t start = i - 2; start < i; ++start) {
                if (start < fromByte || start >= fastEnd) continue;
                uint64_t word = 0;
                for (size_t b = 0; b < 7; ++b) word = (word << 8) | data[start + b];
                CheckWord(8ull * start, word, hits);
            }
        }
        q = fastEnd;
    }
    // The last few start bytes: only magics that end inside the data count.
    for (; q < toByte; ++q) {
        for (unsigned shift = 0; shift < 8; ++shift) {
            const uint64_t bit = 8ull * q + shift;
            if (bit + kMagicBits > 8ull * length) break;
            const uint64_t value = ReadBits(data, bit, kMagicBits);
            if (value == kBlockMagic) hits->push_back({bit, MagicKind::Block});
            if (value == kEndMagic) hits->push_back({bit, MagicKind::End});
        }
    }
}

}  // namespace kavrin
