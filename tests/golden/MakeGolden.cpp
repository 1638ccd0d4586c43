// SPDX-License-Identifier: MIT
// kavrin-make-golden: writes the golden archives and their table (expected.txt) into a folder.
//
//   kavrin-make-golden FOLDER
//
// Every source is made in code, so the folder holds only the archives. A good archive is the
// engine's compression of its source; its line gives the mode it was compressed with and the
// SHA-256 of the source, computed here from the source itself, not from what any decoder makes
// of the archive. A bad archive is a good one with one kind of damage done to its bytes; its
// line gives the error the damage must bring.
//
// The committed archives are the reference: regenerate them only on purpose, when the format
// itself changes, and review the difference. After a change of the encoder that should not
// change the format, GoldenArchiveTest (not this program) says whether it did.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/format/ArchiveFormat.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

const char* ModeName(DeltaMode mode) {
    switch (mode) {
        case DeltaMode::Auto:
            return "auto";
        case DeltaMode::None:
            return "none";
        case DeltaMode::Bits8:
            return "8";
        case DeltaMode::Bits16:
            return "16";
        case DeltaMode::Bits24:
            return "24";
        case DeltaMode::Bits32:
            return "32";
    }
    return "?";
}

// One sound channel of `frames` samples of `bits`, little-endian (tools/SampleSound.h).
std::string Pcm(uint32_t bits, uint32_t channels, double seconds, uint32_t seed = 1) {
    samples::SoundSpec spec;
    spec.bitsPerSample = bits;
    spec.channels = channels;
    spec.seconds = seconds;
    spec.seed = seed;
    return samples::MakePcm(spec);
}

// `length` bytes of a tone whose period is a whole number of frames: after any filter it is
// still periodic, so even 200 KB of it compress to a few hundred bytes, and a filter that got a
// chunk boundary wrong still changes every byte after it.
std::string Tone(size_t length) {
    std::string bytes = Pcm(16, 2, 0.1, 5).substr(0, 4 * 441);  // 441 frames: 100 periods a second
    std::string out;
    while (out.size() < length) out += bytes;
    out.resize(length);
    return out;
}

// `length` bytes made of one stretch of noise repeated: more than one bzip2 block of input
// (the noise has no runs, so each block holds 899 981 input bytes) but, block by block, cheap to
// store.
std::string RepeatedNoise(size_t length) {
    const std::string pattern = test::RunFree(8191, 77);
    std::string out;
    while (out.size() < length) out += pattern;
    out.resize(length);
    return out;
}

// Lines of text: no filter helps it.
std::string Text(size_t length) {
    std::string out;
    for (uint32_t i = 0; out.size() < length; ++i) {
        out += "take " + std::to_string(i * 7919 % 1000) + ": " +
               (i % 3 ? "kept, normalised\n" : "dropped (clipped at the end)\n");
    }
    out.resize(length);
    return out;
}

struct Good {
    std::string name;
    std::string source;
    DeltaMode mode;
    std::string typeText;
    DeltaMode autoChoice = DeltaMode::Auto;  // for Auto: the filter it must choose
};

struct Bad {
    std::string name;
    std::string from;  // the good archive that was damaged
    std::function<std::string(const std::string&)> damage;
    std::string error;
};

std::string FlipBit(std::string bytes, size_t at, int bit = 0) {
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ (1 << bit));
    return bytes;
}

}  // namespace
}  // namespace kavrin

