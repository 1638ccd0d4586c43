// SPDX-License-Identifier: MIT
#include "engine/BlockTransform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kavrin {
namespace {

// The format's gaps between the bytes that old bzip2 versions flipped in a randomised block.
constexpr uint16_t kRandomGaps[512] = {
    619, 720, 127, 481, 931, 816, 813, 233, 566, 247, 985, 724, 205, 454, 863, 491, 741, 242, 949,
    214, 733, 859, 335, 708, 621, 574, 73,  654, 730, 472, 419, 436, 278, 496, 867, 210, 399, 680,
    480, 51,  878, 465, 811, 169, 869, 675, 611, 697, 867, 561, 862, 687, 507, 283, 482, 129, 807,
    591, 733, 623, 150, 238, 59,  379, 684, 877, 625, 169, 643, 105, 170, 607, 520, 932, 727, 476,
    693, 425, 174, 647, 73,  122, 335, 530, 442, 853, 695, 249, 445, 515, 909, 545, 703, 919, 874,
    474, 882, 500, 594, 612, 641, 801, 220, 162, 819, 984, 589, 513, 495, 799, 161, 604, 958, 533,
    221, 400, 386, 867, 600, 782, 382, 596, 414, 171, 516, 375, 682, 485, 911, 276, 98,  553, 163,
    354, 666, 933, 424, 341, 533, 870, 227, 730, 475, 186, 263, 647, 537, 686, 600, 224, 469, 68,
    770, 919, 190, 373, 294, 822, 808, 206, 184, 943, 795, 384, 383, 461, 404, 758, 839, 887, 715,
    67,  618, 276, 204, 918, 873, 777, 604, 560, 951, 160, 578, 722, 79,  804, 96,  409, 713, 940,
    652, 934, 970, 447, 318, 353, 859, 672, 112, 785, 645, 863, 803, 350, 139, 93,  354, 99,  820,
    908, 609, 772, 154, 274, 580, 184, 79,  626, 630, 742, 653, 282, 762, 623, 680, 81,  927, 626,
    789, 125, 411, 521, 938, 300, 821, 78,  343, 175, 128, 250, 170, 774, 972, 275, 999, 639, 495,
    78,  352, 126, 857, 956, 358, 619, 580, 124, 737, 594, 701, 612, 669, 112, 134, 694, 363, 992,
    809, 743, 168, 974, 944, 375, 748, 52,  600, 747, 642, 182, 862, 81,  344, 805, 988, 739, 511,
    655, 814, 334, 249, 515, 897, 955, 664, 981, 649, 113, 974, 459, 893, 228, 433, 837, 553, 268,
    926, 240, 102, 654, 459, 51,  686, 754, 806, 760, 493, 403, 415, 394, 687, 700, 946, 670, 656,
    610, 738, 392, 760, 799, 887, 653, 978, 321, 576, 617, 626, 502, 894, 679, 243, 440, 680, 879,
    194, 572, 640, 724, 926, 56,  204, 700, 707, 151, 457, 449, 797, 195, 791, 558, 945, 679, 297,
    59,  87,  824, 713, 663, 412, 693, 342, 606, 134, 108, 571, 364, 631, 212, 174, 643, 304, 329,
    343, 97,  430, 751, 497, 314, 983, 374, 822, 928, 140, 206, 73,  263, 980, 736, 876, 478, 430,
    305, 170, 514, 364, 692, 829, 82,  855, 953, 676, 246, 369, 970, 294, 750, 807, 827, 150, 790,
    288, 923, 804, 378, 215, 828, 592, 281, 565, 555, 710, 82,  896, 831, 547, 261, 524, 462, 293,
    465, 502, 56,  661, 821, 976, 991, 658, 869, 905, 758, 745, 193, 768, 550, 608, 933, 378, 286,
    215, 979, 792, 961, 61,  688, 793, 644, 986, 403, 106, 366, 905, 644, 372, 567, 466, 434, 645,
    210, 389, 550, 919, 135, 780, 773, 635, 389, 707, 100, 626, 958, 165, 504, 920, 176, 193, 713,
    857, 265, 203, 50,  668, 108, 645, 990, 626, 197, 510, 357, 358, 850, 858, 364, 936, 638,
};

constexpr uint32_t kPointerMask = 0xFFFFF;  // 20 bits: blocks hold at most 900 000 bytes
constexpr unsigned kNibbleShift = 20;
constexpr uint32_t kChains = 16;
constexpr uint32_t kPage = 4096;
static_assert(kColumnSlack >= kChains * kPage + 8, "a page per chain beyond the block");

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

// The high half of the byte a place stands for: the sorted column holds the byte values in
// order, so it is the number of sixteens of byte values whose places begin at or before it.
struct HighHalves {
    uint32_t starts[16];  // starts[k]: the first place of byte value 16 k

