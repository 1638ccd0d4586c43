// SPDX-License-Identifier: MIT
// The block encoder stage by stage against libbz2 on the same blocks (bench/encoder.sh).
//
//   kavrin-bench-encoder-stages FILE [ROUNDS]
//
// Cuts FILE where libbz2 ends its level-9 blocks, encodes every block ROUNDS times (default 3)
// with the engine's BlockEncoder and with libbz2 as a one-block stream, checks that both give
// the same bytes, and prints the median over rounds of the mean milliseconds per block: each
// encoder stage, the encoder as a whole and libbz2 as a whole.
#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockEncoder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Ms(std::chrono::nanoseconds time, size_t blocks) {
    return std::chrono::duration<double, std::milli>(time).count() / static_cast<double>(blocks);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kavrin;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    std::vector<std::pair<size_t, size_t>> blocks;  // start, length
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
        BlockBoundaryScanner scanner;
        size_t start = 0;
        size_t scanned = 0;
        while (scanned < data.size()) {
            const size_t cut = scanned + scanner.Scan(bytes + scanned, data.size() - scanned);
            if (cut == data.size()) break;
            blocks.emplace_back(start, cut - start);
            start = cut;
            scanned = cut + 1;
        }
        if (start < data.size()) blocks.emplace_back(start, data.size() - start);
    }
    if (blocks.empty()) return 0;

    std::vector<double> runs, sort, mtf, tables, whole, library;
    std::vector<uint8_t> ours;
    std::string theirs(1 << 21, '\0');
    for (int round = 0; round < rounds; ++round) {
        BlockEncoder encoder;
        std::chrono::nanoseconds ourTime{0};
        std::chrono::nanoseconds libraryTime{0};
        for (const auto& [start, length] : blocks) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(data.data() + start);
            const auto a = Clock::now();
            encoder.Feed(bytes, length);
            if (!encoder.Finish(ours)) return 1;
            const auto b = Clock::now();
            auto produced = static_cast<unsigned>(theirs.size());
            if (BZ2_bzBuffToBuffCompress(theirs.data(), &produced,
                                         const_cast<char*>(data.data() + start),
                                         static_cast<unsigned>(length), 9, 0, 0) != BZ_OK) {
                return 1;
            }
            const auto c = Clock::now();
            ourTime += b - a;
            libraryTime += c - b;
            if (produced != ours.size() ||
                theirs.compare(0, produced, reinterpret_cast<const char*>(ours.data()),
                               ours.size()) != 0) {
                std::fprintf(stderr, "block at %zu differs from libbz2\n", start);
                return 1;
            }
        }
        const EncoderStageTimes& t = encoder.stageTimes();
        const size_t n = blocks.size();
        runs.push_back(Ms(t.runs, n));
        sort.push_back(Ms(t.sort, n));
        mtf.push_back(Ms(t.mtf, n));
        tables.push_back(Ms(t.tables, n));
        whole.push_back(Ms(ourTime, n));
        library.push_back(Ms(libraryTime, n));
    }
    std::printf("%zu blocks, every one the same bytes as libbz2; ms per block, median of %d\n",
                blocks.size(), rounds);
    std::printf("  run-length stage and CRC  %8.2f\n", Median(runs));
    std::printf("  sort                      %8.2f\n", Median(sort));
    std::printf("  move-to-front             %8.2f\n", Median(mtf));
    std::printf("  tables and bits           %8.2f\n", Median(tables));
    std::printf("  encoder, whole            %8.2f\n", Median(whole));
    std::printf("  libbz2, whole             %8.2f\n", Median(library));
    std::printf("  encoder / libbz2          %8.3f\n", Median(whole) / Median(library));
    return 0;
}