int main(int argc, char** argv) {
    using namespace kavrin;
    if (argc != 2) {
        std::fprintf(stderr, "usage: kavrin-make-golden FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];

    std::vector<Good> good = {
        {"empty.kvn", "", DeltaMode::None, "wav"},
        {"empty-auto.kvn", "", DeltaMode::Auto, "wav", DeltaMode::Bits32},  // a tie: the widest
        // Every filter on sound of its own width.
        {"filter-none.kvn", Pcm(8, 1, 0.05), DeltaMode::None, "raw"},
        {"filter-8.kvn", Pcm(8, 1, 0.05), DeltaMode::Bits8, "raw"},
        {"filter-16.kvn", Pcm(16, 1, 0.05), DeltaMode::Bits16, "wav"},
        {"filter-24.kvn", Pcm(24, 1, 0.05), DeltaMode::Bits24, "wav"},
        {"filter-32.kvn", Pcm(32, 1, 0.05), DeltaMode::Bits32, "wav"},
        // Auto's five choices.
        {"auto-none.kvn", Text(20000), DeltaMode::Auto, "txt", DeltaMode::None},
        {"auto-8.kvn", Pcm(8, 1, 0.1, 2), DeltaMode::Auto, "raw", DeltaMode::Bits8},
        {"auto-16.kvn", Pcm(16, 1, 0.1, 2), DeltaMode::Auto, "raw", DeltaMode::Bits16},
        {"auto-24.kvn", Pcm(24, 1, 0.1, 2), DeltaMode::Auto, "raw", DeltaMode::Bits24},
        {"auto-32.kvn", Pcm(16, 2, 0.1, 2), DeltaMode::Auto, "wav", DeltaMode::Bits32},
        // Type texts of 0 and 255 bytes.
        {"type-0.kvn", "no dot, no type", DeltaMode::None, ""},
        {"type-255.kvn", "the longest type", DeltaMode::None,
         std::string(127, 'a') + "." + std::string(127, 'b')},
        // Several blocks, compressed on each side of block boundaries by the parallel passes.
        {"blocks-none.kvn", RepeatedNoise(2700001), DeltaMode::None, "raw"},
        {"blocks-16.kvn", Tone(2 * 900000) + RepeatedNoise(300000), DeltaMode::Bits16, "wav"},
    };
    // 1 to 5 bytes: only a partial sample, exactly one, or one and a partial one.
    for (int length = 1; length <= 5; ++length) {
        for (DeltaMode mode : {DeltaMode::Bits16, DeltaMode::Bits24, DeltaMode::Bits32}) {
            good.push_back({"bytes-" + std::to_string(length) + "-" + ModeName(mode) + ".kvn",
                            std::string("\x81\x02\xff\x7f\x10", length), mode, "raw"});
        }
    }
    // One byte short of the filter's chunk, the chunk exactly, and one byte into the next one.
    for (uint32_t length : {kChunkSize - 1, kChunkSize, kChunkSize + 1}) {
        for (DeltaMode mode : {DeltaMode::Bits16, DeltaMode::Bits24, DeltaMode::Bits32}) {
            good.push_back({"chunk-" + std::to_string(length) + "-" + ModeName(mode) + ".kvn",
                            Tone(length), mode, "wav"});
        }
    }

    const std::string notArchive = DescribeEngineError(EngineError::NotArchive);
    const std::string headerCut = DescribeEngineError(EngineError::HeaderTruncated);
    const std::string streamCut = DescribeEngineError(EngineError::StreamTruncated);
    const std::string damaged = DescribeEngineError(EngineError::StreamDamaged);
    // What a payload that disagrees with its header's size gives (DescribeFailure).
    auto sizeLong = [](uint32_t headerSize) {
        return "damaged archive: it holds more than the " + std::to_string(headerSize) +
               " bytes its header gives";
    };
    auto sizeShort = [](uint64_t restored, uint32_t headerSize) {
        return "damaged archive: it restores " + std::to_string(restored) +
               " bytes, but its header gives " + std::to_string(headerSize);
    };
    // The same payload under another stored size.
    auto resize = [](int64_t change) {
        return [change](const std::string& archive) {
            ArchiveHeader header;
            ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                               &header);
            return EncodeArchiveHeader(header.typeText, header.deltaMode,
                                       static_cast<uint32_t>(header.sourceSize + change)) +
                   test::PayloadOf(archive);
        };
    };
    const uint32_t filter16Size = static_cast<uint32_t>(Pcm(16, 1, 0.05).size());
    const std::string unsafeType = "bad file format (unsafe type text)";
    // The same archive under another stored type text.
    auto retype = [](const std::string& typeText) {
        return [typeText](const std::string& archive) {
            ArchiveHeader header;
            ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                               &header);
            return EncodeArchiveHeader(typeText, header.deltaMode, header.sourceSize) +
                   test::PayloadOf(archive);
        };
    };
    // filter-16.kvn: header of 17 bytes ("wav"), then one block.
    std::vector<Bad> bad = {
        {"bad-empty-file.kvn", "filter-16.kvn", [](auto&) { return std::string(); }, notArchive},
        {"bad-magic-only-part.kvn", "filter-16.kvn", [](auto& a) { return a.substr(0, 3); },
         notArchive},
        {"bad-magic.kvn", "filter-16.kvn", [](auto& a) { return "KVN3" + a.substr(4); },
         notArchive},
        {"bad-header-cut.kvn", "filter-16.kvn", [](auto& a) { return a.substr(0, 12); }, headerCut},
        {"bad-type-past-end.kvn", "filter-16.kvn",
         [](auto& a) { return a.substr(0, 4) + "\xc8" + a.substr(5, 40); }, headerCut},
        {"bad-no-payload.kvn", "filter-16.kvn", [](auto& a) { return a.substr(0, 17); }, streamCut},
        {"bad-stream-cut.kvn", "filter-16.kvn", [](auto& a) { return a.substr(0, a.size() / 2); },
         streamCut},
        {"bad-end-marker-cut.kvn", "filter-16.kvn",
         [](auto& a) { return a.substr(0, a.size() - 3); }, streamCut},
        // The first block's magic, its stored CRC, its data, and the stream's combined CRC.
        {"bad-block-magic.kvn", "filter-16.kvn", [](auto& a) { return FlipBit(a, 17 + 2); },
         damaged},
        {"bad-block-crc.kvn", "filter-16.kvn", [](auto& a) { return FlipBit(a, 17 + 7); }, damaged},
        // Damaged data decodes to more than the header gives before the block's CRC is reached.
        {"bad-block-data.kvn", "filter-16.kvn", [](auto& a) { return FlipBit(a, a.size() / 2, 4); },
         sizeLong(filter16Size)},
        {"bad-combined-crc.kvn", "filter-16.kvn", [](auto& a) { return FlipBit(a, a.size() - 3); },
         damaged},
        // The same in a stream of several blocks: found by every thread count alike.
        {"bad-blocks-data.kvn", "blocks-none.kvn",
         [](auto& a) { return FlipBit(a, a.size() / 2, 3); }, damaged},
        // A header size that disagrees with the payload, either way.
        {"bad-size-smaller.kvn", "filter-16.kvn", resize(-1), sizeLong(filter16Size - 1)},
        {"bad-size-larger.kvn", "filter-16.kvn", resize(+1),
         sizeShort(filter16Size, filter16Size + 1)},
        {"bad-blocks-cut.kvn", "blocks-none.kvn",
         [](auto& a) { return a.substr(0, a.size() * 3 / 4); }, streamCut},
        {"bad-blocks-combined-crc.kvn", "blocks-none.kvn",
         [](auto& a) { return FlipBit(a, a.size() - 3); }, damaged},
        // A mode byte no writer stores: 16-bit (3) with its top bit flipped, restored as if
        // unfiltered it would give wrong bytes.
        {"bad-filter-mode.kvn", "filter-16.kvn", [](auto& a) { return FlipBit(a, 5 + 3, 7); },
         "damaged archive: unknown filter mode 131"},
        // A stored type that would name a file outside the archive's folder, or no file.
        {"bad-type-slash.kvn", "type-0.kvn", retype("x/../../y"), unsafeType},
        {"bad-type-nul.kvn", "type-0.kvn", retype(std::string("wav\0.txt", 8)), unsafeType},
    };

    std::string table =
        "# The golden archives and what each must give (tests/golden/README.md).\n"
        "#   NAME  MODE  SHA-256 of the restored bytes   (a good archive, compressed with MODE)\n"
        "#   NAME  error TEXT                            (a bad one: the exact error)\n";
    std::vector<std::pair<std::string, std::string>> archives;
    for (const Good& g : good) {
        test::JobRun run = test::CompressOn(1, g.source, g.mode, g.typeText);
        if (run.outcome.result != JobResult::Done ||
            (g.mode == DeltaMode::Auto && run.outcome.mode != g.autoChoice)) {
            std::fprintf(stderr, "%s: not made as intended (mode %s)\n", g.name.c_str(),
                         ModeName(run.outcome.mode));
            return 1;
        }
        archives.emplace_back(g.name, run.output);
        char line[256];
        std::snprintf(line, sizeof line, "%-30s %-5s %s\n", g.name.c_str(), ModeName(g.mode),
                      test::Sha256(g.source).c_str());
        table += line;
    }
    for (const Bad& b : bad) {
        std::string from;
        for (const auto& [name, bytes] : archives) {
            if (name == b.from) from = bytes;
        }
        archives.emplace_back(b.name, b.damage(from));
        char line[256];
        std::snprintf(line, sizeof line, "%-30s error %s\n", b.name.c_str(), b.error.c_str());
        table += line;
    }
    // Payloads other tools write: several streams in a row, each part its own stream (one of
    // block size 1), and whatever follows a payload whose size already agrees.
    const std::string tone = Tone(250000);
    const std::string parts[] = {tone.substr(0, 100000), tone.substr(100000, 100000),
                                 tone.substr(200000)};
    const std::string streams = test::Bzip2(parts[0], {"-9", "-c"}).substr(4) +
                                test::Bzip2(parts[1], {"-1", "-c"}) +
                                test::Bzip2(parts[2], {"-9", "-c"});
    const auto toneSize = static_cast<uint32_t>(tone.size());
    const std::pair<std::string, std::string> foreign[] = {
        {"foreign-streams.kvn", EncodeArchiveHeader("wav", 1, toneSize) + streams},
    };
    for (const auto& [name, bytes] : foreign) {
        archives.emplace_back(name, bytes);
        char line[256];
        std::snprintf(line, sizeof line, "%-30s foreign %s\n", name.c_str(),
                      test::Sha256(tone).c_str());
        table += line;
    }
    // An archive ends where the stream that restores its size ends: text and another stream
    // after it (another file's archive appended, say) are damage, never ignored.
    const std::string after = "trailing" + test::Bzip2(parts[0], {"-9", "-c"});
    archives.emplace_back("bad-trailing.kvn", EncodeArchiveHeader("wav", 1, toneSize) +
                                                  test::Bzip2(tone, {"-9", "-c"}).substr(4) +
                                                  after);
    char trailing[256];
    std::snprintf(trailing, sizeof trailing, "%-30s error %s\n", "bad-trailing.kvn",
                  Status::TrailingBytes(after.size()).message().c_str());
    table += trailing;
    size_t total = 0;
    for (const auto& [name, bytes] : archives) {
        test::WriteFile(folder + "/" + name, bytes);
        total += bytes.size();
    }
    test::WriteFile(folder + "/expected.txt", table);
    std::printf("%zu archives, %zu bytes\n", archives.size(), total);
    return 0;
}
