// SPDX-License-Identifier: MIT
#include "jobs/InputWalk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::TempDir;
using test::WriteFile;

// What a walk reports, with the temporary folder's path cut off, "!" marking a refusal.
std::vector<std::string> Walked(const TempDir& dir, const std::string& path) {
    std::vector<std::string> seen;
    WalkInput(path, [&](const std::string& found, InputKind kind) {
        std::string shown = found.substr(0, dir.path().size()) == dir.path()
                                ? found.substr(dir.path().size())
                                : found;
        seen.push_back((kind == InputKind::File ? "" : "!") + shown);
    });
    return seen;
}

TEST(InputWalkTest, FollowsTheQueueRules) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "lib").c_str(), 0777), 0);
    for (const char* folder : {"lib/.svn", "lib/sub", "lib/empty", "lib/B"}) {
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0777), 0);
    }
    for (const char* file : {"lib/a.wav", "lib/.hidden.wav", "lib/.svn/x.wav", "lib/sub/b.wav",
                             "lib/B/c.wav", "lib/\xff-latin1.wav"}) {
        WriteFile(dir / file, "x");
    }
    ASSERT_EQ(mkfifo((dir / "lib/pipe").c_str(), 0600), 0);
    // A link back to the walk's own parent: followed, it would never end.
    ASSERT_EQ(symlink("..", (dir / "lib/sub/up").c_str()), 0);
    ASSERT_EQ(symlink((dir / "lib/a.wav").c_str(), (dir / "lib/sub/link.wav").c_str()), 0);

    EXPECT_EQ(
        Walked(dir, dir / "lib"),
        (std::vector<std::string>{"/lib/B/c.wav", "/lib/a.wav", "!/lib/pipe", "/lib/sub/b.wav",
                                  "/lib/sub/link.wav", "/lib/\xff-latin1.wav"}));
    EXPECT_EQ(Walked(dir, dir / "lib/empty"), std::vector<std::string>{});
    // Named paths: hidden or missing ones are refused; a named link to a folder is followed.
    EXPECT_EQ(Walked(dir, dir / "lib/.hidden.wav"), std::vector<std::string>{"!/lib/.hidden.wav"});
    EXPECT_EQ(Walked(dir, dir / "lib/.svn"), std::vector<std::string>{"!/lib/.svn"});
    EXPECT_EQ(Walked(dir, dir / "missing"), std::vector<std::string>{"!/missing"});
    EXPECT_EQ(Walked(dir, dir / "lib/sub/up").size(), 6u);
}

}  // namespace
}  // namespace kavrin
