// SPDX-License-Identifier: MIT
#include "jobs/Destination.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::Exists;
using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

void Write(DestinationFile& destination, const std::string& bytes) {
    ASSERT_TRUE(platform::WriteFull(destination.file, bytes.data(), bytes.size()));
}

TEST(DestinationTest, AResultAppearsOnlyWhenCommitted) {
    TempDir dir;
    DestinationFile destination;
    ASSERT_TRUE(CreateDestinationFile(dir / "take.kvn", Disposition::CreateNew,
                                      platform::kInvalidFile, &destination));
    Write(destination, "archive");
    // While the job runs, only a hidden temporary file exists.
    std::vector<std::string> names = ListFolder(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0][0], '.');
    EXPECT_TRUE(IsTemporaryName(names[0]));
    EXPECT_FALSE(Exists(dir / "take.kvn"));

    ASSERT_TRUE(CommitDestination(destination, Disposition::CreateNew, true));
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"take.kvn"});
    EXPECT_EQ(ReadFile(dir / "take.kvn"), "archive");
}

TEST(DestinationTest, AnAbandonedJobLeavesTheOldFileAlone) {
    TempDir dir;
    WriteFile(dir / "take.kvn", "old result");
    DestinationFile destination;
    ASSERT_TRUE(CreateDestinationFile(dir / "take.kvn", Disposition::CreateAlways,
                                      platform::kInvalidFile, &destination));
    Write(destination, "partial");
    AbandonDestination(destination);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"take.kvn"});
    EXPECT_EQ(ReadFile(dir / "take.kvn"), "old result");

    // CreateNew never replaces, neither at creation nor at the rename.
    EXPECT_FALSE(CreateDestinationFile(dir / "take.kvn", Disposition::CreateNew,
                                       platform::kInvalidFile, &destination));
    EXPECT_EQ(errno, EEXIST);
    ASSERT_TRUE(CreateDestinationFile(dir / "late.kvn", Disposition::CreateNew,
                                      platform::kInvalidFile, &destination));
    WriteFile(dir / "late.kvn", "appeared meanwhile");
    EXPECT_FALSE(CommitDestination(destination, Disposition::CreateNew, false));
    EXPECT_EQ(ReadFile(dir / "late.kvn"), "appeared meanwhile");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"late.kvn", "take.kvn"}));
}

TEST(DestinationTest, RefusesTheSourceItselfAndFolders) {
    TempDir dir;
    WriteFile(dir / "x.kvn", "the source");
    platform::FileHandle source = platform::OpenForRead(dir / "x.kvn");
    DestinationFile destination;
    EXPECT_FALSE(
        CreateDestinationFile(dir / "x.kvn", Disposition::CreateAlways, source, &destination));
    EXPECT_EQ(errno, EINVAL);
    platform::CloseFile(source);
    EXPECT_EQ(ReadFile(dir / "x.kvn"), "the source");

    ASSERT_EQ(mkdir((dir / "folder.wav").c_str(), 0777), 0);
    EXPECT_FALSE(CreateDestinationFile(dir / "folder.wav", Disposition::CreateAlways,
                                       platform::kInvalidFile, &destination));
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"folder.wav", "x.kvn"}));
}

TEST(DestinationTest, CreatesMissingFoldersOneLevelAPass) {
    TempDir dir;
    DestinationFile destination;
    platform::ClearFaults();
    ASSERT_TRUE(CreateDestinationFile(dir / "a/b/c/take.kvn", Disposition::CreateNew,
                                      platform::kInvalidFile, &destination));
    EXPECT_EQ(platform::FaultCallCount(platform::FaultOp::MakeFolder), 6);  // 1 + 2 + 3 tries
    EXPECT_EQ(platform::FaultCallCount(platform::FaultOp::Create), 4);
    ASSERT_TRUE(CommitDestination(destination, Disposition::CreateNew, false));
    EXPECT_TRUE(Exists(dir / "a/b/c/take.kvn"));

    // At most 129 passes: 129 missing levels are made, 130 are not.
    std::string deep = dir.path();
    for (int i = 0; i < 129; ++i) deep += "/d";
    ASSERT_TRUE(CreateDestinationFile(deep + "/f", Disposition::CreateNew, platform::kInvalidFile,
                                      &destination));
    AbandonDestination(destination);
    std::string deeper = dir.path() + "/e";
    for (int i = 0; i < 129; ++i) deeper += "/d";
    EXPECT_FALSE(CreateDestinationFile(deeper + "/f", Disposition::CreateNew,
                                       platform::kInvalidFile, &destination));

    // A file in the way of a folder fails without creating anything.
    WriteFile(dir / "plain", "");
    EXPECT_FALSE(CreateDestinationFile(dir / "plain/sub/take.kvn", Disposition::CreateNew,
                                       platform::kInvalidFile, &destination));
}

TEST(DestinationTest, AFailedSyncOrRenameLeavesNoResult) {
    TempDir dir;
    WriteFile(dir / "take.kvn", "old");
    // The file's sync, the folder's sync after the rename, and the rename itself.
    const std::pair<platform::FaultOp, int> faults[] = {
        {platform::FaultOp::Sync, 1}, {platform::FaultOp::Sync, 2}, {platform::FaultOp::Rename, 1}};
    for (auto [op, nth] : faults) {
        DestinationFile destination;
        ASSERT_TRUE(CreateDestinationFile(dir / "take.kvn", Disposition::CreateAlways,
                                          platform::kInvalidFile, &destination));
        Write(destination, "new");
        platform::InjectFault(op, nth, EIO);
        EXPECT_FALSE(CommitDestination(destination, Disposition::CreateAlways, true));
        platform::ClearFaults();
        EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"take.kvn"});
        EXPECT_EQ(ReadFile(dir / "take.kvn"), "old");
    }
}

}  // namespace
}  // namespace kavrin
