// SPDX-License-Identifier: MIT
#include "engine/encode/BlockCoding.h"

#include <algorithm>
#include <cstring>

#include "engine/codec/CpuFeatures.h"

namespace kavrin {

namespace {

constexpr int kGroupSize = 50;
constexpr int kMaxTables = 6;
constexpr int kRefinements = 4;
constexpr int kMaxCodeLength = 17;
constexpr uint8_t kLowCost = 0;
constexpr uint8_t kHighCost = 15;

}  // namespace

size_t MoveToFrontPortable(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                           uint32_t* freq) {
    std::fill(freq, freq + kMaxAlphabet, 0u);
    uint8_t list[256];
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    size_t written = 0;
    uint32_t zeros = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t symbol = indices[i];
        if (list[0] == symbol) {
            ++zeros;
            continue;
        }
        if (zeros > 0) {
            written += PutZeroRun(zeros, out + written, freq);
            zeros = 0;
        }
        const auto* found = static_cast<const uint8_t*>(std::memchr(list + 1, symbol, 255));
        const size_t position = static_cast<size_t>(found - list);
        std::memmove(list + 1, list, position);
        list[0] = symbol;
        const auto value = static_cast<uint16_t>(position + 1);
        out[written++] = value;
        ++freq[value];
    }
    if (zeros > 0) written += PutZeroRun(zeros, out + written, freq);
    const auto endOfBlock = static_cast<uint16_t>(inUse + 1);
    out[written++] = endOfBlock;
    ++freq[endOfBlock];
    return written;
}

size_t MoveToFront(const uint8_t* indices, size_t count, int inUse, uint16_t* out, uint32_t* freq) {
    if (CanRun(VectorUnit::Avx2)) return MoveToFrontAvx2(indices, count, inUse, out, freq);
    return MoveToFrontPortable(indices, count, inUse, out, freq);
}

void MakeCodeLengths(uint8_t* lengths, const uint32_t* freq, int alphaSize, int maxLength) {
    // Nodes count from 1; node 0 and heap slot 0 are sentinels of weight 0. A weight holds the
    // frequency above its low 8 bits and the subtree's depth in them, so equal frequencies
    // prefer the shallower subtree, as the library's do.
    int32_t heap[kMaxAlphabet + 2];
    int32_t weight[kMaxAlphabet * 2];
    int32_t parent[kMaxAlphabet * 2];
    for (int i = 0; i < alphaSize; ++i) {
        weight[i + 1] = static_cast<int32_t>((freq[i] == 0 ? 1 : freq[i]) << 8);
    }
    auto up = [&](int slot) {
        const int32_t node = heap[slot];
        while (weight[node] < weight[heap[slot >> 1]]) {
            heap[slot] = heap[slot >> 1];
            slot >>= 1;
        }
        heap[slot] = node;
    };
    for (;;) {
        int nodes = alphaSize;
        int size = 0;
        heap[0] = 0;
        weight[0] = 0;
        parent[0] = -2;
        for (int i = 1; i <= alphaSize; ++i) {
            parent[i] = -1;
            heap[++size] = i;
            up(size);
        }
        auto down = [&](int slot) {
            const int32_t node = heap[slot];
            for (;;) {
                int child = slot << 1;
                if (child > size) break;
                if (child < size && weight[heap[child + 1]] < weight[heap[child]]) ++child;
                if (weight[node] < weight[heap[child]]) break;
                heap[slot] = heap[child];
                slot = child;
            }
            heap[slot] = node;
        };
        auto pop = [&] {
            const int32_t node = heap[1];
            heap[1] = heap[size--];
            down(1);
            return node;
        };
        while (size > 1) {
            const int32_t first = pop();
            const int32_t second = pop();
            ++nodes;
            parent[first] = parent[second] = nodes;
            const int32_t depth = 1 + std::max(weight[first] & 0xff, weight[second] & 0xff);
            weight[nodes] =
                static_cast<int32_t>((weight[first] & 0xffffff00) + (weight[second] & 0xffffff00)) |
                depth;
            parent[nodes] = -1;
            heap[++size] = nodes;
            up(size);
        }
        bool tooLong = false;
        for (int i = 1; i <= alphaSize; ++i) {
            int depth = 0;
            for (int k = i; parent[k] >= 0; k = parent[k]) ++depth;
            lengths[i - 1] = static_cast<uint8_t>(depth);
            if (depth > maxLength) tooLong = true;
        }
        if (!tooLong) return;
        for (int i = 1; i <= alphaSize; ++i) {
            const int32_t halved = 1 + (weight[i] >> 8) / 2;
            weight[i] = halved << 8;
        }
    }
}

