// SPDX-License-Identifier: MIT
// The inverse transform's walk (BlockTransform.h), internal to the block decoder: the table's
// entries, the pieces the chain is cut into and their bookkeeping, the walk one chain step at
// a time, and putting the pieces in order. BlockTransform.cpp walks with it alone, or after
// BlockTransformAvx2.cpp's vector walk has done all but the last pieces. Everything here has
// internal linkage, so each of the two may be built for its own processor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/decode/BlockSymbols.h"

namespace kavrin {

// Where a walk keeps its pieces: a piece's bytes lie in rounds of one vector lane, then in
// extents of pages, in order; and the high half of each place's byte.
struct PieceBook {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr uint32_t kMaxPieces = 1100;
    static constexpr uint32_t kMaxExtents = 900000 / 1024 + 2 * kMaxPieces + 64;
    struct Piece {
        uint32_t lane = kNone;  // the vector lane that walked its start, if any
        uint32_t firstRound = 0;
        uint32_t endRound = 0;
        uint32_t firstExtent = kNone;
        uint32_t lastExtent = kNone;
        uint32_t length = 0;
        uint32_t next = 0;  // the piece the chain goes on with
    };
    struct Extent {
        uint32_t offset = 0;
        uint32_t length = 0;
        uint32_t next = kNone;
    };
    // The high half of the byte a place stands for: the sorted column holds the byte values in
    // order, so it is the number of sixteens of byte values whose places begin at or before
    // it. `ranges` gives it (shifted into place) for every range of 256 places; a range with a
    // boundary inside holds kMixed and is searched.
    static constexpr uint8_t kMixed = 0xFF;
    uint32_t starts[16];                // starts[k]: the first place of byte value 16 k
    uint8_t ranges[900000 / 256 + 16];  // padded for four-byte reads
    Piece pieces[kMaxPieces];
    Extent extents[kMaxExtents];
};

// Lanes of the vector walk: rounds of one byte per lane.
inline constexpr uint32_t kLanes = 32;

// What the vector walk needs of a walk, as plain values (the two are built for different
// processors and share no code).
struct LaneWalk {
    PieceBook* book;
    const uint8_t* entries;
    uint8_t* pool;
    uint32_t origin;
    uint32_t spacing;
    uint32_t offset;   // origin % spacing: the cuts' place within their spacing
    uint32_t pieces;   // pieces 0..pieces-1 start at piece * spacing + offset
    uint32_t* queued;  // the next piece to take
};

// Walks all but the last pieces with the vector walk (BlockTransformAvx2.cpp), lanes writing
// rounds of kLanes bytes from the pool's start, and records in the book which lane walked
// which rounds of each piece. Returns the rounds; atOut and pieceOut (kLanes each) receive the
// lanes still walking a piece (their place and piece), *count how many.
uint32_t WalkLanesAvx2(const LaneWalk& walk, uint32_t* atOut, uint32_t* pieceOut, uint32_t* count);
// Lays the vector walk's records (rounds of kLanes bytes) out lane by lane: `rounds` bytes of
// lane 0, then of lane 1, ...
void TransposeLanesAvx2(const uint8_t* records, uint32_t rounds, uint8_t* lanes);

namespace {

constexpr uint32_t kPointerMask = 0xFFFFF;  // 20 bits: blocks hold at most 900 000 bytes
constexpr unsigned kNibbleShift = 20;
constexpr uint32_t kPage = 1024;
constexpr uint32_t kChains = 16;
static_assert(kColumnSlack >= kLanes * kPage + 8, "a page per chain beyond the block");

// An entry: bits 0-19 the place the chain goes to from this one, bits 20-23 the low half of
// the byte this place stands for. Three bytes, read as four (the table has a spare byte).
inline uint32_t LoadEntry(const uint8_t* entries, uint32_t at) {
    uint32_t value;
    std::memcpy(&value, entries + 3 * static_cast<size_t>(at), sizeof value);
    return value;
}

// Exactly three bytes, so that writing one entry never touches its neighbour.
inline void StoreEntry(uint8_t* entries, uint32_t at, uint32_t value) {
    uint8_t* place = entries + 3 * static_cast<size_t>(at);
    const auto low = static_cast<uint16_t>(value);
    std::memcpy(place, &low, sizeof low);
    place[2] = static_cast<uint8_t>(value >> 16);
}

// A search without branches over the 15 boundaries.
inline uint32_t SearchHigh(const PieceBook& book, uint32_t place) {
    uint32_t k = 0;
    k += place >= book.starts[k + 8] ? 8 : 0;
    k += place >= book.starts[k + 4] ? 4 : 0;
    k += place >= book.starts[k + 2] ? 2 : 0;
    k += place >= book.starts[k + 1] ? 1 : 0;
    return k << 4;
}

inline uint32_t HighAt(const PieceBook& book, uint32_t place) {
    const uint8_t half = book.ranges[place >> 8];
    return half != PieceBook::kMixed ? half : SearchHigh(book, place);
}

// The chain is cut at every place that lies a multiple of the spacing from the origin (the
// origin among them); each piece runs from its cut to the next one.
class Walk {
public:
    Walk(PieceBook& book, const uint8_t* entries, const uint32_t* firstPlace, uint32_t length,
         uint32_t origin, uint8_t* pool)
        : book_(book), entries_(entries), origin_(origin), pool_(pool) {
        for (int k = 0; k < 16; ++k) book.starts[k] = firstPlace[16 * k];
        for (uint32_t r = 0; 256 * r < length; ++r) {
            const uint32_t low = SearchHigh(book, 256 * r);
            const uint32_t high = SearchHigh(book, std::min(256 * r + 255, length - 1));
            book.ranges[r] = low == high ? static_cast<uint8_t>(low) : PieceBook::kMixed;
        }
        // About 512 to 1024 pieces: enough to keep every chain busy to the end.
        spacing_ = 64;
        while (spacing_ < length / 1024) spacing_ <<= 1;
        offset_ = origin % spacing_;
        pieces_ = (length - offset_ + spacing_ - 1) / spacing_;
        for (uint32_t k = 0; k < pieces_; ++k) book.pieces[k] = PieceBook::Piece{};
    }

