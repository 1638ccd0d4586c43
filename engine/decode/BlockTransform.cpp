// SPDX-License-Identifier: MIT
#include "engine/decode/BlockTransform.h"

#include "engine/decode/TransformWalk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/codec/CpuFeatures.h"

// The library follows one chain of pointers through a table of 4 bytes per block byte, one
// memory access per byte, each waiting for the one before: a walk through 3.6 MB at the
// memory's latency (over 100 ns a step on a busy machine). Here the table (3 bytes per entry:
// the forward pointer and the low half of the byte; the high half follows from where the entry
// lies) is walked by many chains at once: the chain is cut at every place whose index is a
// multiple of a spacing (and at the origin), each piece is walked on its own, sixteen side by
// side, into pages of the column's memory, and the pieces are then put in order. Sixteen
// memory accesses in flight instead of one; with the bytes themselves in the caller's column
// that makes 4 bytes per block byte, as the library needs, plus the column's slack for pages.

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
    // gives the rest. The column's memory is free now: the walk writes into it, and the pieces
    // go in order into the table's memory (free after the walk), then back.
    Walk walk(*book_, entries, first, length, origin, column);
    uint32_t rounds = 0;
    uint32_t tail = 0;
    uint32_t at[kLanes], piece[kLanes];
#if defined(__x86_64__)
    if (CanRun(VectorUnit::Avx2)) rounds = WalkLanesAvx2(walk.Lanes(), at, piece, &tail);
#endif
    walk.RunChains(at, piece, tail, static_cast<size_t>(rounds) * kLanes);
    uint8_t* ordered = entries;
#if defined(__x86_64__)
    if (rounds > 0) {
        TransposeLanesAvx2(column, rounds, entries);
        ordered = entries + static_cast<size_t>(rounds) * kLanes;
    }
#endif
    const uint32_t cycle = walk.Order(ordered, entries, rounds);
    oneCycle_ = cycle == length;
    // The library's walk from the origin goes round the origin's cycle again and again (one
    // cycle through the whole block, in a sound one), and reads one byte past the end.
    for (uint32_t k = 0; k <= length; k += cycle) {
        std::memcpy(column + k, ordered, std::min(cycle, length + 1 - k));
    }
    if (randomised) Derandomise(column, length + 1);
}

}  // namespace kavrin