void WriteBlockBody(BitWriter& bits, const bool inUse[256], const uint16_t* symbols, size_t count,
                    const uint32_t* freq) {
    int used = 0;
    for (int i = 0; i < 256; ++i) used += inUse[i] ? 1 : 0;
    const int alphaSize = used + 2;
    const auto total = static_cast<int>(count);

    // The number of tables from the number of coded symbols.
    const int tables = total < 200 ? 2 : total < 600 ? 3 : total < 1200 ? 4 : total < 2400 ? 5 : 6;

    static thread_local uint8_t length[kMaxTables][kMaxAlphabet];
    for (auto& row : length) std::fill(row, row + kMaxAlphabet, kHighCost);

    // The first tables: the alphabet cut into ranges of about equal total frequency, each
    // table cheap on its range. Table `part - 1` gets the range; a range other than the first
    // and the last, at an odd step from the first, gives back its last symbol.
    {
        int remaining = total;
        int start = 0;
        for (int part = tables; part > 0; --part) {
            const int target = remaining / part;
            int end = start - 1;
            int sum = 0;
            while (sum < target && end < alphaSize - 1) {
                ++end;
                sum += static_cast<int>(freq[end]);
            }
            if (end > start && part != tables && part != 1 && (tables - part) % 2 == 1) {
                sum -= static_cast<int>(freq[end]);
                --end;
            }
            for (int v = 0; v < alphaSize; ++v) {
                length[part - 1][v] = v >= start && v <= end ? kLowCost : kHighCost;
            }
            start = end + 1;
            remaining -= sum;
        }
    }

    const int selectorCount = (total + kGroupSize - 1) / kGroupSize;
    std::vector<uint8_t> selector(static_cast<size_t>(selectorCount));
    // Each table's counts are kept in four copies, a symbol counted in copy i % 4: runs of one
    // symbol (RUNA, RUNB) then add to four counters in turn, not to one over and over.
    static thread_local uint32_t tableFreq[kMaxTables][4][kMaxAlphabet];
    static thread_local uint64_t packed[kMaxAlphabet][2];

    for (int pass = 0; pass < kRefinements; ++pass) {
        for (int t = 0; t < tables; ++t) {
            for (auto& copy : tableFreq[t]) std::fill(copy, copy + alphaSize, 0u);
        }
        // Each group of 50 symbols takes the table that codes it in the fewest bits, the
        // lowest-numbered on a tie; the tables are then rebuilt from the groups they took.
        // A symbol's lengths in all tables, four to a word in 16-bit lanes: a group of 50
        // costs at most 50 x 17 bits in each table, so the lanes never carry.
        for (int v = 0; v < alphaSize; ++v) {
            uint64_t low = 0;
            uint64_t high = 0;
            for (int t = 0; t < 4; ++t) low |= uint64_t{length[t][v]} << (16 * t);
            for (int t = 4; t < kMaxTables; ++t) high |= uint64_t{length[t][v]} << (16 * (t - 4));
            packed[v][0] = low;
            packed[v][1] = high;
        }
        for (int group = 0; group < selectorCount; ++group) {
            const int start = group * kGroupSize;
            const int end = std::min(start + kGroupSize, total);
            uint64_t low = 0;
            uint64_t high = 0;
            for (int i = start; i < end; ++i) {
                low += packed[symbols[i]][0];
                high += packed[symbols[i]][1];
            }
            uint32_t cost[kMaxTables];
            for (int t = 0; t < 4; ++t) cost[t] = static_cast<uint32_t>(low >> (16 * t)) & 0xffff;
            for (int t = 4; t < kMaxTables; ++t) {
                cost[t] = static_cast<uint32_t>(high >> (16 * (t - 4))) & 0xffff;
            }
            int best = 0;
            for (int t = 1; t < tables; ++t) {
                if (cost[t] < cost[best]) best = t;
            }
            selector[static_cast<size_t>(group)] = static_cast<uint8_t>(best);
            auto& counts = tableFreq[best];
            int i = start;
            for (; i + 4 <= end; i += 4) {
                ++counts[0][symbols[i]];
                ++counts[1][symbols[i + 1]];
                ++counts[2][symbols[i + 2]];
                ++counts[3][symbols[i + 3]];
            }
            for (; i < end; ++i) ++counts[0][symbols[i]];
        }
        for (int t = 0; t < tables; ++t) {
            uint32_t sum[kMaxAlphabet];
            for (int v = 0; v < alphaSize; ++v) {
                sum[v] = tableFreq[t][0][v] + tableFreq[t][1][v] + tableFreq[t][2][v] +
                         tableFreq[t][3][v];
            }
            MakeCodeLengths(length[t], sum, alphaSize, kMaxCodeLength);
        }
    }

    // Canonical codes: by length, then by symbol.
    static thread_local uint32_t code[kMaxTables][kMaxAlphabet];
    for (int t = 0; t < tables; ++t) {
        const uint8_t* row = length[t];
        const int shortest = *std::min_element(row, row + alphaSize);
        const int longest = *std::max_element(row, row + alphaSize);
        uint32_t next = 0;
        for (int n = shortest; n <= longest; ++n) {
            for (int v = 0; v < alphaSize; ++v) {
                if (row[v] == n) code[t][v] = next++;
            }
            next <<= 1;
        }
    }

    // The in-use map: which of the 16 ranges of 16 bytes are used, then each used range.
    bool rangeUsed[16];
    for (int r = 0; r < 16; ++r) {
        rangeUsed[r] = false;
        for (int j = 0; j < 16; ++j) rangeUsed[r] = rangeUsed[r] || inUse[r * 16 + j];
        bits.Put(1, rangeUsed[r] ? 1 : 0);
    }
    for (int r = 0; r < 16; ++r) {
        if (!rangeUsed[r]) continue;
        for (int j = 0; j < 16; ++j) bits.Put(1, inUse[r * 16 + j] ? 1 : 0);
    }

    // Selectors, each as its position in a move-to-front list of tables, in unary.
    bits.Put(3, static_cast<uint32_t>(tables));
    bits.Put(15, static_cast<uint32_t>(selectorCount));
    {
        uint8_t order[kMaxTables];
        for (int t = 0; t < kMaxTables; ++t) order[t] = static_cast<uint8_t>(t);
        for (int group = 0; group < selectorCount; ++group) {
            const uint8_t table = selector[static_cast<size_t>(group)];
            int position = 0;
            while (order[position] != table) ++position;
            std::memmove(order + 1, order, static_cast<size_t>(position));
            order[0] = table;
            for (int j = 0; j < position; ++j) bits.Put(1, 1);
            bits.Put(1, 0);
        }
    }

    // The tables: the first length in 5 bits, then each length as steps from the one before.
    for (int t = 0; t < tables; ++t) {
        int current = length[t][0];
        bits.Put(5, static_cast<uint32_t>(current));
        for (int v = 0; v < alphaSize; ++v) {
            for (; current < length[t][v]; ++current) bits.Put(2, 2);
            for (; current > length[t][v]; --current) bits.Put(2, 3);
            bits.Put(1, 0);
        }
    }

    for (int group = 0; group < selectorCount; ++group) {
        const int table = selector[static_cast<size_t>(group)];
        const int start = group * kGroupSize;
        const int end = std::min(start + kGroupSize, total);
        for (int i = start; i < end; ++i) {
            bits.Put(length[table][symbols[i]], code[table][symbols[i]]);
        }
    }
}

}  // namespace kavrin
