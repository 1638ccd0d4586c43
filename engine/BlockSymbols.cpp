// SPDX-License-Identifier: MIT
#include "engine/BlockSymbols.h"

#include <algorithm>
#include <cstring>

namespace kavrin {
namespace {

constexpr uint32_t kGroupSize = 50;
constexpr uint32_t kMaxCodeLength = 20;
constexpr uint32_t kMaxRunShift = 21;  // a run's symbols stand for less than 2^21 x their weight
// A group decoded without looking at the input's end: 50 codes of at most 21 bits, and the
// reads ahead of them.
constexpr uint64_t kFastGroupBits = kGroupSize * 21 + 192;
constexpr uint16_t kLongCode = 0;

constexpr uint8_t kBlockMagic[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr uint8_t kEndMagic[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

// `count` (1 to 32) bits at in.bit; the caller has checked they lie below in.end.
uint32_t Peek(const BitInput& in, unsigned count) {
    uint64_t byte = in.bit >> 3;
    const unsigned need = static_cast<unsigned>(in.bit & 7) + count;
    uint64_t value = 0;
    unsigned have = 0;
    while (have < need) {
        value = (value << 8) | in.data[byte++];
        have += 8;
    }
    return static_cast<uint32_t>((value >> (have - need)) & ((1ull << count) - 1));
}

bool Has(const BitInput& in, uint64_t count) {
    return in.end - in.bit >= count;
}

uint64_t LoadBigEndian64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return __builtin_bswap64(value);
}

// The byte at `index` of the list, moved to its front.
inline uint8_t MoveToFront(uint8_t* list, uint32_t index) {
    const uint8_t byte = list[index];
    std::memmove(list + 1, list, index);
    list[0] = byte;
    return byte;
}

}  // namespace

BlockSymbolReader::BlockSymbolReader() = default;

bool BlockSymbolReader::EnsureColumn() {
    return column_.capacity() >= maxLength_ + kColumnSlack ||
           column_.Reserve(maxLength_ + kColumnSlack);
}

void BlockSymbolReader::Start(Expect what, uint32_t level) {
    level_ = std::clamp<uint32_t>(level, 1, 9);
    maxLength_ = 100000 * level_;
    state_ = what == Expect::StreamHeader ? State::StreamMagic : State::BlockMagic;
    step_ = 0;
    errorBit_ = 0;
}

void BlockSymbolReader::SwapColumn(ByteBuffer& other) {
    std::swap(column_, other);
}

BlockSymbolReader::Status BlockSymbolReader::Read(BitInput& in) {
    for (;;) {
        switch (state_) {
            case State::StreamMagic: {
                if (!Has(in, 8)) return Status::NeedBits;
                const uint32_t byte = Peek(in, 8);
                in.bit += 8;
                static constexpr uint8_t kHeader[3] = {'B', 'Z', 'h'};
                if (step_ < 3 ? byte != kHeader[step_] : byte < '1' || byte > '9') {
                    errorBit_ = in.bit;
                    return Status::BadHeader;
                }
                if (++step_ == 4) {
                    level_ = byte - '0';
                    maxLength_ = 100000 * level_;
                    state_ = State::BlockMagic;
                    step_ = 0;
                }
                break;
            }
            case State::BlockMagic: {
                if (!Has(in, 8)) return Status::NeedBits;
                const uint32_t byte = Peek(in, 8);
                in.bit += 8;
                if (step_ == 0 && byte == kEndMagic[0]) {
                    state_ = State::EndMagic;
                    step_ = 1;
                    break;
                }
                if (byte != kBlockMagic[step_]) return Fail(in.bit);
                if (++step_ == 6) state_ = State::BlockCrc;
                break;
            }
            case State::EndMagic: {
                if (!Has(in, 8)) return Status::NeedBits;
                const uint32_t byte = Peek(in, 8);
                in.bit += 8;
                if (byte != kEndMagic[step_]) return Fail(in.bit);
                if (++step_ == 6) state_ = State::StreamCrc;
                break;
            }
            case State::StreamCrc:
                if (!Has(in, 32)) return Status::NeedBits;
                storedCrc_ = Peek(in, 32);
                in.bit += 32;
                state_ = State::BlockMagic;  // nothing more is read from this stream
                step_ = 0;
                return Status::StreamEnd;
            case State::BlockCrc:
                if (!Has(in, 32)) return Status::NeedBits;
                storedCrc_ = Peek(in, 32);
                in.bit += 32;
                state_ = State::RandomBit;
                break;
            case State::RandomBit:
                if (!Has(in, 1)) return Status::NeedBits;
                randomised_ = Peek(in, 1) != 0;
                in.bit += 1;
                state_ = State::Origin;
                break;
            case State::Origin:
                if (!Has(in, 24)) return Status::NeedBits;
                origin_ = Peek(in, 24);
                in.bit += 24;
                if (origin_ > 10 + maxLength_) return Fail(in.bit);
                state_ = State::UsedGroups;
                break;
            case State::UsedGroups:
                if (!Has(in, 16)) return Status::NeedBits;
                usedGroups_ = static_cast<uint16_t>(Peek(in, 16));
                in.bit += 16;
                usedCount_ = 0;
                step_ = 0;
                state_ = State::UsedBytes;
                break;
            case State::UsedBytes: {
                while (step_ < 16 && !(usedGroups_ & (0x8000u >> step_))) ++step_;
                if (step_ < 16) {
                    if (!Has(in, 16)) return Status::NeedBits;
                    const uint32_t used = Peek(in, 16);
                    in.bit += 16;
                    for (uint32_t j = 0; j < 16; ++j) {
                        if (used & (0x8000u >> j)) byteOf_[usedCount_++] = 16 * step_ + j;
                    }
                    ++step_;
                    break;
                }
                if (usedCount_ == 0) return Fail(in.bit);
                state_ = State::TableCount;
                break;
            }
            case State::TableCount:
                if (!Has(in, 3)) return Status::NeedBits;
                tableCount_ = Peek(in, 3);
                in.bit += 3;
                if (tableCount_ < 2 || tableCount_ > 6) return Fail(in.bit);
                state_ = State::SelectorCount;
                break;
            case State::SelectorCount:
                if (!Has(in, 15)) return Status::NeedBits;
                selectorCount_ = Peek(in, 15);
                in.bit += 15;
                if (selectorCount_ < 1) return Fail(in.bit);
                selectorsRead_ = 0;
                state_ = State::Selectors;
                break;
            case State::Selectors: {
                while (selectorsRead_ < selectorCount_) {
                    // A selector is a run of 1 bits below the table count, ended by a 0 bit.
                    uint32_t ones = 0;
                    for (;;) {
                        if (!Has(in, ones + 1)) return Status::NeedBits;
                        BitInput at = in;
                        at.bit += ones;
                        if (Peek(at, 1) == 0) break;
                        if (++ones >= tableCount_) return Fail(in.bit + ones);
                    }
                    in.bit += ones + 1;
                    if (selectorsRead_ < kMaxSelectors) selectors_[selectorsRead_] = ones;
                    ++selectorsRead_;
                }
                selectorCount_ = std::min(selectorCount_, kMaxSelectors);
                // Undo the selectors' move-to-front.
                uint8_t order[6] = {0, 1, 2, 3, 4, 5};
                for (uint32_t i = 0; i < selectorCount_; ++i) {
                    const uint8_t at = selectors_[i];
                    const uint8_t table = order[at];
                    for (uint8_t k = at; k > 0; --k) order[k] = order[k - 1];
                    order[0] = table;
                    selectors_[i] = table;
                }
                step_ = 0;
                state_ = State::LengthStart;
                break;
            }
            case State::LengthStart:
                if (!Has(in, 5)) return Status::NeedBits;
                current_ = static_cast<int32_t>(Peek(in, 5));
                in.bit += 5;
                symbolIndex_ = 0;
                state_ = State::LengthStep;
                break;
            case State::LengthStep: {
                if (current_ < 1 || current_ > static_cast<int32_t>(kMaxCodeLength)) {
                    return Fail(in.bit);
                }
                if (!Has(in, 1)) return Status::NeedBits;
                const uint32_t more = Peek(in, 1);
                in.bit += 1;
                if (more) {
                    state_ = State::LengthChange;
                    break;
                }
                lengths_[step_][symbolIndex_] = static_cast<uint8_t>(current_);
                if (++symbolIndex_ < usedCount_ + 2) break;
                if (++step_ < tableCount_) {
                    state_ = State::LengthStart;
                    break;
                }
                for (uint32_t t = 0; t < tableCount_; ++t) BuildTable(tables_[t], lengths_[t]);
                state_ = State::SymbolsStart;
                break;
            }
            case State::SymbolsStart: {
                if (!EnsureColumn()) return Status::NoMemory;
                BeginSymbols();
                state_ = State::Symbols;
                break;
            }
            case State::LengthChange:
                if (!Has(in, 1)) return Status::NeedBits;
                current_ += Peek(in, 1) ? -1 : 1;
                in.bit += 1;
                state_ = State::LengthStep;
                break;
            case State::Symbols:
                return ReadSymbols(in);
        }
    }
}

void BlockSymbolReader::BuildTable(Table& table, const uint8_t* lengths) {
    const uint32_t alphabet = usedCount_ + 2;
    int32_t minLength = 32, maxLength = 0;
    for (uint32_t i = 0; i < alphabet; ++i) {
        minLength = std::min<int32_t>(minLength, lengths[i]);
        maxLength = std::max<int32_t>(maxLength, lengths[i]);
    }
    // Canonical codes in the library's layout: symbols ordered by length, then by value;
    // limit[n] is the last code of length n, base[n] turns a code of length n into its rank.
    int32_t rank = 0;
    for (int32_t n = minLength; n <= maxLength; ++n) {
        for (uint32_t i = 0; i < alphabet; ++i) {
            if (lengths[i] == n) table.perm[rank++] = static_cast<int32_t>(i);
        }
    }
    std::fill(std::begin(table.base), std::end(table.base), 0);
    for (uint32_t i = 0; i < alphabet; ++i) ++table.base[lengths[i] + 1];
    for (int n = 1; n < 24; ++n) table.base[n] += table.base[n - 1];
    std::fill(std::begin(table.limit), std::end(table.limit), 0);
    int32_t code = 0;
    for (int32_t n = minLength; n <= maxLength; ++n) {
        code += table.base[n + 1] - table.base[n];
        table.limit[n] = code - 1;
        code <<= 1;
    }
    for (int32_t n = minLength + 1; n <= maxLength; ++n) {
        table.base[n] = ((table.limit[n - 1] + 1) << 1) - table.base[n];
    }
    table.minLength = minLength;

    // Every code of up to kTableBits bits, as the library's walk from minLength finds it.
    std::fill(std::begin(table.lookup), std::end(table.lookup), kLongCode);
    const int32_t top = std::min<int32_t>(maxLength, kTableBits);
    for (int32_t n = minLength; n <= top; ++n) {
        const int32_t first = n == minLength ? 0 : (table.limit[n - 1] + 1) << 1;
        const int32_t last = std::min<int32_t>(table.limit[n], (1 << n) - 1);
        for (int32_t code = first; code <= last; ++code) {
            const int32_t at = code - table.base[n];
            if (at < 0 || at >= 258) continue;  // the walk's own check decides
            const auto entry = static_cast<uint16_t>(table.perm[at] | (n << 9));
            const unsigned shift = kTableBits - static_cast<unsigned>(n);
            std::fill(table.lookup + (code << shift), table.lookup + ((code + 1) << shift), entry);
        }
    }
}

BlockSymbolReader::SymbolResult BlockSymbolReader::DecodeSlow(const Table& table, BitInput& in,
                                                              uint32_t* symbol) {
    uint32_t n = static_cast<uint32_t>(table.minLength);
    if (!Has(in, n)) return SymbolResult::NeedBits;
    int32_t code = static_cast<int32_t>(Peek(in, n));
    for (;;) {
        if (n > kMaxCodeLength) {
            errorBit_ = in.bit + n;
            return SymbolResult::Damaged;
        }
        if (code <= table.limit[n]) break;
        ++n;
        if (!Has(in, n)) return SymbolResult::NeedBits;
        code = static_cast<int32_t>(Peek(in, n));
    }
    const int32_t at = code - table.base[n];
    if (at < 0 || at >= 258) {
        errorBit_ = in.bit + n;
        return SymbolResult::Damaged;
    }
    *symbol = static_cast<uint32_t>(table.perm[at]);
    in.bit += n;
    return SymbolResult::Ok;
}

void BlockSymbolReader::BeginSymbols() {
    group_ = 0;
    groupLeft_ = 0;
    table_ = nullptr;
    runLength_ = 0;
    runShift_ = 0;
    length_ = 0;
    std::memset(counts_, 0, sizeof counts_);
    std::memcpy(list_, byteOf_, usedCount_);
}

BlockSymbolReader::Status BlockSymbolReader::ReadSymbols(BitInput& in) {
    const uint32_t endOfBlock = usedCount_ + 1;
    uint8_t* const column = column_.data();
    uint32_t length = length_;
    uint32_t runLength = runLength_;
    uint32_t runShift = runShift_;
    Status status = Status::NeedBits;

    // Takes one symbol; false when the block ends or breaks (status says which).
    auto take = [&](uint32_t symbol, uint64_t bitAfter) -> bool {
        if (symbol < 2) {
            if (runShift >= kMaxRunShift) {
                status = Fail(bitAfter);
                return false;
            }
            runLength += (symbol + 1) << runShift;
            ++runShift;
            return true;
        }
        if (runShift > 0) {
            if (runLength > maxLength_ - length) {
                status = Fail(bitAfter);
                return false;
            }
            std::memset(column + length, list_[0], runLength);
            counts_[list_[0]] += runLength;
            length += runLength;
            runLength = 0;
            runShift = 0;
        }
        if (symbol == endOfBlock) {
            if (origin_ >= length) {
                status = Fail(bitAfter);
                return false;
            }
            status = Status::BlockReady;
            return false;
        }
        if (length >= maxLength_) {
            status = Fail(bitAfter);
            return false;
        }
        const uint8_t byte = MoveToFront(list_, symbol - 1);
        column[length++] = byte;
        ++counts_[byte];
        return true;
    };

    for (;;) {
        if (groupLeft_ == 0) {
            if (group_ >= selectorCount_) {
                status = Fail(in.bit);
                break;
            }
            table_ = &tables_[selectors_[group_++]];
            groupLeft_ = kGroupSize;
        }
        if (groupLeft_ == kGroupSize && Has(in, kFastGroupBits)) {
            // A whole group from a bit window refilled before each code.
            const Table& table = *table_;
            const uint8_t* next = in.data + (in.bit >> 3);
            uint64_t window = LoadBigEndian64(next);
            next += 7;
            const auto skip = static_cast<unsigned>(in.bit & 7);
            window <<= skip;
            unsigned available = 56 - skip;
            bool going = true;
            for (uint32_t k = 0; k < kGroupSize && going; ++k) {
                // Refilled to 56..63 bits: enough for any code.
                window |= LoadBigEndian64(next) >> available;
                next += (63 - available) >> 3;
                available |= 56;
                const uint16_t entry = table.lookup[window >> (64 - kTableBits)];
                uint32_t symbol, used;
                if (entry != kLongCode) {
                    symbol = entry & 0x1FF;
                    used = entry >> 9;
                } else {
                    BitInput at{in.data, 8 * static_cast<uint64_t>(next - in.data) - available,
                                in.end};
                    const uint64_t from = at.bit;
                    if (DecodeSlow(table, at, &symbol) != SymbolResult::Ok) {
                        status = Status::Damaged;
                        going = false;
                        break;
                    }
                    used = static_cast<uint32_t>(at.bit - from);
                }
                window <<= used;
                available -= used;
                --groupLeft_;
                going = take(symbol, 8 * static_cast<uint64_t>(next - in.data) - available);
            }
            in.bit = 8 * static_cast<uint64_t>(next - in.data) - available;
            if (!going) break;
            continue;
        }
        uint32_t symbol;
        const SymbolResult result = DecodeSlow(*table_, in, &symbol);
        if (result == SymbolResult::NeedBits) break;
        if (result == SymbolResult::Damaged) {
            status = Status::Damaged;
            break;
        }
        --groupLeft_;
        if (!take(symbol, in.bit)) break;
    }
    length_ = length;
    runLength_ = runLength;
    runShift_ = runShift;
    if (status == Status::BlockReady) {
        state_ = State::BlockMagic;
        step_ = 0;
    }
    return status;
}

}  // namespace kavrin
