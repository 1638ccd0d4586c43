// SPDX-License-Identifier: MIT
// The last guard before a source is deleted: its name must still lead to the very file that was
// read, unchanged. Another program replaces the source, or writes to it, in the moment between
// the commit of its result and its deletion, through the window and through kvn: the file at
// the name now is someone else's, and stays.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "jobs/JobPipeline.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/FrontEnds.h"
#include "tests/support/TestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::FrontEnd;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

enum class Meanwhile { Nothing, Replaced, Appended };

class DeletionGuardTest : public testing::Test {
protected:
    void TearDown() override { SetBeforeSourceDeletionHook(nullptr); }
};

TEST_F(DeletionGuardTest, ASourceReplacedOrChangedAfterTheCommitStays) {
    samples::SoundSpec spec;
    spec.seconds = 0.3;
    const std::string sound = samples::MakeWav(spec);
    const std::string theirs = "another program's file, put at the source's name";
    for (FrontEnd frontEnd : {FrontEnd::Window, FrontEnd::Kvn}) {
        for (Meanwhile meanwhile : {Meanwhile::Nothing, Meanwhile::Replaced, Meanwhile::Appended}) {
            SCOPED_TRACE(std::string(test::NameOf(frontEnd)) + ", case " +
                         std::to_string(static_cast<int>(meanwhile)));
            TempDir dir;
            const std::string source = dir / "take.wav";
            WriteFile(source, sound);
            int calls = 0;
            SetBeforeSourceDeletionHook([&](const std::string& path) {
                ++calls;
                EXPECT_EQ(path, source);
                if (meanwhile == Meanwhile::Replaced) {
                    WriteFile(dir / "theirs", theirs);
                    ASSERT_EQ(std::rename((dir / "theirs").c_str(), path.c_str()), 0);
                } else if (meanwhile == Meanwhile::Appended) {
                    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                    ASSERT_GE(fd, 0);
                    ASSERT_EQ(write(fd, "more", 4), 4);
                    close(fd);
                }
            });
            const test::FrontEndRun run = RunOneFile(frontEnd, source, true);
            SetBeforeSourceDeletionHook(nullptr);

            EXPECT_EQ(calls, 1);
            EXPECT_EQ(run.action, "compressed") << run.messages;
            EXPECT_EQ(test::Expand(ReadFile(dir / "take.kvn")).output, sound);
            switch (meanwhile) {
                case Meanwhile::Nothing:
                    EXPECT_FALSE(test::Exists(source)) << "an unchanged source goes";
                    break;
                case Meanwhile::Replaced:
                    ASSERT_TRUE(test::Exists(source)) << "someone else's file was deleted";
                    EXPECT_EQ(ReadFile(source), theirs);
                    break;
                case Meanwhile::Appended:
                    ASSERT_TRUE(test::Exists(source)) << "a source written to was deleted";
                    EXPECT_EQ(ReadFile(source), sound + "more");
                    break;
            }
            if (meanwhile != Meanwhile::Nothing) {
                EXPECT_NE(run.messages.find(frontEnd == FrontEnd::Window
                                                ? "Can't delete source file"
                                                : "was replaced while it was read; not deleted"),
                          std::string::npos)
                    << run.messages;
            }
        }
    }
}

}  // namespace
}  // namespace kavrin
