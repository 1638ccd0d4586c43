// SPDX-License-Identifier: MIT
// The stages of the block encoder after the sort: move-to-front with the zero-run code, and
// the Huffman tables, selectors and bits of a block, each by libbz2's rules at level 9.
// Pure functions over caller-owned buffers; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrin {

// Symbols of the coded block: the zero-run digits, then list positions 1.. as 2.., then the
// end of block at inUse + 1.
inline constexpr uint16_t kRunA = 0;
inline constexpr uint16_t kRunB = 1;
inline constexpr int kMaxAlphabet = 258;

// Writes a run of `zeros` (at least one) front symbols as bijective base-2 digits, least
// significant first: RUNA counts 1 and RUNB 2 at each place. Returns the digits written.
inline size_t PutZeroRun(uint32_t zeros, uint16_t* out, uint32_t* freq) {
    size_t written = 0;
    uint32_t left = zeros - 1;
    for (;;) {
        const uint16_t digit = (left & 1) != 0 ? kRunB : kRunA;
        out[written++] = digit;
        ++freq[digit];
        if (left < 2) break;
        left = (left - 2) / 2;
    }
    return written;
}

// Move-to-front over `count` symbol indices (each below `inUse`), with runs of the front
// symbol written as RUNA/RUNB digits and the end-of-block symbol last. `out` needs room for
// count + 1 values; `freq` (kMaxAlphabet entries) receives each symbol's count. Returns the
// number of values written. The vector twin gives the same values where CanRun(Avx2).
size_t MoveToFront(const uint8_t* indices, size_t count, int inUse, uint16_t* out, uint32_t* freq);
size_t MoveToFrontPortable(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                           uint32_t* freq);
size_t MoveToFrontAvx2(const uint8_t* indices, size_t count, int inUse, uint16_t* out,
                       uint32_t* freq);

// Huffman code lengths for `alphaSize` symbols of frequencies `freq`, at most `maxLength`
// bits, exactly as libbz2 builds them (zero counts as one; when a code is too long every
// weight is halved, plus one, and the tree built again).
void MakeCodeLengths(uint8_t* lengths, const uint32_t* freq, int alphaSize, int maxLength);

// Writes bits most significant first, appending to a byte vector. The vector grows in large
// steps while bits are written; Flush pads the last byte and trims it to the bytes written,
// and must come last.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out), size_(out.size()) {}
    // Appends the low `count` (at most 32) bits of `value`.
    void Put(unsigned count, uint32_t value) {
        buffer_ = (buffer_ << count) | (value & ((uint64_t{1} << count) - 1));
        pending_ += count;
        if (pending_ >= 32) {
            if (out_.size() < size_ + 4) out_.resize(out_.size() + (out_.size() >> 1) + 65536);
            pending_ -= 32;
            const auto word = static_cast<uint32_t>(buffer_ >> pending_);
            uint8_t* at = out_.data() + size_;
            at[0] = static_cast<uint8_t>(word >> 24);
            at[1] = static_cast<uint8_t>(word >> 16);
            at[2] = static_cast<uint8_t>(word >> 8);
            at[3] = static_cast<uint8_t>(word);
            size_ += 4;
        }
    }
    // Pads with zero bits to a whole byte and trims the vector to the bytes written.
    void Flush() {
        if (pending_ % 8 != 0) Put(8 - pending_ % 8, 0);
        out_.resize(size_ + pending_ / 8);
        for (unsigned i = 0; i < pending_ / 8; ++i) {
            out_[size_ + i] = static_cast<uint8_t>(buffer_ >> (pending_ - 8 * (i + 1)));
        }
        size_ += pending_ / 8;
        pending_ = 0;
    }

private:
    std::vector<uint8_t>& out_;
    size_t size_;  // bytes written
    uint64_t buffer_ = 0;
    unsigned pending_ = 0;  // bits in buffer_ not yet written, below 32
};

// Writes a block's body after its origin pointer: the in-use map, the number of tables, the
// selectors, the tables as length deltas and the coded symbols. `inUse` marks the bytes
// present; `symbols` and `freq` come from MoveToFront.
void WriteBlockBody(BitWriter& bits, const bool inUse[256], const uint16_t* symbols, size_t count,
                    const uint32_t* freq);

}  // namespace kavrin
