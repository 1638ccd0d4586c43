// SPDX-License-Identifier: MIT
#include "jobs/Leftovers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::ListFolder;
using test::TempDir;
using test::WriteFile;

TEST(LeftoversTest, RemovesOnlyOldTemporaryFiles) {
    TempDir dir;
    WriteFile(dir / ".kvn-abc123-take.kvn", "partial");
    WriteFile(dir / ".kvn-zzzzzz-b.wav", "partial");
    WriteFile(dir / "take.wav", "source");
    WriteFile(dir / ".kvn-short", "not one of ours");
    ASSERT_EQ(mkdir((dir / ".kvn-folder-x").c_str(), 0777), 0);
    ASSERT_EQ(symlink("take.wav", (dir / ".kvn-linked-x").c_str()), 0);
    // An old modification time does not make a file old: a result being written carries its
    // source's time.
    const timespec ancient[2] = {{0, 0}, {0, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / ".kvn-zzzzzz-b.wav").c_str(), ancient, 0), 0);
    const auto now = static_cast<int64_t>(std::time(nullptr));
    const std::vector<std::string> all = ListFolder(dir.path());

    EXPECT_EQ(RemoveLeftovers(dir.path(), now, kLeftoverAgeSeconds), 0);
    EXPECT_EQ(RemoveLeftovers(dir.path(), now + kLeftoverAgeSeconds - 60, kLeftoverAgeSeconds), 0);
    EXPECT_EQ(ListFolder(dir.path()), all);

    EXPECT_EQ(RemoveLeftovers(dir.path(), now + 2 * kLeftoverAgeSeconds, kLeftoverAgeSeconds), 2);
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{".kvn-folder-x", ".kvn-linked-x",
                                                                ".kvn-short", "take.wav"}));
    EXPECT_EQ(RemoveLeftovers(dir / "missing", now, 0), 0);
}

}  // namespace
}  // namespace kavrin
