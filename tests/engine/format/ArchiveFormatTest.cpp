// SPDX-License-Identifier: MIT
#include "engine/format/ArchiveFormat.h"

#include <gtest/gtest.h>

#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

using test::Compress;
using test::Expand;

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[4];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02X ", c);
        out += two;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

TEST(ArchiveFormatTest, WritesTheDocumentedBytes) {
    // x.wav, 1000 bytes, 16-bit filter.
    test::JobRun wav = Compress(std::string(1000, 'a'), DeltaMode::Bits16, "wav");
    ASSERT_EQ(wav.outcome.result, JobResult::Done);
    EXPECT_EQ(Hex(wav.output.substr(0, 17)), "4B 56 4E 31 03 77 61 76 03 E8 03 00 00 00 00 00 00");
    EXPECT_EQ(Hex(wav.output.substr(17, 6)), "31 41 59 26 53 59");  // the first block's magic

    // An empty empty.raw with mode None: header plus the 10-byte empty stream.
    test::JobRun empty = Compress("", DeltaMode::None, "raw");
    ASSERT_EQ(empty.outcome.result, JobResult::Done);
    EXPECT_EQ(Hex(empty.output),
              "4B 56 4E 31 03 72 61 77 01 00 00 00 00 00 00 00 00 "
              "17 72 45 38 50 90 00 00 00 00");
    test::JobRun restored = Expand(empty.output);
    EXPECT_EQ(restored.outcome.result, JobResult::Done);
    EXPECT_EQ(restored.output, "");

    // No dot in the name: an empty type text, and the mode byte right after the length.
    test::JobRun plain = Compress("abc", DeltaMode::Bits8, "");
    EXPECT_EQ(Hex(plain.output.substr(0, 6)), "4B 56 4E 31 00 02");
}

TEST(ArchiveFormatTest, ParsesOnlyWhatTheBytesHold) {
    std::string good = EncodeArchiveHeader("wav", 3, 4000);
    auto parse = [](const std::string& bytes, HeaderField last, ArchiveHeader* header) {
        return ParseArchiveHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                  header, last);
    };
    ArchiveHeader header;
    ASSERT_EQ(parse(good, HeaderField::Reserved, &header), HeaderStatus::Ok);
    EXPECT_EQ(header.typeText, "wav");
    EXPECT_EQ(header.deltaMode, 3);
    EXPECT_EQ(header.sourceSize, 4000u);
    EXPECT_EQ(header.headerLength, 17u);

    struct Case {
        std::string bytes;
        HeaderField last;
        HeaderStatus status;
    } cases[] = {
        {"", HeaderField::Reserved, HeaderStatus::NotArchive},
        {"KVN", HeaderField::Reserved, HeaderStatus::NotArchive},
        {"KVN3" + good.substr(4), HeaderField::Reserved, HeaderStatus::NotArchive},
        {"kvn1" + good.substr(4), HeaderField::Reserved, HeaderStatus::NotArchive},
        {"KVN1", HeaderField::TypeText, HeaderStatus::Truncated},
        // A type length that runs past the end of the file.
        {std::string("KVN1\xFF", 5) + "wav", HeaderField::TypeText, HeaderStatus::Truncated},
        {good.substr(0, 8), HeaderField::TypeText, HeaderStatus::Ok},
        {good.substr(0, 8), HeaderField::SourceSize, HeaderStatus::Truncated},
        {good.substr(0, 13), HeaderField::SourceSize, HeaderStatus::Ok},
        {good.substr(0, 13), HeaderField::Reserved, HeaderStatus::Truncated},
        {good.substr(0, 16), HeaderField::Reserved, HeaderStatus::Truncated},
    };
    for (const Case& c : cases) {
        ArchiveHeader ignored;
        EXPECT_EQ(parse(c.bytes, c.last, &ignored), c.status) << Hex(c.bytes);
    }

    // A nonzero reserved field is read and otherwise ignored.
    std::string reserved = good;
    reserved[16] = '\x7F';
    ASSERT_EQ(parse(reserved, HeaderField::Reserved, &header), HeaderStatus::Ok);
    EXPECT_EQ(header.reserved, 0x7F000000u);
}

