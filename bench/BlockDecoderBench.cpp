// SPDX-License-Identifier: MIT
// The block decoder stage by stage, beside libbz2's two halves and the memory system's limits
// (Google Benchmark; bench/block_decoder.sh runs it).
//
//   kavrin-bench-block-decoder [benchmark options]
//
// KAVRIN_BENCH_FILE names the file whose bzip2 stream (made with libbz2, block size 9) is
// decoded (default: Debian's TimGM6mb.sf2). Bytes per second count the bytes the stage takes
// in for the decoder's stages (the block's bytes, before the final run-length stage) and the
// restored bytes for whole decodes.
//
// Stages: Symbols (header, Huffman codes, move-to-front; with the vector list and with the
// list in memory), Transform (inverse transform), Runs (block CRC from the compact form, then
// the final run-length stage into 192 KiB chunks), Whole (all of them, as the engine runs
// them). Library/Decompress is libbz2 up to its output (Huffman codes, move-to-front and
// building its table), Library/Output the rest (its chain walk, run-length stage and CRC), timed
// on one-block streams. Memory/Chase/N follows N independent pointer chains through a table the
// size of a block's (the inverse transform's access pattern), Memory/Read streams 256 MiB.
#include <benchmark/benchmark.h>
#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/codec/CpuFeatures.h"
#include "engine/decode/BlockRuns.h"
#include "engine/decode/BlockTransform.h"
#include "engine/decode/CompactBlock.h"
#include "engine/decode/StreamDecoder.h"
#include "engine/decode/SymbolLoop.h"

namespace {

using namespace kavrin;

constexpr size_t kChunk = 196608;

std::string Compress(const std::string& data) {
    unsigned length = static_cast<unsigned>(data.size() + data.size() / 50 + 1000);
    std::string out(length, '\0');
    if (BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                 static_cast<unsigned>(data.size()), 9, 0, 0) != BZ_OK) {
        std::abort();
    }
    out.resize(length);
    return out;
}

// The file, its stream, one-block streams of it, and its blocks at each stage.
struct Corpus {
    std::string source;
    std::string stream;
    std::vector<std::string> oneBlockStreams;  // the source in pieces that make one block each
    struct Column {
        std::vector<uint8_t> bytes;
        uint32_t counts[256];
        uint32_t origin;
        bool randomised;
    };
    std::vector<Column> columns;
    std::vector<CompactBlock> blocks;
    uint64_t blockBytes = 0;

    Corpus() {
        const char* path = std::getenv("KAVRIN_BENCH_FILE");
        std::ifstream in(path != nullptr ? path : "/usr/share/sounds/sf2/TimGM6mb.sf2",
                         std::ios::binary);
        source.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (source.empty()) std::abort();
        stream = Compress(source);
        // 880 000 bytes give one block unless runs shrink them: close enough for timing.
        for (size_t at = 0; at < source.size(); at += 880000) {
            oneBlockStreams.push_back(Compress(source.substr(at, 880000)));
        }
        BlockSymbolReader reader;
        reader.Start(BlockSymbolReader::Expect::StreamHeader);
        BitInput bits{reinterpret_cast<const uint8_t*>(stream.data()), 0, 8 * stream.size()};
        while (reader.Read(bits) == BlockSymbolReader::Status::BlockReady) {
            Column column;
            column.bytes.assign(reader.column(), reader.column() + reader.length());
            std::copy(reader.counts(), reader.counts() + 256, column.counts);
            column.origin = reader.origin();
            column.randomised = reader.randomised();
            blockBytes += reader.length();
            columns.push_back(std::move(column));
        }
        StreamDecoder decoder;
        decoder.StartStream();
        decoder.Give(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
        while (decoder.Next() == StreamDecoder::Event::Block) {
            CompactBlock copy;
            copy.bytes.Append(decoder.block().compact(), decoder.block().length + 1);
            copy.length = decoder.block().length;
            copy.restoredLength = decoder.block().restoredLength;
            copy.storedCrc = decoder.block().storedCrc;
            blocks.push_back(std::move(copy));
        }
    }
};

const Corpus& TheCorpus() {
    static const Corpus corpus;
    return corpus;
}

void Symbols(benchmark::State& state, bool vector) {
    const Corpus& corpus = TheCorpus();
    AllowVectorUnits(vector);
    BlockSymbolReader reader;
    for (auto _ : state) {
        reader.Start(BlockSymbolReader::Expect::StreamHeader);
        BitInput bits{reinterpret_cast<const uint8_t*>(corpus.stream.data()), 0,
                      8 * corpus.stream.size()};
        while (reader.Read(bits) == BlockSymbolReader::Status::BlockReady) {
        }
        benchmark::DoNotOptimize(reader.length());
    }
    AllowVectorUnits(true);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.blockBytes));
}
BENCHMARK_CAPTURE(Symbols, vector, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Symbols, memory, false)->Unit(benchmark::kMillisecond);

