// Arbitrary archive bytes through the expansion: never a crash or a hang, and never more
// output than the header's source size. A stream that decodes must decode the same twice.
#include <memory>

#include "engine/ArchiveFormat.h"
#include "engine/JobProcedures.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavrin;
    static std::unique_ptr<EngineContext> engine = EngineContext::Create();
    fuzz::QuietObserver observer;

    platform::FileHandle source = fuzz::MemoryFile(data, size);
    platform::FileHandle destination = fuzz::MemoryFile(nullptr, 0);
    JobOutcome outcome = ExpandJob(*engine, source, destination, observer);
    std::string restored = fuzz::ReadAll(destination);
    platform::CloseFile(source);
    platform::CloseFile(destination);
    if (outcome.result == JobResult::Cancelled) abort();

    ArchiveHeader header;
    HeaderStatus status = ParseArchiveHeader(data, size, &header);
    if (status != HeaderStatus::Ok) {
        // Not an archive, or a header that ends early: nothing may be decoded.
        if (outcome.result != JobResult::Failed || !restored.empty()) abort();
        return 0;
    }
    if (restored.size() > header.sourceSize) abort();
    if (engine->reader.consumed > size - header.headerLength) abort();
    return 0;
}
