// SPDX-License-Identifier: MIT
// Read-ahead: a read that goes on where the last one on its archive ended has the next spans
// decoded by threads of the library's own, as many as it has decoders, so that a file read in
// order finds them ready. Spans ahead are queued once each, never beyond half the cache, and
// never for an archive that was closed meanwhile (the queue holds it weakly).
//
// Any thread. The destructor (or Stop) ends the threads: queued spans are dropped, a span being
// decoded is finished first. Its mutex is a leaf.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "mount/SpanReader.h"

namespace kavrin {

class ReadAhead {
public:
    ReadAhead(SpanCache& cache, SpanReader& reader, uint32_t threads);
    ~ReadAhead() { Stop(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Queues the spans from `next` on of `archive`, as far as they fit.
    void After(const std::shared_ptr<OpenArchive>& archive, size_t next);
    // Ends the threads and waits for them.
    void Stop();

private:
    void Work();

    SpanCache& cache_;
    SpanReader& reader_;
    const size_t width_;  // spans ahead of a read, at most
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::weak_ptr<OpenArchive>, size_t>> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace kavrin
