// SPDX-License-Identifier: MIT
// Timings for bench/mount.sh that no ordinary program gives:
//
//   kavrin-bench-mount reads FILE COUNT SIZE SEED   COUNT reads of SIZE bytes at random
//                                                   offsets of FILE, one open; prints each
//                                                   read's microseconds, one a line
//   kavrin-bench-mount blocks ARCHIVE              decodes every span (a block, or small ones
//                                                   gathered) of ARCHIVE alone on one thread;
//                                                   prints each one's microseconds
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "mount/BlockDecode.h"
#include "mount/IndexBuilder.h"

namespace {

using Clock = std::chrono::steady_clock;

long Micros(Clock::time_point from) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - from).count());
}

class Quiet : public kavrin::EngineObserver {
public:
    bool IsRunning() override { return true; }
    void BeginProgress(uint32_t) override {}
    void StepProgress() override {}
    void ResetProgress() override {}
    void SetLamps(kavrin::LampPhase) override {}
    void SetAnalysisLamp(bool) override {}
};

int Reads(const char* path, long count, long size, long seed) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    const off_t length = lseek(fd, 0, SEEK_END);
    std::mt19937_64 random(static_cast<uint64_t>(seed));
    std::vector<char> buffer(static_cast<size_t>(size));
    for (long i = 0; i < count; ++i) {
        const off_t offset = static_cast<off_t>(random() % static_cast<uint64_t>(length - size));
        const auto start = Clock::now();
        if (pread(fd, buffer.data(), buffer.size(), offset) != size) return 1;
        std::printf("%ld\n", Micros(start));
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}

// Keeps nothing: what a lone decode costs, without a form to make.
class Discard : public kavrin::SpanSink {
public:
    bool Take(const kavrin::CompactBlock&) override { return true; }
};

int Blocks(const char* path) {
    kavrin::platform::FileVersion version;
    if (!kavrin::platform::VersionAt(path, &version)) return 1;
    Quiet quiet;
    kavrin::BuildPlan plan;
    kavrin::IndexBuild build = kavrin::BuildIndex(path, version, plan, quiet);
    if (!build.ok) return 1;
    const kavrin::ArchiveIndex& index = build.index;
    const int fd = kavrin::platform::OpenShared(path);
    kavrin::BlockDecoder decoder;
    for (size_t j = 0; j < index.spans.size(); ++j) {
        Discard discard;
        const auto start = Clock::now();
        if (decoder.DecodeSpan(fd, index, j, discard) != kavrin::BlockStatus::Ok) return 1;
        std::printf("%ld\n", Micros(start));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "reads" && argc == 6) {
        return Reads(argv[2], std::atol(argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    }
    if (mode == "blocks" && argc == 3) return Blocks(argv[2]);
    std::fprintf(stderr, "usage: kavrin-bench-mount reads FILE COUNT SIZE SEED | blocks ARCHIVE\n");
    return 2;
}