    PieceBook& book() { return book_; }
    const uint8_t* entries() const { return entries_; }
    uint8_t* pool() { return pool_; }
    uint32_t origin() const { return origin_; }
    uint32_t spacing() const { return spacing_; }
    uint32_t pieces() const { return pieces_; }
    uint32_t StartOf(uint32_t piece) const { return piece * spacing_ + offset_; }
    bool IsCut(uint32_t place) const { return ((place - origin_) & (spacing_ - 1)) == 0; }
    uint32_t PieceAt(uint32_t place) const { return place / spacing_; }
    LaneWalk Lanes() {
        return LaneWalk{&book_, entries_, pool_, origin_, spacing_, offset_, pieces_, &queued_};
    }
    // The next piece to walk; false when every piece has been taken.
    bool Take(uint32_t* piece) {
        if (queued_ == pieces_) return false;
        *piece = queued_++;
        return true;
    }

    // Walks the `count` chains given (their place and piece: pieces under way) and then every
    // piece still to take, sixteen chains side by side, into pages from byte `from` of the pool.
    void RunChains(const uint32_t* at, const uint32_t* piece, uint32_t count, size_t from) {
        poolUsed_ = from;
        Chain chains[kLanes];
        uint32_t active = 0;
        for (; active < count; ++active) {
            Chain& chain = chains[active];
            chain.page = NewPage();
            chain.from = chain.out = chain.page;
            chain.piece = piece[active];
            chain.at = at[active];
            Open(chain);
        }
        uint32_t next = 0;
        while (active < kChains && Take(&next)) {
            Chain& chain = chains[active++];
            chain.page = NewPage();
            chain.from = chain.out = chain.page;
            Begin(chain, next);
        }
        while (active > 0) {
            for (uint32_t k = 0; k < active;) {
                Chain& chain = chains[k];
                const uint32_t entry = LoadEntry(entries_, chain.at);
                *chain.out++ =
                    static_cast<uint8_t>(HighAt(book_, chain.at) | ((entry >> kNibbleShift) & 15));
                chain.at = entry & kPointerMask;
                if (chain.out == chain.page + kPage) {
                    Close(chain);
                    chain.page = NewPage();
                    chain.from = chain.out = chain.page;
                    Open(chain);
                }
                if (IsCut(chain.at)) {
                    Close(chain);
                    book_.pieces[chain.piece].next = PieceAt(chain.at);
                    if (Take(&next)) {
                        Begin(chain, next);
                    } else {
                        chains[k] = chains[--active];
                        continue;
                    }
                }
                ++k;
            }
        }
    }

