// SPDX-License-Identifier: MIT
#include "engine/format/DeltaFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/pass/EngineContext.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes EncodeFirst(DeltaMode mode, Bytes chunk) {
    DeltaState state;
    DeltaEncode(mode, chunk.data(), chunk.size(), true, state);
    return chunk;
}

TEST(DeltaFilterTest, EncodesTheDocumentedExamples) {
    struct Case {
        DeltaMode mode;
        Bytes in, out;
    } cases[] = {
        {DeltaMode::Bits8, {0x05, 0x03, 0x08}, {0x05, 0xFE, 0x05}},
        {DeltaMode::Bits16, {0x10, 0, 0x05, 0, 0x03, 0}, {0x10, 0, 0xF5, 0xFF, 0xFE, 0xFF}},
        // The trailing partial sample passes unchanged.
        {DeltaMode::Bits16, {0x10, 0, 0x05, 0, 0x07}, {0x10, 0, 0xF5, 0xFF, 0x07}},
        {DeltaMode::Bits24, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 3, 3, 3}},
        // Lanes never borrow from each other: a 32-bit difference would give FF FF FF FF.
        {DeltaMode::Bits32, {1, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0xFF, 0xFF, 0, 0}},
        // Shorter than one sample: unchanged.
        {DeltaMode::Bits24, {7, 9}, {7, 9}},
        {DeltaMode::Bits32, {}, {}},
        // Modes that do not filter leave everything alone, header bytes above 5 included.
        {DeltaMode::None, {5, 3, 8}, {5, 3, 8}},
        {DeltaMode::Auto, {5, 3, 8}, {5, 3, 8}},
        {static_cast<DeltaMode>(200), {5, 3, 8}, {5, 3, 8}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeFirst(c.mode, c.in), c.out) << "mode " << static_cast<int>(c.mode);
    }
}

TEST(DeltaFilterTest, LaterChunksContinueFromThePreviousChunk) {
    // A Bits16 source two bytes longer than one chunk: the second chunk's only sample is
    // stored as its difference from the first chunk's last sample.
    Bytes source(kChunkSize + 2);
    for (size_t i = 0; i < source.size(); i += 2) {
        source[i] = static_cast<uint8_t>(i / 2);
        source[i + 1] = static_cast<uint8_t>(i / 512);
    }
    Bytes encoded = source;
    DeltaState state;
    DeltaEncode(DeltaMode::Bits16, encoded.data(), kChunkSize, true, state);
    DeltaEncode(DeltaMode::Bits16, encoded.data() + kChunkSize, 2, false, state);
    auto value = [](const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; };
    EXPECT_EQ(value(encoded, kChunkSize),
              (value(source, kChunkSize) - value(source, kChunkSize - 2)) & 0xFFFF);
}

// Encodes and decodes `source` chunk by chunk as the engine does, with the first-chunk rules.
Bytes RoundTrip(DeltaMode mode, const Bytes& source) {
    Bytes data = source;
    DeltaState encoder;
    for (size_t at = 0; at < data.size(); at += kChunkSize) {
        size_t length = std::min<size_t>(kChunkSize, data.size() - at);
        DeltaEncode(mode, data.data() + at, length, at == 0, encoder);
    }
    DeltaState decoder;
    decoder.lane16 = 0x1234;  // stale values from an earlier job must not matter
    decoder.decodeFirst = true;
    for (size_t at = 0; at < data.size(); at += kChunkSize) {
        size_t length = std::min<size_t>(kChunkSize, data.size() - at);
        DeltaDecode(mode, data.data() + at, length, decoder);
    }
    return data;
}

TEST(DeltaFilterTest, DecodeUndoesEncodeForEveryModeAndLength) {
    const size_t lengths[] = {0,
                              1,
                              2,
                              3,
                              4,
                              5,
                              kChunkSize - 1,
                              kChunkSize,
                              kChunkSize + 1,
                              kChunkSize + 2,
                              3 * kChunkSize + 7};
    std::string noise = samples::MakeNoise(3 * kChunkSize + 7, 42);
    samples::SoundSpec spec;
    spec.seconds = 6;
    std::string sound = samples::MakePcm(spec);
    for (const std::string* data : {&noise, &sound}) {
        for (size_t length : lengths) {
            Bytes source(data->begin(), data->begin() + static_cast<long>(length));
            for (uint32_t m = 0; m <= 6; ++m) {
                auto mode = static_cast<DeltaMode>(m);
                Bytes restored = RoundTrip(mode, source);
                ASSERT_EQ(restored, source) << "mode " << m << " length " << length;
                if (IsFilterMode(mode) && length > 8 && data == &sound) {
                    EXPECT_NE(EncodeFirst(mode, source), source) << "the filter did nothing";
                }
            }
        }
    }
}

TEST(DeltaFilterTest, ReportWidths) {
    EXPECT_EQ(DeltaModeBits(DeltaMode::Auto), 0);
    EXPECT_EQ(DeltaModeBits(DeltaMode::None), 0);
    EXPECT_EQ(DeltaModeBits(DeltaMode::Bits8), 8);
    EXPECT_EQ(DeltaModeBits(DeltaMode::Bits24), 24);
    EXPECT_EQ(DeltaModeBits(DeltaMode::Bits32), 32);
    EXPECT_EQ(DeltaModeBits(static_cast<DeltaMode>(6)), -1);
}

}  // namespace
}  // namespace kavrin