// The largest size of the 32-bit header keeps it; one byte more takes the 64-bit header, which
// a reader of the 32-bit header alone (its rule copied here as published) refuses as no
// archive rather than read a size cut to 32 bits.
TEST(ArchiveFormatTest, SizesFrom4GiBOnTakeTheWideHeader) {
    auto parse = [](const std::string& bytes, HeaderField last, ArchiveHeader* header) {
        return ParseArchiveHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                  header, last);
    };
    auto narrowReaderAccepts = [](const std::string& bytes) {
        return bytes.size() >= 5 && bytes.compare(0, 4, "KVN1") == 0 &&
               bytes.size() >= 14u + static_cast<uint8_t>(bytes[4]);
    };
    const std::string narrow = EncodeArchiveHeader("wav", 3, 0xFFFFFFFFull);
    EXPECT_EQ(Hex(narrow), "4B 56 4E 31 03 77 61 76 03 FF FF FF FF 00 00 00 00");
    EXPECT_TRUE(narrowReaderAccepts(narrow));
    const std::string wide = EncodeArchiveHeader("wav", 3, 0x100000000ull);
    EXPECT_EQ(Hex(wide), "4B 56 4E 32 03 77 61 76 03 00 00 00 00 01 00 00 00 00 00 00 00");
    EXPECT_FALSE(narrowReaderAccepts(wide));

    ArchiveHeader header;
    ASSERT_EQ(parse(narrow, HeaderField::Reserved, &header), HeaderStatus::Ok);
    EXPECT_FALSE(header.wide);
    EXPECT_EQ(header.sourceSize, 0xFFFFFFFFull);
    EXPECT_EQ(header.headerLength, 17u);
    const std::string big = EncodeArchiveHeader("w64", 5, 0x0123456789ABCDEFull);
    ASSERT_EQ(parse(big + "payload", HeaderField::Reserved, &header), HeaderStatus::Ok);
    EXPECT_TRUE(header.wide);
    EXPECT_EQ(header.sourceSize, 0x0123456789ABCDEFull);
    EXPECT_EQ(header.headerLength, 21u);
    EXPECT_EQ(header.typeText, "w64");
    EXPECT_EQ(header.deltaMode, 5);
    // The wide header ends 4 bytes later: cut inside its size or its reserved field it is
    // truncated.
    EXPECT_EQ(parse(big.substr(0, 16), HeaderField::SourceSize, &header), HeaderStatus::Truncated);
    EXPECT_EQ(parse(big.substr(0, 17), HeaderField::SourceSize, &header), HeaderStatus::Ok);
    EXPECT_EQ(parse(big.substr(0, 20), HeaderField::Reserved, &header), HeaderStatus::Truncated);
}

TEST(ArchiveFormatTest, ReadsAFileTheSameWay) {
    test::TempDir dir;
    test::WriteFile(dir / "a.kvn", EncodeArchiveHeader("b.wav", 5, 123456) + "payload");
    test::WriteFile(dir / "big.kvn", EncodeArchiveHeader("b.wav", 5, 5ull << 30) + "payload");
    for (const char* name : {"a.kvn", "big.kvn"}) {
        platform::FileHandle file = platform::OpenForRead(dir / name);
        ArchiveHeader header;
        ASSERT_EQ(ReadArchiveHeader(file, &header), HeaderStatus::Ok);
        EXPECT_EQ(header.typeText, "b.wav");
        EXPECT_EQ(header.sourceSize, name[0] == 'a' ? 123456u : 5ull << 30);
        char next = 0;
        ASSERT_EQ(platform::ReadFull(file, &next, 1), 1);
        EXPECT_EQ(next, 'p');  // left at the first payload byte
        platform::CloseFile(file);
    }
    ArchiveHeader header;
    platform::FileHandle file;

    test::WriteFile(dir / "short.kvn", std::string("KVN1\x03wa", 7));
    file = platform::OpenForRead(dir / "short.kvn");
    EXPECT_EQ(ReadArchiveHeader(file, &header), HeaderStatus::Truncated);
    platform::CloseFile(file);
}

}  // namespace
}  // namespace kavrin
