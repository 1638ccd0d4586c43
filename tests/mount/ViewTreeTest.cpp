// SPDX-License-Identifier: MIT
// How the view names an archive whose header cannot be read now: what the machine lacked (an
// I/O error, a network file system's stale handle or time-out, descriptors) fails the lookup
// and the listing with its errno, to be asked again, and never shows the archive under its own
// name; what the file itself refuses shows it as itself.
#include "mount/ViewTree.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/format/ArchiveFormat.h"
#include "platform/FaultInjection.h"
#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

TEST(ViewTreeTest, AHeaderTheMachineCouldNotReadIsNotGuessedAt) {
    test::TempDir dir;
    test::WriteFile(dir / "a.kvn", EncodeArchiveHeader("wav", 3, 1234) + "payload");
    std::string restored;
    uint64_t size = 0;
    ViewEntry entry;
    std::vector<ViewEntry> entries;
    for (int error : {EIO, ESTALE, ETIMEDOUT, EMFILE}) {
        SCOPED_TRACE(error);
        int said = 0;
        platform::InjectFault(platform::FaultOp::Open, 1, error);
        EXPECT_EQ(ReadRestoredName(dir.path(), "a.kvn", &restored, &size, &said), Shown::Unknown);
        EXPECT_EQ(said, error);
        platform::InjectFault(platform::FaultOp::Open, 1, error);
        EXPECT_EQ(FindInView(dir.path(), "a.wav", &entry), error);
        platform::InjectFault(platform::FaultOp::Open, 1, error);
        EXPECT_EQ(FindInView(dir.path(), "a.kvn", &entry), error);
        platform::InjectFault(platform::FaultOp::Open, 1, error);
        errno = 0;
        EXPECT_FALSE(ListView(dir.path(), &entries));
        EXPECT_EQ(errno, error);
    }
    // A file the user may not read is what it is: shown as itself.
    platform::InjectFault(platform::FaultOp::Open, 1, EACCES);
    EXPECT_EQ(ReadRestoredName(dir.path(), "a.kvn", &restored, &size), Shown::AsItself);
    platform::ClearFaults();
    // Asked again, the archive shows under its restored name.
    ASSERT_EQ(FindInView(dir.path(), "a.wav", &entry), 0);
    EXPECT_TRUE(entry.restored);
    EXPECT_EQ(entry.restoredSize, 1234u);
    ASSERT_TRUE(ListView(dir.path(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.wav");
}

}  // namespace
}  // namespace kavrin
