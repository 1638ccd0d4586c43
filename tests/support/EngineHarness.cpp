// SPDX-License-Identifier: MIT
#include "tests/support/EngineHarness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "engine/format/ArchiveFormat.h"
#include "platform/File.h"
#include "tools/SampleSound.h"

namespace kavrin::test {
namespace {

JobRun Run(const std::string& input, bool expand, DeltaMode mode, const std::string& typeText,
           EngineObserver& observer, uint32_t threads = 0) {
    TempDir dir;
    WriteFile(dir / "in", input);
    platform::FileHandle source = platform::OpenForRead(dir / "in");
    platform::FileHandle destination = platform::CreateNewForWrite(dir / "out");
    if (source == platform::kInvalidFile || destination == platform::kInvalidFile) {
        throw std::runtime_error("cannot open the job's files");
    }
    auto engine = CreateEngineContext();
    if (threads != 0) SetEngineThreads(*engine, threads);
    JobRun run;
    FileSink sink(destination);
    run.outcome = expand ? ExpandJob(*engine, source, sink, observer)
                         : CompressJob(*engine, source, sink, mode, typeText, observer);
    run.consumed = run.outcome.bytesRead;
    run.produced = run.outcome.bytesWritten;
    run.error = run.outcome.status.code();
    run.stats = LastPassStats(*engine);
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

JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode,
                  EngineObserver& observer) {
    return Run(source, false, mode, "raw", observer, threads);
}

JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode) {
    RecordingObserver observer;
    return Run(source, false, mode, "raw", observer, threads);
}

JobRun CompressOn(uint32_t threads, const std::string& source, DeltaMode mode,
                  const std::string& typeText) {
    RecordingObserver observer;
    return Run(source, false, mode, typeText, observer, threads);
}

JobRun ExpandOn(uint32_t threads, const std::string& archive, EngineObserver& observer) {
    return Run(archive, true, DeltaMode::None, "", observer, threads);
}

JobRun ExpandOn(uint32_t threads, const std::string& archive) {
    RecordingObserver observer;
    return Run(archive, true, DeltaMode::None, "", observer, threads);
}

std::string PayloadOf(const std::string& archive) {
    ArchiveHeader header;
    if (ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                           &header) != HeaderStatus::Ok) {
        throw std::runtime_error("not an archive");
    }
    return archive.substr(header.headerLength);
}

std::string Filtered(const std::string& source, DeltaMode mode) {
    std::string data = source;
    DeltaState state;
    for (size_t at = 0; at < data.size(); at += kChunkSize) {
        DeltaEncode(mode, reinterpret_cast<uint8_t*>(data.data()) + at,
                    std::min<size_t>(kChunkSize, data.size() - at), at == 0, state);
    }
    return data;
}

std::string Bzip2(const std::string& data, const std::vector<std::string>& flags) {
    TempDir dir;
    WriteFile(dir / "data", data);
    const std::string bzip2 = FindTool("bzip2");
    if (bzip2.empty())
        throw std::runtime_error("bzip2 is not installed; scripts/setup.sh installs it");
    std::vector<std::string> argv = {bzip2};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(dir / "data");
    ProgramResult result = RunProgram(argv);
    if (result.status != 0) throw std::runtime_error("bzip2 failed: " + result.err);
    return result.out;
}

std::string Sound(uint32_t channels, uint32_t bits, double seconds, uint32_t seed) {
    samples::SoundSpec spec;
    spec.channels = channels;
    spec.bitsPerSample = bits;
    spec.seconds = seconds;
    spec.seed = seed;
    return samples::MakePcm(spec);
}

std::string RunFree(size_t length, uint32_t seed) {
    std::string bytes = samples::MakeNoise(length, seed);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(bytes[i] | 0x80);
        if (i > 0 && bytes[i] == bytes[i - 1]) bytes[i] = static_cast<char>(bytes[i] ^ 0x01);
    }
    return bytes;
}

void ExpectSamePayload(const std::string& source, DeltaMode mode,
                       std::initializer_list<uint32_t> threadCounts, bool checkBzip2) {
    RecordingObserver oneObserver;
    const JobRun one = CompressOn(1, source, mode, oneObserver);
    ASSERT_EQ(one.outcome.result, JobResult::Done);
    if (checkBzip2) {
        EXPECT_TRUE("BZh9" + PayloadOf(one.output) ==
                    Bzip2(Filtered(source, one.outcome.mode), {"-9", "-c"}))
            << "one thread differs from the bzip2 program";
    }
    for (uint32_t threads : threadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        RecordingObserver observer;
        const JobRun many = CompressOn(threads, source, mode, observer);
        EXPECT_EQ(many.outcome.result, JobResult::Done);
        EXPECT_EQ(many.outcome.mode, one.outcome.mode);
        EXPECT_TRUE(many.output == one.output) << "archives differ";
        EXPECT_EQ(many.consumed, one.consumed);
        EXPECT_EQ(many.produced, one.produced);
        EXPECT_EQ(many.stats.threadsUsed, threads);
        // The same progress: the trial, the range, one step per input chunk.
        EXPECT_EQ(ProgressEvents(observer), ProgressEvents(oneObserver));
    }
}

std::vector<std::string> ProgressEvents(const RecordingObserver& observer) {
    std::vector<std::string> events;
    for (const std::string& event : observer.events) {
        if (event.rfind("lamps:", 0) != 0) events.push_back(event);
    }
    return events;
}

int ThreadsInProcess() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

int ThreadsAtRest() {
    std::thread([] {}).join();
    return ThreadsInProcess();
}

int ThreadsAfterJob(int atRest) {
    int count = ThreadsInProcess();
    for (int i = 0; i < 2000 && count > atRest; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = ThreadsInProcess();
    }
    return count;
}

namespace {

// Stops the job after a number of IsRunning calls and notes the destination's size then.
class StoppingObserver : public RecordingObserver {
public:
    StoppingObserver(int stopAfter, std::string destination)
        : RecordingObserver(stopAfter), destination_(std::move(destination)) {}
    bool IsRunning() override {
        bool running = RecordingObserver::IsRunning();
        if (!running && sizeAtStop < 0) {
            struct stat st {};
            sizeAtStop = stat(destination_.c_str(), &st) == 0 ? st.st_size : -2;
        }
        return running;
    }
    long long sizeAtStop = -1;

private:
    std::string destination_;
};

}  // namespace

StoppedRun RunStopped(bool expand, const std::string& input, int stopAfter, uint32_t threads,
                      DeltaMode mode) {
    TempDir dir;
    WriteFile(dir / "in", input);
    platform::FileHandle source = platform::OpenForRead(dir / "in");
    platform::FileHandle destination = platform::CreateNewForWrite(dir / "out");
    auto engine = CreateEngineContext();
    SetEngineThreads(*engine, threads);
    StoppingObserver observer(stopAfter, dir / "out");
    StoppedRun run;
    FileSink sink(destination);
    run.outcome = expand ? ExpandJob(*engine, source, sink, observer)
                         : CompressJob(*engine, source, sink, mode, "raw", observer);
    platform::CloseFile(source);
    platform::CloseFile(destination);
    run.output = ReadFile(dir / "out");
    run.sizeAtStop = observer.sizeAtStop;
    return run;
}

}  // namespace kavrin::test
