#include "tests/support/EngineHarness.h"

#include <stdexcept>

#include "engine/ArchiveFormat.h"
#include "platform/File.h"

namespace kavrin::test {
namespace {

JobRun Run(const std::string& input, bool expand, DeltaMode mode, const std::string& typeText,
           EngineObserver& observer) {
    TempDir dir;
    WriteFile(dir / "in", input);
    platform::FileHandle source = platform::OpenForRead(dir / "in");
    platform::FileHandle destination = platform::CreateNewForWrite(dir / "out");
    if (source == platform::kInvalidFile || destination == platform::kInvalidFile) {
        throw std::runtime_error("cannot open the job's files");
    }
    auto engine = EngineContext::Create();
    JobRun run;
    run.outcome = expand ? ExpandJob(*engine, source, destination, observer)
                         : CompressJob(*engine, source, destination, mode, typeText, observer);
    run.consumed = engine->reader.consumed;
    run.produced = engine->writer.produced;
    run.error = engine->error;
    platform::CloseFile(source);
    platform::CloseFile(destination);
    run.output = ReadFile(dir / "out");
    return run;
}

}  // namespace

JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText,
                EngineObserver& observer) {
    return Run(source, false, mode, typeText, observer);
}

JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText) {
    RecordingObserver observer;
    return Run(source, false, mode, typeText, observer);
}

JobRun Expand(const std::string& archive, EngineObserver& observer) {
    return Run(archive, true, DeltaMode::None, "", observer);
}

JobRun Expand(const std::string& archive) {
    RecordingObserver observer;
    return Run(archive, true, DeltaMode::None, "", observer);
}

std::string PayloadOf(const std::string& archive) {
    ArchiveHeader header;
    if (ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                           &header) != HeaderStatus::Ok) {
        throw std::runtime_error("not an archive");
    }
    return archive.substr(header.headerLength);
}

}  // namespace kavrin::test