    explicit HighHalves(const uint32_t* firstPlace) {
        for (int k = 0; k < 16; ++k) starts[k] = firstPlace[16 * k];
    }
    // A search without branches over the 15 boundaries.
    uint32_t At(uint32_t place) const {
        uint32_t k = 0;
        k += place >= starts[k + 8] ? 8 : 0;
        k += place >= starts[k + 4] ? 4 : 0;
        k += place >= starts[k + 2] ? 2 : 0;
        k += place >= starts[k + 1] ? 1 : 0;
        return k << 4;
    }
};

}  // namespace

void Derandomise(uint8_t* bytes, uint32_t length) {
    uint64_t segment = 0;
    for (uint32_t k = 0;; k = (k + 1) % 512) {
        const uint64_t flip = segment + kRandomGaps[k] - 2;
        if (flip >= length) return;
        bytes[flip] ^= 1;
        segment += kRandomGaps[k];
    }
}

// Where the walk keeps its pieces: a piece's bytes lie in extents of the pages, in order.
struct PieceBook {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr uint32_t kMaxPieces = 900000 / 2048 + 2;
    static constexpr uint32_t kMaxExtents = 900000 / kPage + 2 * kMaxPieces + kChains + 4;
    struct Piece {
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
    Piece pieces[kMaxPieces];
    Extent extents[kMaxExtents];
};

namespace {

// The walk: the chain is cut at every place that is a multiple of `spacing` and at the origin;
// each piece runs from its cut to the next one. Chains take pieces in turn and write them into
// pages, a piece going on in a new page when one is full.
class PieceWalk {
public:
    PieceWalk(PieceBook& book, const uint8_t* entries, const HighHalves& high, uint32_t length,
              uint32_t origin, uint8_t* pool)
        : pieces(book.pieces),
          extents(book.extents),
          entries_(entries),
          high_(high),
          origin_(origin),
          pool_(pool) {
        // About 128 to 256 pieces: enough to keep every chain busy to the end.
        spacing_ = 64;
        while (spacing_ < length / 256) spacing_ <<= 1;
        regular_ = (length + spacing_ - 1) / spacing_;
        originPiece_ = origin % spacing_ == 0 ? origin / spacing_ : regular_;
        pieces_ = regular_ + (originPiece_ == regular_ ? 1 : 0);
        for (uint32_t k = 0; k < pieces_; ++k) pieces[k] = PieceBook::Piece{};
    }

