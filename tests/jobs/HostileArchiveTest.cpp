// SPDX-License-Identifier: MIT
// Crafted archives through the window's dispatcher and worker: each gives its message or
// fails, writes nothing outside the destination folder, and leaves no partial result.
#include <gtest/gtest.h>

#include "engine/format/ArchiveFormat.h"
#include "jobs/Destination.h"
#include "tests/support/DispatchHarness.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Payload(const std::string& source) {
    return test::PayloadOf(test::Compress(source, DeltaMode::None, "wav").output);
}

TEST(HostileArchiveTest, EachGivesItsMessageAndWritesNothingOutside) {
    samples::SoundSpec spec;
    spec.seconds = 0.5;
    const std::string sound = samples::MakePcm(spec);
    const std::string payload = Payload(sound);
    const auto size = static_cast<uint32_t>(sound.size());
    std::string wrongCrc = payload;
    wrongCrc[wrongCrc.size() - 3] ^= 0x04;

    struct Case {
        const char* name;  // the archive's file name
        std::string bytes;
        const char* action;            // the report row
        const char* message;           // the message shown, or ""
        std::vector<std::string> out;  // what the destination folder holds afterwards
    } cases[] = {
        {"slash.kvn",
         EncodeArchiveHeader("../../escape", 1, size) + payload,
         "ERROR",
         "Bad file format",
         {}},
        {"nul.kvn",
         EncodeArchiveHeader(std::string("wav\0.sh", 7), 1, size) + payload,
         "ERROR",
         "Bad file format",
         {}},
        {".kvn", EncodeArchiveHeader(".", 1, size) + payload, "ERROR", "Bad file format", {}},
        // Dots alone are a name like any other, inside the folder.
        {"dots.kvn", EncodeArchiveHeader("..", 1, size) + payload, "expanded", "", {"dots..."}},
        // A restored name longer than a file name may be.
        {"long.kvn",
         EncodeArchiveHeader(std::string(255, 'x'), 1, size) + payload,
         "ERROR",
         "Can't create file\n",
         {}},
        {"huge.kvn",
         EncodeArchiveHeader("wav", 1, 0xFFFFFFFF) + payload.substr(0, 100),
         "error",
         "Cat't perform operation",
         {}},
        {"pastend.kvn", std::string("KVN1\xF0wav", 8), "ERROR", "Bad file format", {}},
        // An archive ends with its payload: an appended file is damage, and nothing lands.
        {"garbage.kvn",
         EncodeArchiveHeader("wav", 1, size) + payload + samples::MakeNoise(3 << 20, 9),
         "error",
         "Cat't perform operation",
         {}},
        // A header size that disagrees with the payload, either way.
        {"smaller.kvn",
         EncodeArchiveHeader("wav", 1, size - 1) + payload,
         "error",
         "Cat't perform operation",
         {}},
        {"larger.kvn",
         EncodeArchiveHeader("wav", 1, size + 1) + payload,
         "error",
         "Cat't perform operation",
         {}},
        {"crc.kvn",
         EncodeArchiveHeader("wav", 1, size) + wrongCrc,
         "error",
         "Cat't perform operation",
         {}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        test::MakeFolders(dir / "in");
        const std::string in = dir / "in";
        WriteFile(in + "/" + c.name, c.bytes);
        test::DispatchHarness harness;
        harness.window.options.sameDir = false;
        harness.window.options.destDir = dir / "out";
        harness.Add(in + "/" + c.name);
        harness.dispatcher.OnStart();
        ASSERT_TRUE(harness.DeliverAll()) << c.name;
        ASSERT_EQ(harness.window.report.size(), 1u) << c.name;
        EXPECT_EQ(harness.window.report[0].action, c.action) << c.name;
        if (*c.message) {
            ASSERT_EQ(harness.window.shown.size(), 1u) << c.name;
            EXPECT_EQ(harness.window.shown[0].rfind(c.message, 0), 0u) << c.name;
        } else {
            EXPECT_TRUE(harness.window.shown.empty()) << c.name;
        }
        // Nothing outside the destination folder, nothing partial inside it.
        EXPECT_EQ(ListFolder(dir.path()).size(),
                  c.out.empty() ? 1u + test::Exists(dir / "out") : 2u)
            << c.name;
        EXPECT_EQ(ListFolder(dir / "in"), std::vector<std::string>{c.name}) << c.name;
        EXPECT_EQ(ListFolder(dir / "out"), c.out) << c.name;
        if (!c.out.empty()) {
            EXPECT_TRUE(ReadFile(dir / ("out/" + c.out[0])) == sound) << c.name;
        }
    }
}

}  // namespace
}  // namespace kavrin
