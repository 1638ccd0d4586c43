// SPDX-License-Identifier: MIT
// kvn -T: the thread count changes the time a job takes, never its archive or its result.
#include <gtest/gtest.h>

#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

test::ProgramResult Kvn(std::vector<std::string> args, const std::string& folder) {
    args.insert(args.begin(), KVN_PATH);
    return test::RunProgram(args, "", folder);
}

TEST(KvnThreadsTest, EveryThreadCountMakesTheSameArchive) {
    test::TempDir dir;
    const std::string sound = test::Sound(2, 16, 6);  // two blocks
    test::WriteFile(dir / "take.wav", sound);
    std::string first;
    for (const char* threads : {"1", "2", "5", "0"}) {  // 0: every usable core
        SCOPED_TRACE(std::string("-T ") + threads);
        const std::string out = std::string("out") + threads;
        test::ProgramResult made =
            Kvn({"compress", "-T", threads, "-m", "16", "-o", out, "take.wav"}, dir.path());
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string archive = test::ReadFile(dir / out + "/take.kvn");
        if (first.empty()) first = archive;
        EXPECT_TRUE(archive == first);
        test::ProgramResult tested =
            Kvn({"test", "--threads", threads, out + "/take.kvn"}, dir.path());
        EXPECT_EQ(tested.status, 0) << tested.out;
        test::ProgramResult restored =
            Kvn({"expand", "-T", threads, "-o", out, out + "/take.kvn"}, dir.path());
        ASSERT_EQ(restored.status, 0) << restored.err;
        EXPECT_TRUE(test::ReadFile(dir / out + "/take.wav") == sound);
    }
    for (const char* bad : {"65", "two"}) {
        test::ProgramResult refused = Kvn({"compress", "-T", bad, "take.wav"}, dir.path());
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.err.find("--threads"), std::string::npos) << refused.err;
    }
}

}  // namespace
}  // namespace kavrin