    // Walks every piece. Afterwards Order() puts them in sequence.
    void Run() {
        Chain chains[kChains];
        uint32_t active = 0;
        uint32_t queued = 0;
        while (active < kChains && queued < pieces_) {
            chains[active].page = NewPage();
            Begin(chains[active], queued++);
            ++active;
        }
        while (active > 0) {
            for (uint32_t k = 0; k < active;) {
                Chain& chain = chains[k];
                const uint32_t entry = LoadEntry(entries_, chain.at);
                *chain.out++ =
                    static_cast<uint8_t>(high_.At(chain.at) | ((entry >> kNibbleShift) & 15));
                const uint32_t next = entry & kPointerMask;
                chain.at = next;
                if (chain.out == chain.page + kPage) {
                    Close(chain);
                    chain.page = NewPage();
                    chain.out = chain.from = chain.page;
                    Open(chain);
                }
                if ((next & (spacing_ - 1)) == 0 || next == origin_) {
                    Close(chain);
                    pieces[chain.piece].next =
                        (next & (spacing_ - 1)) == 0 ? next / spacing_ : originPiece_;
                    if (queued < pieces_) {
                        Begin(chain, queued++);
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
    // returns their length: the block's length when the pointers form one cycle.
    uint32_t Order(uint8_t* out) const {
        uint32_t total = 0;
        uint32_t piece = originPiece_;
        for (uint32_t count = 0; count < pieces_; ++count) {
            for (uint32_t e = pieces[piece].firstExtent; e != kNone; e = extents[e].next) {
                std::memcpy(out + total, pool_ + extents[e].offset, extents[e].length);
                total += extents[e].length;
            }
            piece = pieces[piece].next;
            if (piece == originPiece_) break;
        }
        return total;
    }

private:
    static constexpr uint32_t kNone = PieceBook::kNone;

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
        chain.at = piece == regular_ ? origin_ : piece * spacing_;
        chain.from = chain.out;
        if (chain.out == nullptr) chain.from = chain.out = chain.page;
        Open(chain);
    }
    void Open(Chain& chain) {
        const uint32_t e = extentCount_++;
        extents[e] = PieceBook::Extent{static_cast<uint32_t>(chain.from - pool_), 0, kNone};
        PieceBook::Piece& piece = pieces[chain.piece];
        if (piece.lastExtent == kNone) {
            piece.firstExtent = e;
        } else {
            extents[piece.lastExtent].next = e;
        }
        piece.lastExtent = e;
        chain.extent = e;
    }
    void Close(Chain& chain) {
        const auto written = static_cast<uint32_t>(chain.out - chain.from);
        extents[chain.extent].length = written;
        pieces[chain.piece].length += written;
        chain.from = chain.out;
    }

    PieceBook::Piece* pieces;
    PieceBook::Extent* extents;
    const uint8_t* entries_;
    const HighHalves& high_;
    uint32_t origin_;
    uint8_t* pool_;
    uint32_t poolUsed_ = 0;
    uint32_t spacing_ = 64;
    uint32_t regular_ = 0;
    uint32_t originPiece_ = 0;
    uint32_t pieces_ = 0;
    uint32_t extentCount_ = 0;
};

}  // namespace

InverseTransform::InverseTransform() = default;

InverseTransform::~InverseTransform() {
    std::free(entries_);
    delete book_;
}

bool InverseTransform::Reserve(uint32_t maxLength) {
    if (book_ == nullptr) book_ = new (std::nothrow) PieceBook;
    if (book_ == nullptr) return false;
    if (maxLength <= capacity_) return true;
    void* table = std::malloc(3 * static_cast<size_t>(maxLength) + 8);
    if (table == nullptr) return false;
    std::free(entries_);
    entries_ = static_cast<uint8_t*>(table);
    capacity_ = maxLength;
    return true;
}

void InverseTransform::Restore(uint8_t* column, uint32_t length, const uint32_t counts[256],
                               uint32_t origin, bool randomised) {
    uint8_t* const entries = entries_;
    uint32_t first[257];
    first[0] = 0;
    for (int c = 0; c < 256; ++c) first[c + 1] = first[c] + counts[c];

    // The column's place i and the sorted place j of the same byte are linked: the chain goes
    // from j to i. Every sorted place learns where the chain goes next and the low half of
    // its byte.
    uint32_t next[256];
    std::memcpy(next, first, sizeof next);
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t c = column[i];
        StoreEntry(entries, next[c]++, i | static_cast<uint32_t>(c & 15) << kNibbleShift);
    }

    // The block's first byte is the one the origin's place stands for; the chain from there
    // gives the rest. The column's memory is free now: the pieces go into its pages, and in
    // order into the table's memory (free after the walk), then back.
    const HighHalves high(first);
    PieceWalk walk(*book_, entries, high, length, origin, column);
    walk.Run();
    const uint32_t cycle = walk.Order(entries);
    oneCycle_ = cycle == length;
    // The library's walk from the origin goes round the origin's cycle again and again (one
    // cycle through the whole block, in a sound one), and reads one byte past the end.
    for (uint32_t k = 0; k <= length; k += cycle) {
        std::memcpy(column + k, entries, std::min(cycle, length + 1 - k));
    }
    if (randomised) Derandomise(column, length + 1);
}

}  // namespace kavrin
