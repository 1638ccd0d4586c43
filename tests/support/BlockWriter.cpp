// SPDX-License-Identifier: MIT
#include "tests/support/BlockWriter.h"

#include <algorithm>

#include "engine/codec/BlockCrc.h"
#include "tests/support/Bzip2Reference.h"

namespace kavrin::test {
namespace {

class BitWriter {
public:
    void Put(uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) PutBit((value >> i) & 1);
    }
    void PutBit(unsigned bit) {
        if (fill_ == 0) bytes.push_back('\0');
        if (bit) bytes.back() = static_cast<char>(bytes.back() | (0x80 >> fill_));
        fill_ = (fill_ + 1) % 8;
    }
    std::string bytes;

private:
    unsigned fill_ = 0;
};

// Codes as the library's encoder assigns them: by length, then by symbol.
std::vector<uint32_t> CodesOf(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (unsigned n = 1; n <= 32; ++n) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            if (lengths[i] == n) codes[i] = code++;
        }
        code <<= 1;
    }
    return codes;
}

void AppendBlock(BitWriter& out, const BlockParts& block) {
    out.Put(0x314159265359ull, 48);
    out.Put(block.crc, 32);
    out.Put(block.randomised ? 1 : 0, 1);
    out.Put(block.origin, 24);
    bool used[256] = {};
    for (uint8_t byte : block.used) used[byte] = true;
    uint32_t groups = 0;
    for (int g = 0; g < 16; ++g) {
        for (int j = 0; j < 16; ++j) {
            if (used[16 * g + j]) groups |= 0x8000u >> g;
        }
    }
    out.Put(groups, 16);
    for (int g = 0; g < 16; ++g) {
        if (!(groups & (0x8000u >> g))) continue;
        for (int j = 0; j < 16; ++j) out.PutBit(used[16 * g + j] ? 1 : 0);
    }
    const auto tables = static_cast<uint32_t>(block.lengths.size());
    out.Put(tables, 3);
    const uint32_t selectorCount = block.selectorCount >= 0
                                       ? static_cast<uint32_t>(block.selectorCount)
                                       : static_cast<uint32_t>(block.selectors.size());
    out.Put(selectorCount, 15);
    std::vector<uint8_t> order = {0, 1, 2, 3, 4, 5, 6, 7};
    for (uint32_t i = 0; i < selectorCount; ++i) {
        const uint8_t table = i < block.selectors.size() ? block.selectors[i] : 0;
        const auto at =
            static_cast<uint32_t>(std::find(order.begin(), order.end(), table) - order.begin());
        for (uint32_t k = 0; k < at; ++k) out.PutBit(1);
        out.PutBit(0);
        order.erase(order.begin() + at);
        order.insert(order.begin(), table);
    }
    for (const std::vector<uint8_t>& lengths : block.lengths) {
        int current = lengths.empty() ? 1 : lengths[0];
        out.Put(static_cast<uint32_t>(current), 5);
        for (uint8_t length : lengths) {
            for (; current < length; ++current) out.Put(2, 2);
            for (; current > length; --current) out.Put(3, 2);
            out.PutBit(0);
        }
    }
    std::vector<std::vector<uint32_t>> codes;
    for (const std::vector<uint8_t>& lengths : block.lengths) codes.push_back(CodesOf(lengths));
    for (size_t i = 0; i < block.symbols.size(); ++i) {
        const size_t group = i / 50;
        size_t table = group < block.selectors.size() ? block.selectors[group] : 0;
        if (table >= block.lengths.size()) table = 0;  // a broken block: not read this far
        const uint16_t symbol = block.symbols[i];
        if (symbol == kNoCode) {
            out.Put((1u << 21) - 1, 21);
            continue;
        }
        if (block.lengths.empty() || symbol >= block.lengths[table].size()) continue;
        out.Put(codes[table][symbol], block.lengths[table][symbol]);
    }
}

}  // namespace

std::string StreamOf(const std::vector<BlockParts>& blocks, char level) {
    BitWriter out;
    out.Put('B', 8);
    out.Put('Z', 8);
    out.Put('h', 8);
    out.Put(static_cast<uint8_t>(level), 8);
    uint32_t combined = 0;
    for (const BlockParts& block : blocks) {
        AppendBlock(out, block);
        combined = CombineBlockCrc(combined, block.crc);
    }
    out.Put(0x177245385090ull, 48);
    out.Put(combined, 32);
    return out.bytes;
}

BlockParts Sealed(BlockParts block, char level) {
    block.crc = 0;
    const LibraryResult result = Libbz2Decode(StreamOf({block}, level));
    block.crc = BlockCrcOf(reinterpret_cast<const uint8_t*>(result.restored.data()),
                           result.restored.size());
    return block;
}

std::vector<uint8_t> PlainLengths(size_t size) {
    unsigned bits = 1;
    while ((1u << bits) < size) ++bits;
    const size_t shorter = (1u << bits) - size;
    std::vector<uint8_t> lengths(size, static_cast<uint8_t>(bits));
    for (size_t i = 0; i < shorter; ++i) lengths[i] = static_cast<uint8_t>(bits - 1);
    return lengths;
}

}  // namespace kavrin::test