void Transform(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    InverseTransform transform;
    transform.Reserve(kMaxBlockBytes);
    std::vector<uint8_t> work(kMaxBlockBytes + kColumnSlack);
    for (auto _ : state) {
        for (const Corpus::Column& column : corpus.columns) {
            state.PauseTiming();
            std::copy(column.bytes.begin(), column.bytes.end(), work.begin());
            state.ResumeTiming();
            transform.Restore(work.data(), static_cast<uint32_t>(column.bytes.size()),
                              column.counts, column.origin, column.randomised);
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.blockBytes));
}
BENCHMARK(Transform)->Unit(benchmark::kMillisecond);

void Runs(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    std::vector<uint8_t> chunk(kChunk);
    for (auto _ : state) {
        for (const CompactBlock& block : corpus.blocks) {
            const RunSummary summary =
                SummariseRuns(block.compact(), block.length, block.compact()[block.length]);
            benchmark::DoNotOptimize(summary.crc);
            RunCursor cursor;
            while (ExpandRuns(block.compact(), block.length, cursor, chunk.data(), kChunk) > 0) {
            }
        }
        benchmark::DoNotOptimize(chunk.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.blockBytes));
}
BENCHMARK(Runs)->Unit(benchmark::kMillisecond);

void Whole(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    StreamDecoder decoder;
    std::vector<uint8_t> chunk(kChunk);
    for (auto _ : state) {
        decoder.StartStream();
        decoder.Give(reinterpret_cast<const uint8_t*>(corpus.stream.data()), corpus.stream.size());
        while (decoder.Next() == StreamDecoder::Event::Block) {
            RunCursor cursor;
            while (ExpandRuns(decoder.block().compact(), decoder.block().length, cursor,
                              chunk.data(), kChunk) > 0) {
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.source.size()));
}
BENCHMARK(Whole)->Unit(benchmark::kMillisecond);

void LibraryWhole(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    std::vector<char> chunk(kChunk);
    for (auto _ : state) {
        bz_stream codec{};
        BZ2_bzDecompressInit(&codec, 0, 0);
        codec.next_in = const_cast<char*>(corpus.stream.data());
        codec.avail_in = static_cast<unsigned>(corpus.stream.size());
        int result = BZ_OK;
        while (result == BZ_OK) {
            codec.next_out = chunk.data();
            codec.avail_out = kChunk;
            result = BZ2_bzDecompress(&codec);
        }
        BZ2_bzDecompressEnd(&codec);
        if (result != BZ_STREAM_END) std::abort();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.source.size()));
}
BENCHMARK(LibraryWhole)->Unit(benchmark::kMillisecond);

// libbz2 in two halves: a call with no room for output decodes a one-block stream up to its
// output; the calls after it walk, restore and check it.
void LibraryHalves(benchmark::State& state, bool output) {
    const Corpus& corpus = TheCorpus();
    std::vector<char> chunk(kChunk);
    for (auto _ : state) {
        for (const std::string& stream : corpus.oneBlockStreams) {
            bz_stream codec{};
            BZ2_bzDecompressInit(&codec, 0, 0);
            codec.next_in = const_cast<char*>(stream.data());
            codec.avail_in = static_cast<unsigned>(stream.size());
            codec.next_out = chunk.data();
            codec.avail_out = 0;
            if (output) state.PauseTiming();
            BZ2_bzDecompress(&codec);
            if (output) {
                state.ResumeTiming();
            } else {
                state.PauseTiming();
            }
            int result = BZ_OK;
            while (result == BZ_OK) {
                codec.next_out = chunk.data();
                codec.avail_out = kChunk;
                result = BZ2_bzDecompress(&codec);
            }
            BZ2_bzDecompressEnd(&codec);
            if (!output) state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.source.size()));
}
BENCHMARK_CAPTURE(LibraryHalves, Decompress, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LibraryHalves, Output, true)->Unit(benchmark::kMillisecond);

// Independent chains through a random cycle over a table of `bytes` (4 per entry).
void Chase(benchmark::State& state) {
    const auto chains = static_cast<size_t>(state.range(0));
    const auto entries = static_cast<size_t>(state.range(1)) / 4;
    std::vector<uint32_t> order(entries);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    std::vector<uint32_t> next(entries);
    for (size_t i = 0; i < entries; ++i) next[order[i]] = order[(i + 1) % entries];
    std::vector<uint32_t> at(chains);
    for (size_t c = 0; c < chains; ++c) at[c] = order[c * (entries / chains)];
    const size_t steps = 1 << 20;
    for (auto _ : state) {
        for (size_t s = 0; s < steps / chains; ++s) {
            for (size_t c = 0; c < chains; ++c) at[c] = next[at[c]];
        }
        benchmark::DoNotOptimize(at.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * steps));
}
BENCHMARK(Chase)
    ->ArgsProduct({{1, 2, 4, 8, 16, 32}, {2700 * 1024}})
    ->Args({1, 64 << 20})
    ->Args({16, 64 << 20})
    ->Unit(benchmark::kMillisecond);

void Read(benchmark::State& state) {
    std::vector<uint64_t> data((256 << 20) / 8, 1);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint64_t value : data) sum += value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (256 << 20)));
}
BENCHMARK(Read)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
