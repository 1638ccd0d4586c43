// SPDX-License-Identifier: MIT
// Working memory for libbz2 streams that start again and again on one thread.
//
// A compressor at block size 9 takes about 7.6 MB and a decompressor about 3.6 MB. A parallel
// pass starts one stream per block, so handing the library fresh memory each time would cost a
// page fault per 4 KiB touched, for every block. `CodecMemory` keeps what a stream frees and
// gives the same blocks to the next stream of the same kind.
//
// Ownership: the object owns every block it hands out; they are released when it is destroyed,
// which must happen after the last stream using it has ended. Threads: one thread at a time.
#pragma once

#include <bzlib.h>

#include <cstddef>

namespace kavrin {

class CodecMemory {
public:
    CodecMemory() = default;
    ~CodecMemory();
    CodecMemory(const CodecMemory&) = delete;
    CodecMemory& operator=(const CodecMemory&) = delete;

    // Points the stream's allocator at this cache. Call before BZ2_bz*Init.
    void Attach(bz_stream& stream);

private:
    static void* Allocate(void* opaque, int items, int size);
    static void Release(void* opaque, void* block);

    struct Slot {
        void* block = nullptr;
        size_t size = 0;
        bool inUse = false;
    };
    // A compressor uses four blocks and a decompressor two: a few slots cover both.
    static constexpr int kSlots = 8;
    Slot slots_[kSlots];
};

}  // namespace kavrin
