// SPDX-License-Identifier: MIT
#include "engine/decode/BlockRuns.h"

#include <algorithm>
#include <cstring>

#include "engine/codec/BlockCrc.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kavrin {
namespace {

// The place of the fourth of four equal bytes at or after `at` (a run's head, so a count
// follows it), or `length` when none comes. `same` and `last` describe the bytes before `at`.
uint32_t FindRunHead(const uint8_t* bytes, uint32_t length, uint32_t at, uint32_t same,
                     uint8_t last) {
    // One byte at a time until the state is plain, then sixteen at a time.
    while (at < length && (at == 0 || same == 0)) {
        same = same > 0 && bytes[at] == last ? same + 1 : 1;
        last = bytes[at];
        if (same == 4) return at;
        ++at;
    }
#if defined(__SSE2__)
    while (at + 16 <= length) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at - 1));
        // Bit k + 2: byte at + k equals the one before it; bits 0 and 1 carry the run so far.
        const uint32_t equal =
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before))) << 2 |
            (same >= 3   ? 3u
             : same == 2 ? 2u
                         : 0u);
        const uint32_t heads = equal & (equal << 1) & (equal << 2);
        if (heads != 0) return at + static_cast<uint32_t>(__builtin_ctz(heads)) - 2;
        same = (equal >> 17) & 1 ? ((equal >> 16) & 1 ? 3 : 2) : 1;
        at += 16;
    }
    last = bytes[at - 1];
#endif
    for (; at < length; ++at) {
        same = bytes[at] == last ? same + 1 : 1;
        last = bytes[at];
        if (same == 4) return at;
    }
    return length;
}

// The cursor's state after the bytes [from, to), inside which no run's head ends.
void PassLiterals(const uint8_t* bytes, uint32_t from, uint32_t to, RunCursor& cursor) {
    if (to == from) return;
    uint32_t k = to - 1;
    uint32_t same = 1;
    while (k > from && bytes[k - 1] == bytes[k]) {
        --k;
        ++same;
    }
    if (k == from && cursor.same > 0 && bytes[from] == cursor.last) same += cursor.same;
    cursor.same = static_cast<uint8_t>(same);
    cursor.last = bytes[to - 1];
    cursor.compact = to;
}

// Moves the cursor on by at most `room` restored bytes, copying them to `out` unless it is
// null. Returns the bytes passed.
size_t Advance(const uint8_t* compact, uint32_t length, RunCursor& cursor, uint8_t* out,
               uint64_t room) {
    uint64_t passed = 0;
    while (passed < room) {
        if (cursor.repeat > 0) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(cursor.repeat, room - passed));
            if (out != nullptr) std::memset(out + passed, cursor.last, n);
            cursor.repeat -= n;
            passed += n;
            continue;
        }
        if (cursor.compact >= length) break;
        if (cursor.same == 4) {
            cursor.repeat = compact[cursor.compact++];
            cursor.same = 0;
            continue;
        }
        const uint32_t head =
            FindRunHead(compact, length, cursor.compact, cursor.same, cursor.last);
        const uint32_t stop = head < length ? head + 1 : length;
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(stop - cursor.compact, room - passed));
        if (out != nullptr) std::memcpy(out + passed, compact + cursor.compact, n);
        if (cursor.compact + n == stop && head < length) {
            cursor.same = 4;
            cursor.last = compact[head];
            cursor.compact = stop;
        } else {
            PassLiterals(compact, cursor.compact, cursor.compact + n, cursor);
        }
        passed += n;
    }
    cursor.restored += passed;
    return static_cast<size_t>(passed);
}

}  // namespace

size_t ExpandRuns(const uint8_t* compact, uint32_t length, RunCursor& cursor, uint8_t* out,
                  size_t room) {
    return Advance(compact, length, cursor, out, room);
}

void SeekRuns(const uint8_t* compact, uint32_t length, RunCursor& cursor, uint64_t target) {
    if (target > cursor.restored)
        Advance(compact, length, cursor, nullptr, target - cursor.restored);
}

RunSummary SummariseRuns(const uint8_t* compact, uint32_t length, uint8_t follower) {
    RunSummary summary;
    uint32_t crc = kCrcStart;
    uint32_t at = 0;
    uint32_t same = 0;
    while (at < length) {
        const uint32_t head = FindRunHead(compact, length, at, same, 0);
        if (head == length) {
            summary.restored += length - at;
            crc = UpdateBlockCrc(crc, compact + at, length - at);
            break;
        }
        summary.restored += head + 1 - at;
        crc = UpdateBlockCrc(crc, compact + at, head + 1 - at);
        if (head + 1 == length) {
            // The library takes the chain's next byte for the count.
            summary.restored += follower;
            summary.endsInRunHead = true;
            break;
        }
        summary.restored += compact[head + 1];
        crc = UpdateBlockCrcRepeat(crc, compact[head], compact[head + 1]);
        at = head + 2;
        same = 0;
    }
    summary.crc = ~crc;
    return summary;
}

}  // namespace kavrin
