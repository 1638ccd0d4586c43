// SPDX-License-Identifier: MIT
// bzip2 streams for the decoder's tests: blocks written from their parts (code lengths, tables,
// selectors, symbols, the randomised bit), including blocks the bzip2 library never writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavrin::test {

// A block as its parts. Symbols are the Huffman-coded ones: 0 and 1 the zero-run symbols, 2 to
// used.size() the move-to-front indices 1.., used.size() + 1 the end of the block; kNoCode
// writes 21 one bits instead (no symbol of an incomplete code).
inline constexpr uint16_t kNoCode = 0xFFFF;

struct BlockParts {
    uint32_t crc = 0;
    bool randomised = false;
    uint32_t origin = 0;
    std::vector<uint8_t> used;                  // byte values in use, ascending
    std::vector<std::vector<uint8_t>> lengths;  // per table, a code length per symbol
    std::vector<uint8_t> selectors;             // the table of each group of 50 symbols
    int32_t selectorCount = -1;  // written instead of selectors.size() (missing ones are 0)
    std::vector<uint16_t> symbols;
};

// "BZh<level>", the blocks, the end magic and the CRC their CRCs combine to, zero padding.
std::string StreamOf(const std::vector<BlockParts>& blocks, char level = '9');

// The same block with the CRC of what the library restores from it: it then decodes cleanly
// when nothing else is wrong with it.
BlockParts Sealed(BlockParts block, char level = '9');

// Code lengths of a complete code in which every symbol of an alphabet of `size` has a code
// of at most 17 bits, the shortest going to the first symbols.
std::vector<uint8_t> PlainLengths(size_t size);

}  // namespace kavrin::test
