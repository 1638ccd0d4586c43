// SPDX-License-Identifier: MIT
// Timings for bench/mount.sh that no ordinary program gives:
//
//   kavrin-bench-mount reads FILE COUNT SIZE SEED   COUNT reads of SIZE bytes at random
//                                                   offsets of FILE, one open; prints each
//                                                   read's microseconds, one a line
//   kavrin-bench-mount blocks ARCHIVE              decodes every span (a block, or small ones
//                                                   gathered) of ARCHIVE alone on one thread;
//                                                   prints each one's microseconds
//   kavrin-bench-mount libbz2 ARCHIVE              decodes ARCHIVE's payload with libbz2 and
//                                                   prints the mean microseconds per block
#include <fcntl.h>
#include <unistd.h>

#include <bzlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/EngineObserver.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/BlockDecode.h"
#include "mount/IndexBuilder.h"

namespace {

using Clock = std::chrono::steady_clock;

long Micros(Clock::time_point from) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - from).count());
}

using Quiet = kavrin::QuietEngineObserver;

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

// The payload's blocks, counted by their 48-bit magic at any bit (a stray match in sound
// archives' few megabits is unlikely enough for a mean).
size_t CountBlockMagics(const std::string& payload) {
    constexpr uint64_t kMagic = 0x314159265359ull;
    constexpr uint64_t kMask = (1ull << 48) - 1;
    uint64_t window = 0;
    size_t count = 0;
    for (const unsigned char byte : payload) {
        for (int bit = 7; bit >= 0; --bit) {
            window = ((window << 1) | ((byte >> bit) & 1u)) & kMask;
            count += window == kMagic;
        }
    }
    return count;
}

// libbz2's mean time for one block of ARCHIVE: what a mount that decoded with it paid per read.
int LibraryBlockMean(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return 1;
    std::string payload;
    char chunk[1 << 16];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        payload.append(chunk, got);
    }
    std::fclose(file);
    kavrin::ArchiveHeader header;
    if (kavrin::ParseArchiveHeader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                   &header) != kavrin::HeaderStatus::Ok) {
        return 1;
    }
    // The archive's payload is a bzip2 stream without its first "BZh9"; later streams keep theirs.
    payload.replace(0, header.headerLength, "BZh9");
    const size_t blocks = CountBlockMagics(payload);
    if (blocks == 0) return 1;

    std::vector<char> out(1 << 20);
    const auto start = Clock::now();
    size_t at = 0;
    while (at < payload.size()) {  // stream after stream, as the engine reads them
        bz_stream codec{};
        if (BZ2_bzDecompressInit(&codec, 0, 0) != BZ_OK) return 1;
        codec.next_in = payload.data() + at;
        codec.avail_in = static_cast<unsigned>(payload.size() - at);
        int result = BZ_OK;
        while (result == BZ_OK) {
            codec.next_out = out.data();
            codec.avail_out = static_cast<unsigned>(out.size());
            result = BZ2_bzDecompress(&codec);
        }
        at = payload.size() - codec.avail_in;
        BZ2_bzDecompressEnd(&codec);
        if (result != BZ_STREAM_END) return 1;
    }
    std::printf("%ld\n", Micros(start) / static_cast<long>(blocks));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "reads" && argc == 6) {
        return Reads(argv[2], std::atol(argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    }
    if (mode == "blocks" && argc == 3) return Blocks(argv[2]);
    if (mode == "libbz2" && argc == 3) return LibraryBlockMean(argv[2]);
    std::fprintf(stderr,
                 "usage: kavrin-bench-mount reads FILE COUNT SIZE SEED | blocks ARCHIVE"
                 " | libbz2 ARCHIVE\n");
    return 2;
}