    // Copies the pieces of the origin's cycle, in order from the origin, to `out`, and
    // returns their length: the block's length when the pointers form one cycle. `lanes`
    // holds the vector walk's bytes lane by lane, `rounds` to a lane.
    uint32_t Order(uint8_t* out, const uint8_t* lanes, uint32_t rounds) const {
        uint32_t total = 0;
        const uint32_t originPiece = PieceAt(origin_);
        uint32_t piece = originPiece;
        for (uint32_t count = 0; count < pieces_; ++count) {
            const PieceBook::Piece& p = book_.pieces[piece];
            if (p.lane != PieceBook::kNone) {
                const uint32_t part = p.endRound - p.firstRound;
                std::memcpy(out + total,
                            lanes + static_cast<size_t>(p.lane) * rounds + p.firstRound, part);
                total += part;
            }
            for (uint32_t e = p.firstExtent; e != PieceBook::kNone; e = book_.extents[e].next) {
                std::memcpy(out + total, pool_ + book_.extents[e].offset, book_.extents[e].length);
                total += book_.extents[e].length;
            }
            piece = p.next;
            if (piece == originPiece) break;
        }
        return total;
    }

private:
    struct Chain {
        uint32_t at = 0;
        uint32_t piece = 0;
        uint32_t extent = 0;
        uint8_t* page = nullptr;
        uint8_t* from = nullptr;  // where the current extent began
        uint8_t* out = nullptr;
    };

    uint8_t* NewPage() {
        uint8_t* page = pool_ + poolUsed_;
        poolUsed_ += kPage;
        return page;
    }
    void Begin(Chain& chain, uint32_t piece) {
        chain.piece = piece;
        chain.at = StartOf(piece);
        chain.from = chain.out;
        Open(chain);
    }
    void Open(Chain& chain) {
        const uint32_t e = extentCount_++;
        book_.extents[e] =
            PieceBook::Extent{static_cast<uint32_t>(chain.from - pool_), 0, PieceBook::kNone};
        PieceBook::Piece& piece = book_.pieces[chain.piece];
        if (piece.lastExtent == PieceBook::kNone) {
            piece.firstExtent = e;
        } else {
            book_.extents[piece.lastExtent].next = e;
        }
        piece.lastExtent = e;
        chain.extent = e;
    }
    void Close(Chain& chain) {
        const auto written = static_cast<uint32_t>(chain.out - chain.from);
        book_.extents[chain.extent].length = written;
        book_.pieces[chain.piece].length += written;
        chain.from = chain.out;
    }

    PieceBook& book_;
    const uint8_t* entries_;
    uint32_t origin_;
    uint8_t* pool_;
    size_t poolUsed_ = 0;
    uint32_t spacing_ = 64;
    uint32_t offset_ = 0;  // origin % spacing_: the cuts' place within their spacing
    uint32_t pieces_ = 0;
    uint32_t queued_ = 0;
    uint32_t extentCount_ = 0;
};

}  // namespace
}  // namespace kavrin
