// SPDX-License-Identifier: MIT
// Random data, a random mode and random system-call sizes: compress, expand, and get the same
// bytes back; the payload also decodes with the mode the header records.
#include <memory>

#include "engine/Engine.h"
#include "platform/FaultInjection.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavrin;
    if (size < 2) return 0;
    static EngineContextPtr engine = CreateEngineContext();
    fuzz::QuietObserver observer;
    const auto mode = static_cast<DeltaMode>(data[0] % 6);
    platform::LimitTransferSize(data[1] == 0 ? 0 : data[1]);
    data += 2;
    size -= 2;

    platform::FileHandle source = fuzz::MemoryFile(data, size);
    platform::FileHandle archive = fuzz::MemoryFile(nullptr, 0);
    FileSink archiveSink(archive);
    JobOutcome packed = CompressJob(*engine, source, archiveSink, mode, "raw", observer);
    if (packed.result != JobResult::Done || packed.mode == DeltaMode::Auto) abort();
    if (packed.bytesRead != size) abort();
    if (!platform::SeekTo(archive, 0)) abort();

    platform::FileHandle restored = fuzz::MemoryFile(nullptr, 0);
    FileSink restoredSink(restored);
    JobOutcome unpacked = ExpandJob(*engine, archive, restoredSink, observer);
    if (unpacked.result != JobResult::Done || unpacked.mode != packed.mode) abort();
    std::string bytes = fuzz::ReadAll(restored);
    if (bytes.size() != size || bytes.compare(0, size, reinterpret_cast<const char*>(data), size)) {
        abort();
    }
    platform::CloseFile(source);
    platform::CloseFile(archive);
    platform::CloseFile(restored);
    platform::LimitTransferSize(0);
    return 0;
}
