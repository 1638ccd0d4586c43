// SPDX-License-Identifier: MIT
#include "engine/decode/BlockSymbols.h"

#include "engine/codec/CpuFeatures.h"
#include "engine/codec/StreamBits.h"

#include "engine/decode/SymbolLoop.h"

#include <algorithm>
#include <cstring>

// Symbols are decoded through a lookup table per Huffman table (codes up to kTableBits bits in
// one step, longer ones by the library's own walk), and the move-to-front list is kept as the
// byte values themselves.

namespace kavrin {
namespace {

constexpr uint8_t kBlockMagicBytes[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr uint8_t kEndMagicBytes[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

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
    Status result = Status::NeedBits;
    for (;;) {
        bool goOn = false;
        switch (state_) {
            case State::StreamMagic:
            case State::BlockMagic:
            case State::EndMagic:
            case State::StreamCrc:
            case State::BlockCrc:
                goOn = ReadMarker(in, &result);
                break;
            case State::RandomBit:
            case State::Origin:
            case State::UsedGroups:
            case State::UsedBytes:
            case State::TableCount:
            case State::SelectorCount:
            case State::Selectors:
                goOn = ReadBlockHeader(in, &result);
                break;
            case State::LengthStart:
            case State::LengthStep:
            case State::LengthChange:
                goOn = ReadCodeLength(in, &result);
                break;
            case State::SymbolsStart:
                if (!EnsureColumn()) return Status::NoMemory;
                BeginSymbols();
                state_ = State::Symbols;
                goOn = true;
                break;
            case State::Symbols:
                return ReadSymbols(in);
        }
        if (!goOn) return result;
    }
}

bool BlockSymbolReader::ReadMarker(BitInput& in, Status* result) {
    switch (state_) {
        case State::StreamMagic: {
            if (!HasBits(in, 8)) return Stop(result, Status::NeedBits);
            const uint32_t byte = PeekBits(in, 8);
            in.bit += 8;
            if (!FitsStreamHeader(step_, static_cast<uint8_t>(byte))) {
                errorBit_ = in.bit;
                return Stop(result, Status::BadHeader);
            }
            if (++step_ == 4) {
                level_ = byte - '0';
                maxLength_ = 100000 * level_;
                state_ = State::BlockMagic;
                step_ = 0;
            }
            return true;
        }
        case State::BlockMagic: {
            if (!HasBits(in, 8)) return Stop(result, Status::NeedBits);
            const uint32_t byte = PeekBits(in, 8);
            in.bit += 8;
            if (step_ == 0 && byte == kEndMagicBytes[0]) {
                state_ = State::EndMagic;
                step_ = 1;
                return true;
            }
            if (byte != kBlockMagicBytes[step_]) return Stop(result, Fail(in.bit));
            if (++step_ == 6) state_ = State::BlockCrc;
            return true;
        }
        case State::EndMagic: {
            if (!HasBits(in, 8)) return Stop(result, Status::NeedBits);
            const uint32_t byte = PeekBits(in, 8);
            in.bit += 8;
            if (byte != kEndMagicBytes[step_]) return Stop(result, Fail(in.bit));
            if (++step_ == 6) state_ = State::StreamCrc;
            return true;
        }
        case State::StreamCrc:
            if (!HasBits(in, 32)) return Stop(result, Status::NeedBits);
            storedCrc_ = PeekBits(in, 32);
            in.bit += 32;
            state_ = State::BlockMagic;  // nothing more is read from this stream
            step_ = 0;
            return Stop(result, Status::StreamEnd);
        case State::BlockCrc:
            if (!HasBits(in, 32)) return Stop(result, Status::NeedBits);
            storedCrc_ = PeekBits(in, 32);
            in.bit += 32;
            state_ = State::RandomBit;
            return true;
        default:
            return true;
    }
}

bool BlockSymbolReader::ReadBlockHeader(BitInput& in, Status* result) {
    switch (state_) {
        case State::RandomBit:
            if (!HasBits(in, 1)) return Stop(result, Status::NeedBits);
            randomised_ = PeekBits(in, 1) != 0;
            in.bit += 1;
            state_ = State::Origin;
            return true;
        case State::Origin:
            if (!HasBits(in, 24)) return Stop(result, Status::NeedBits);
            origin_ = PeekBits(in, 24);
            in.bit += 24;
            if (origin_ > 10 + maxLength_) return Stop(result, Fail(in.bit));
            state_ = State::UsedGroups;
            return true;
        case State::UsedGroups:
            if (!HasBits(in, 16)) return Stop(result, Status::NeedBits);
            usedGroups_ = static_cast<uint16_t>(PeekBits(in, 16));
            in.bit += 16;
            usedCount_ = 0;
            step_ = 0;
            state_ = State::UsedBytes;
            return true;
        case State::UsedBytes: {
            while (step_ < 16 && !(usedGroups_ & (0x8000u >> step_))) ++step_;
            if (step_ < 16) {
                if (!HasBits(in, 16)) return Stop(result, Status::NeedBits);
                const uint32_t used = PeekBits(in, 16);
                in.bit += 16;
                for (uint32_t j = 0; j < 16; ++j) {
                    if (used & (0x8000u >> j)) byteOf_[usedCount_++] = 16 * step_ + j;
                }
                ++step_;
                return true;
            }
            if (usedCount_ == 0) return Stop(result, Fail(in.bit));
            state_ = State::TableCount;
            return true;
        }
        case State::TableCount:
            if (!HasBits(in, 3)) return Stop(result, Status::NeedBits);
            tableCount_ = PeekBits(in, 3);
            in.bit += 3;
            if (tableCount_ < 2 || tableCount_ > 6) return Stop(result, Fail(in.bit));
            state_ = State::SelectorCount;
            return true;
        case State::SelectorCount:
            if (!HasBits(in, 15)) return Stop(result, Status::NeedBits);
            selectorCount_ = PeekBits(in, 15);
            in.bit += 15;
            if (selectorCount_ < 1) return Stop(result, Fail(in.bit));
            selectorsRead_ = 0;
            state_ = State::Selectors;
            return true;
        case State::Selectors: {
            while (selectorsRead_ < selectorCount_) {
                // A selector is a run of 1 bits below the table count, ended by a 0 bit.
                uint32_t ones = 0;
                for (;;) {
                    if (!HasBits(in, ones + 1)) return Stop(result, Status::NeedBits);
                    BitInput at = in;
                    at.bit += ones;
                    if (PeekBits(at, 1) == 0) break;
                    if (++ones >= tableCount_) return Stop(result, Fail(in.bit + ones));
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
            return true;
        }
        default:
            return true;
    }
}

bool BlockSymbolReader::ReadCodeLength(BitInput& in, Status* result) {
    switch (state_) {
        case State::LengthStart:
            if (!HasBits(in, 5)) return Stop(result, Status::NeedBits);
            current_ = static_cast<int32_t>(PeekBits(in, 5));
            in.bit += 5;
            symbolIndex_ = 0;
            state_ = State::LengthStep;
            return true;
        case State::LengthStep: {
            if (current_ < 1 || current_ > static_cast<int32_t>(kMaxCodeLength)) {
                return Stop(result, Fail(in.bit));
            }
            if (!HasBits(in, 1)) return Stop(result, Status::NeedBits);
            const uint32_t more = PeekBits(in, 1);
            in.bit += 1;
            if (more) {
                state_ = State::LengthChange;
                return true;
            }
            lengths_[step_][symbolIndex_] = static_cast<uint8_t>(current_);
            if (++symbolIndex_ < usedCount_ + 2) return true;
            if (++step_ < tableCount_) {
                state_ = State::LengthStart;
                return true;
            }
            for (uint32_t t = 0; t < tableCount_; ++t) BuildTable(tables_[t], lengths_[t]);
            state_ = State::SymbolsStart;
            return true;
        }
        case State::LengthChange:
            if (!HasBits(in, 1)) return Stop(result, Status::NeedBits);
            current_ += PeekBits(in, 1) ? -1 : 1;
            in.bit += 1;
            state_ = State::LengthStep;
            return true;
        default:
            return true;
    }
}

void BlockSymbolReader::BuildTable(HuffmanTable& table, const uint8_t* lengths) {
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
    const int32_t top = std::min<int32_t>(maxLength, HuffmanTable::kLookupBits);
    for (int32_t n = minLength; n <= top; ++n) {
        const int32_t first = n == minLength ? 0 : (table.limit[n - 1] + 1) << 1;
        const int32_t last = std::min<int32_t>(table.limit[n], (1 << n) - 1);
        for (int32_t code = first; code <= last; ++code) {
            const int32_t at = code - table.base[n];
            if (at < 0 || at >= 258) continue;  // the walk's own check decides
            const auto entry = static_cast<uint16_t>(table.perm[at] | (n << 9));
            const unsigned shift = HuffmanTable::kLookupBits - static_cast<unsigned>(n);
            std::fill(table.lookup + (code << shift), table.lookup + ((code + 1) << shift), entry);
        }
    }
}

void BlockSymbolReader::BeginSymbols() {
    SymbolState& s = symbols_;
    s.tables = tables_;
    s.selectors = selectors_;
    s.selectorCount = selectorCount_;
    s.group = 0;
    s.groupLeft = 0;
    s.table = nullptr;
    s.runLength = 0;
    s.runShift = 0;
    s.list = list_;
    s.column = column_.data();
    s.length = 0;
    s.maxLength = maxLength_;
    s.counts = counts_;
    s.endOfBlock = usedCount_ + 1;
    s.origin = origin_;
    std::memset(counts_, 0, sizeof counts_);
    std::memcpy(list_, byteOf_, usedCount_);
}

BlockSymbolReader::Status BlockSymbolReader::ReadSymbols(BitInput& in) {
    SymbolState& s = symbols_;
    LoopEnd end = LoopEnd::Slow;
    for (;;) {
#if defined(__x86_64__)
        // The fast loop with the move-to-front list in vector registers where it may run.
        end = CanRun(VectorUnit::Avx2) ? RunSymbolsAvx2(s, in) : RunSymbols<ByteMtf>(s, in);
#else
        end = RunSymbols<ByteMtf>(s, in);
#endif
        if (end != LoopEnd::Slow) break;
        // One symbol at a time near the end of the input, each decided with the bits there.
        if (s.groupLeft == 0) {
            if (s.group >= s.selectorCount) {
                s.errorBit = in.bit;
                end = LoopEnd::Damaged;
                break;
            }
            s.table = &s.tables[s.selectors[s.group++]];
            s.groupLeft = kGroupSize;
        }
        uint32_t symbol;
        const SymbolResult result = DecodeSymbolSlowly(*s.table, in, &symbol, &s.errorBit);
        if (result == SymbolResult::NeedBits) return Status::NeedBits;
        if (result == SymbolResult::Damaged) {
            end = LoopEnd::Damaged;
            break;
        }
        --s.groupLeft;
        ByteMtf mtf(s.list);
        if (!TakeSymbol(s, mtf, symbol, in.bit, &end)) break;
    }
    if (end == LoopEnd::Damaged) return Fail(s.errorBit);
    state_ = State::BlockMagic;
    step_ = 0;
    return Status::BlockReady;
}

}  // namespace kavrin
