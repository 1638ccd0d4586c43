// SPDX-License-Identifier: MIT
// The shared heart of `kvn mount`, free of FUSE: opens archives with their indexes and serves
// reads of their restored bytes to many threads at once. It is the face of the mount's rooms
// (doc/mount.md):
//
// - IndexTable.h: what is known of each archive version (its index and generation, or the
//   damage that failed it); BuildRunner.h gets an index from the index folder
//   (IndexStore.h) or builds it (IndexBuilder.h), one engine pass at a time.
// - SpanCache.h: the decoded spans and the memory bound, which covers the decoded spans, the
//   decoders' working memory (DecoderPool.h), the working memory of builds in progress and the
//   indexes held in memory, for any thread count.
// - SpanReader.h: a span from the cache, or decoded now with its lead and tail checked, so
//   that a kept index is never believed over the archive; ReadAhead.h decodes the spans after
//   a read in order on threads of its own.
// - FaultLog.h: one line per fault, and the errno each failure gives.
//
// Opening: the archive's header is read from the archive itself. An archive that fails its
// checks cannot be opened (EIO), and that failure is remembered for its version; a failure of
// the machine (descriptors, memory, a read error) is not: it is reported with its own errno
// and the next open tries again. Every read checks that the archive is still the version
// opened (through its descriptor and its path); otherwise, and for a damaged span, the read
// gives EIO and one line goes to the log, while every other archive keeps working. A span that
// fails through a kept index has the index built again once before the archive is called
// damaged.
//
// Threads: every public function may be called from any thread at once. The destructor stops
// builds in progress and joins the read-ahead threads; no call may be running then.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/EngineObserver.h"
#include "mount/BuildRunner.h"
#include "mount/DecoderPool.h"
#include "mount/FaultLog.h"
#include "mount/IndexStore.h"
#include "mount/IndexTable.h"
#include "mount/OpenArchive.h"
#include "mount/ReadAhead.h"
#include "mount/SpanCache.h"
#include "mount/SpanReader.h"

namespace kavrin {

inline constexpr uint64_t kDefaultCacheBytes = 64ull << 20;

struct LibraryOptions {
    uint64_t cacheBytes = kDefaultCacheBytes;     // decoded spans and working memory, at most
    uint32_t threads = 2;                         // decoders, read-ahead threads and build threads
    std::string indexFolder;                      // empty: indexes are kept in memory only
    std::function<void(const std::string&)> log;  // one line per fault; any thread
};

class ArchiveLibrary {
public:
    explicit ArchiveLibrary(LibraryOptions options);
    ~ArchiveLibrary();
    ArchiveLibrary(const ArchiveLibrary&) = delete;
    ArchiveLibrary& operator=(const ArchiveLibrary&) = delete;

    // Opens the archive at `path` (a regular file with the archive magic) for reading its
    // restored bytes. Null with `*error` an errno value when it cannot be opened: EIO when it
    // fails its checks, EINTR when `wanted` (asked now and then while the open waits for a
    // build) turned false, or the errno of what the machine lacked. `why`, when given, gets
    // the failure itself (its kind and message).
    std::shared_ptr<OpenArchive> Open(const std::string& path, int* error,
                                      const std::function<bool()>& wanted = {},
                                      Status* why = nullptr);

    // Reads restored bytes [offset, offset + length) into `out`: the bytes read (fewer only at
    // the end of the file), or -EIO (-ENOMEM when memory was short). `why`, when given, gets
    // the fault's line on a failure, as the log words it.
    int64_t Read(const std::shared_ptr<OpenArchive>& archive, uint8_t* out, size_t length,
                 uint64_t offset, std::string* why = nullptr);

    // For a reader of its own (SequentialReader.h): the decoders to borrow (decoders() of them),
    // and `bytes` of the memory bound to hold while it reads (false, without waiting, when there
    // is no room).
    DecoderSource& decoderSource() { return decoders_; }
    bool HoldWorkingMemory(uint64_t bytes) { return cache_.TryHold(bytes); }
    void ReleaseWorkingMemory(uint64_t bytes) { cache_.Release(bytes); }

    // Ends builds in progress (they fail as stopped); later opens build nothing.
    void Stop() { stopping_ = true; }

    // For `kvn mount --index`: makes sure the index folder holds a sound index of the archive
    // version at `path` when it is large enough to be kept. Returns false with `why` when it
    // could not be indexed. `observer` sees the build's progress and can stop it.
    bool EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                      std::string* why);

    // What the cache holds now, in bytes, and what it holds back for working memory (tests).
    uint64_t CachedBytes() { return cache_.CachedBytes(); }
    uint64_t ReservedBytes() { return cache_.ReservedBytes(); }
    // The decoders the library runs (and its read-ahead threads), after the memory bound.
    uint32_t decoders() const { return decoders_.size(); }
    // The spans decoded so far, by reads and read-ahead (tests).
    uint64_t SpanDecodes() const { return reader_.decodes(); }

private:
    // The archive at `path` opened with its header checked; `*failure` when it cannot be.
    std::shared_ptr<OpenArchive> OpenFile(const std::string& path, ArchiveHeader* header,
                                          Status* failure);
    // Reads [offset, end) through `index`: 0, a negative errno, or 1 to read again through an
    // index built anew (`rebuild`: a failed span may have it built). `*last`: the last span.
    int ReadThrough(OpenArchive& archive, const std::shared_ptr<const ArchiveIndex>& index,
                    uint64_t generation, uint8_t* out, uint64_t offset, uint64_t end, bool rebuild,
                    size_t* last, std::string* why);

    LibraryOptions options_;
    std::atomic<bool> stopping_{false};
    FaultLog log_;
    IndexStore store_;
    DecoderPool decoders_;
    SpanCache cache_;
    IndexTable table_;
    SpanReader reader_;
    BuildRunner builds_;
    ReadAhead ahead_;  // last: its threads end first
};

}  // namespace kavrin
