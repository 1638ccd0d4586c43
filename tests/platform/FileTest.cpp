// SPDX-License-Identifier: MIT
#include "platform/File.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/Processors.h"
#include "tests/support/TestSupport.h"

namespace kavrin::platform {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(FileTest, OpensRegularFilesOnlyAndWithoutSharing) {
    TempDir dir;
    WriteFile(dir / "a.wav", "abc");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);

    FileHandle first = OpenForRead(dir / "a.wav");
    ASSERT_NE(first, kInvalidFile);
    // A second opener is refused while the first holds the file, as without sharing.
    EXPECT_EQ(OpenForRead(dir / "a.wav"), kInvalidFile);
    EXPECT_EQ(errno, EWOULDBLOCK);
    CloseFile(first);
    EXPECT_EQ(first, kInvalidFile);
    FileHandle again = OpenForRead(dir / "a.wav");
    EXPECT_NE(again, kInvalidFile);
    CloseFile(again);

    // A FIFO with no writer would block an ordinary open forever: it is refused at once.
    EXPECT_EQ(OpenForRead(dir / "pipe"), kInvalidFile);
    EXPECT_EQ(OpenForRead(dir.path()), kInvalidFile);
    EXPECT_EQ(OpenForRead(dir / "missing"), kInvalidFile);
}

TEST(FileTest, AttributesFollowTheQueueRules) {
    TempDir dir;
    WriteFile(dir / ".hidden.wav", "x");
    WriteFile(dir / "plain.wav", "12345");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "plain.wav").c_str(), (dir / "link").c_str()), 0);

    PathAttributes plain = QueryAttributes(dir / "plain.wav");
    EXPECT_TRUE(plain.exists && plain.isRegular);
    EXPECT_FALSE(plain.isHidden || plain.isSystem || plain.isFolder);
    EXPECT_EQ(plain.size, 5u);
    EXPECT_TRUE(QueryAttributes(dir / ".hidden.wav").isHidden);
    EXPECT_TRUE(QueryAttributes(dir / "pipe").isSystem);
    EXPECT_TRUE(QueryAttributes(dir / "link").isRegular);  // a named link is followed
    EXPECT_FALSE(QueryAttributes(dir / "missing").exists);
    EXPECT_TRUE(QueryAttributes(dir.path() + "/.").isFolder);
    EXPECT_FALSE(QueryAttributes(dir.path() + "/.").isHidden);
    EXPECT_FALSE(QueryAttributes(dir.path() + "/").isHidden);
}

TEST(FileTest, ReadsAndWritesWholeRequestsAndInjectedFaults) {
    TempDir dir;
    FileHandle out = CreateNewForWrite(dir / "f");
    ASSERT_NE(out, kInvalidFile);
    EXPECT_EQ(CreateNewForWrite(dir / "f"), kInvalidFile);  // never replaces
    ASSERT_TRUE(WriteFull(out, "0123456789", 10));
    InjectFault(FaultOp::Write, 2, ENOSPC);
    EXPECT_TRUE(WriteFull(out, "ab", 2));
    EXPECT_FALSE(WriteFull(out, "cd", 2));
    EXPECT_EQ(errno, ENOSPC);
    ClearFaults();
    CloseFile(out);

    FileHandle in = OpenForRead(dir / "f");
    char buffer[32];
    EXPECT_EQ(ReadFull(in, buffer, 4), 4);
    InjectFault(FaultOp::Read, 1, 0, true);
    EXPECT_EQ(ReadFull(in, buffer, 8), 4);  // half, as if the file had shrunk
    InjectFault(FaultOp::Read, 1, EIO);
    EXPECT_EQ(ReadFull(in, buffer, 8), -1);
    ClearFaults();
    EXPECT_EQ(ReadFull(in, buffer, sizeof buffer), 4);  // the rest, then the end
    EXPECT_EQ(ReadFull(in, buffer, sizeof buffer), 0);
    uint64_t size = 0;
    EXPECT_TRUE(GetFileSize(in, &size));
    EXPECT_EQ(size, 12u);
    CloseFile(in);
}

TEST(FileTest, MakesPathsAbsolute) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(MakeAbsolute("/a/b/"), "/a/b");
    EXPECT_EQ(MakeAbsolute("/"), "/");
    EXPECT_EQ(MakeAbsolute("x.wav"), std::string(cwd) + "/x.wav");
}

// Under taskset, a cpuset or a batch scheduler the process may use fewer cores than the
// machine has; the defaults follow what it may use.
TEST(FileTest, UsableProcessorsFollowTheAffinityMask) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    const auto quota = CgroupCpuLimit("/");
    EXPECT_EQ(UsableProcessors(),
              std::min(static_cast<uint32_t>(CPU_COUNT(&all)), quota.value_or(UINT32_MAX)));
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(UsableProcessors(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

}  // namespace
}  // namespace kavrin::platform
