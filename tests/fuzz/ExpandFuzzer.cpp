// SPDX-License-Identifier: MIT
// Arbitrary archive bytes through the expansion: never a crash or a hang, never more output
// than the header's source size, and one thread and several give the same verdict (result and
// error), the same counters (but where decoding stops at a first byte beyond the header's size)
// and the same bytes.
#include <memory>

#include "engine/Engine.h"
#include "engine/format/ArchiveFormat.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

struct Expansion {
    kavrin::JobOutcome outcome;
    kavrin::EngineError error = kavrin::EngineError::None;
    uint64_t consumed = 0;
    uint64_t produced = 0;
    std::string restored;
};

Expansion Expand(kavrin::EngineContext& engine, const uint8_t* data, size_t size) {
    using namespace kavrin;
    fuzz::QuietObserver observer;
    platform::FileHandle source = fuzz::MemoryFile(data, size);
    platform::FileHandle destination = fuzz::MemoryFile(nullptr, 0);
    Expansion run;
    FileSink sink(destination);
    run.outcome = ExpandJob(engine, source, sink, observer);
    run.error = run.outcome.status.code();
    run.consumed = run.outcome.bytesRead;
    run.produced = run.outcome.bytesWritten;
    run.restored = fuzz::ReadAll(destination);
    platform::CloseFile(source);
    platform::CloseFile(destination);
    return run;
}

kavrin::EngineContextPtr Context(uint32_t threads) {
    auto engine = kavrin::CreateEngineContext();
    if (!engine) abort();
    SetEngineThreads(*engine, threads);
    return engine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavrin;
    static EngineContextPtr oneThread = Context(1);
    static EngineContextPtr threeThreads = Context(3);

    const Expansion one = Expand(*oneThread, data, size);
    if (one.outcome.result == JobResult::Cancelled) abort();
    const Expansion many = Expand(*threeThreads, data, size);
    // A payload longer than its header stops at the first extra byte, which one thread finds
    // inside a block and several at its end: only the bytes read may differ then.
    const bool sameConsumed = many.consumed == one.consumed || one.error == EngineError::SizeLong;
    if (many.outcome.result != one.outcome.result || many.outcome.mode != one.outcome.mode ||
        many.error != one.error || !sameConsumed || many.produced != one.produced ||
        many.restored != one.restored) {
        abort();
    }

    ArchiveHeader header;
    HeaderStatus status = ParseArchiveHeader(data, size, &header);
    if (status != HeaderStatus::Ok) {
        // Not an archive, or a header that ends early: nothing may be decoded.
        if (one.outcome.result != JobResult::Failed || !one.restored.empty()) abort();
        return 0;
    }
    if (one.restored.size() > header.sourceSize) abort();
    if (one.consumed > size - header.headerLength) abort();
    return 0;
}
