// SPDX-License-Identifier: MIT
// The last stage of a bzip2 block: its bytes after the inverse transform (the compact form)
// hold every run of 4 to 259 equal restored bytes as four of them and a count byte (0 to 255)
// of the copies that follow; every other byte stands for itself. A block of silence restores
// 46 MB from 900 KB this way.
//
// These functions work on the compact form as the bzip2 library reads it: a count follows four
// equal bytes, a new run starts after a count, and the block's end may fall anywhere except
// right after four equal bytes (the library then takes the byte its chain reaches next as the
// count, restores that run and reports the block damaged: SummariseRuns counts that run and
// tells the case).
//
// A RunCursor is a place in a block's restored bytes together with what the stage needs to go
// on from there, so that a block kept in its compact form can be restored from any place: keep
// cursors (checkpoints) along the block, move a copy to where a read starts with SeekRuns and
// restore only what is asked with ExpandRuns. Pure functions on the caller's bytes; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

struct RunCursor {
    uint64_t restored = 0;  // restored bytes before this place
    uint32_t compact = 0;   // compact bytes taken
    uint32_t repeat = 0;    // copies of `last` still due before compact byte `compact`
    uint8_t last = 0;       // the last compact byte taken
    uint8_t same = 0;       // equal bytes ending at the last one taken (0 after a count; 4: a count
                            // comes next)
};

// Restores up to `room` bytes from `cursor` into `out` and moves the cursor past them. Returns
// the bytes written: fewer than `room` only where the compact form ends.
size_t ExpandRuns(const uint8_t* compact, uint32_t length, RunCursor& cursor, uint8_t* out,
                  size_t room);

// Moves the cursor forward to restored offset `target` (or to the end of the block, when it
// restores less) without writing anything: work in proportion to the compact bytes passed.
void SeekRuns(const uint8_t* compact, uint32_t length, RunCursor& cursor, uint64_t target);

// What a block's compact form restores to, found without restoring it: every run is taken in
// a few steps, so the cost follows the compact length, not the restored one.
struct RunSummary {
    uint64_t restored = 0;       // the bytes the library restores (a run at the end included)
    uint32_t crc = 0;            // the block CRC of those bytes (not taken when endsInRunHead)
    bool endsInRunHead = false;  // the compact form ends right after four equal bytes
};
// `follower` is the byte the library's chain reaches after the last one (a count, when the
// block ends in a run's head).
RunSummary SummariseRuns(const uint8_t* compact, uint32_t length, uint8_t follower);

}  // namespace kavrin
