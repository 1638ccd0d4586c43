// SPDX-License-Identifier: MIT
// Timings of libkavrin for bench/library.sh:
//
//   kavrin-bench-library reads ARCHIVE COUNT SIZE SEED   opens ARCHIVE through the library and
//                                                         reads its last byte, which builds its
//                                                         index (the time of both in
//                                                         microseconds on standard error), then
//                                                         COUNT reads of
//                                                         SIZE bytes at the offsets
//                                                         kavrin-bench-mount reads picks for
//                                                         the same SEED; prints each read's
//                                                         microseconds, one a line
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <kavrin.h>

namespace {

using Clock = std::chrono::steady_clock;

long Micros(Clock::time_point from) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - from).count());
}

int Reads(const char* path, long count, long size, long seed) {
    kavrin_error error;
    kavrin_reader* reader = kavrin_reader_new(0, 0, &error);
    if (!reader) return 1;
    const auto opening = Clock::now();
    kavrin_archive* archive = kavrin_open(reader, path, &error);
    if (!archive) {
        std::fprintf(stderr, "%s: %s\n", path, error.message);
        return 1;
    }
    kavrin_info info;
    kavrin_archive_info(archive, &info);
    char last = 0;
    if (kavrin_pread(archive, &last, 1, info.restored_size - 1, &error) != 1) {
        std::fprintf(stderr, "%s: %s\n", path, error.message);
        return 1;
    }
    std::fprintf(stderr, "%ld\n", Micros(opening));
    std::mt19937_64 random(static_cast<uint64_t>(seed));
    std::vector<char> buffer(static_cast<size_t>(size));
    for (long i = 0; i < count; ++i) {
        const uint64_t offset = random() % (info.restored_size - static_cast<uint64_t>(size));
        const auto start = Clock::now();
        if (kavrin_pread(archive, buffer.data(), buffer.size(), offset, &error) != size) {
            std::fprintf(stderr, "%s\n", error.message);
            return 1;
        }
        std::printf("%ld\n", Micros(start));
    }
    kavrin_close(archive);
    kavrin_reader_free(reader);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "reads") {
        return Reads(argv[2], std::atol(argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    }
    std::fprintf(stderr, "usage: %s reads ARCHIVE COUNT SIZE SEED\n", argv[0]);
    return 2;
}
